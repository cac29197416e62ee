#include <gtest/gtest.h>
#include <cstring>
#include "BuiltInKeys.h"

using namespace kesi;

// The MAC key's length is found by its first zero byte: a zero inside it would shorten the key.
TEST(BuiltInKeys, ConfigMacKeyHasTwentyBytesBeforeItsTerminator) {
  EXPECT_EQ(20u, std::strlen(reinterpret_cast<const char*>(kesi::kConfigMacKey)));
}
