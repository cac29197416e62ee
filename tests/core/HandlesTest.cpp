#include <gtest/gtest.h>
#include "Handles.h"

using namespace kesi;

// Every owner releases exactly once: an event closed by its owner can no longer be used.
TEST(Handles, OwnersCloseOnResetAndMove) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  kesi::UniqueHandle a(raw);
  kesi::UniqueHandle b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(raw, b.get());
  b.reset();
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(raw, &flags));

  kesi::UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()));
  EXPECT_TRUE(key);
}
