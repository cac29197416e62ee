// Hexadecimal text of bytes, narrow and wide.
#include <gtest/gtest.h>

#include <string>

#include "HexText.h"

namespace kesi {
namespace {

TEST(HexText, WritesUpperCaseDigits) {
  const uint8_t bytes[] = {0x00, 0x0F, 0xAB, 0xFF, 0x10};
  char text[11];
  size_t length = sizeof(text);
  ASSERT_TRUE(BytesToHex(bytes, sizeof(bytes), text, &length));
  EXPECT_STREQ(text, "000FABFF10");
  EXPECT_EQ(length, 10u);

  // No buffer, or one without room for the terminator: the size needed, nothing written.
  length = 0;
  EXPECT_FALSE(BytesToHex(bytes, sizeof(bytes), static_cast<char*>(nullptr), &length));
  EXPECT_EQ(length, 11u);
  char shortText[10] = "unchanged";
  length = sizeof(shortText);
  EXPECT_FALSE(BytesToHex(bytes, sizeof(bytes), shortText, &length));
  EXPECT_EQ(length, 11u);
  EXPECT_STREQ(shortText, "unchanged");

  char empty[1] = {'X'};
  length = 1;
  EXPECT_TRUE(BytesToHex(bytes, 0, empty, &length));
  EXPECT_STREQ(empty, "");
  EXPECT_FALSE(BytesToHex(bytes, 1, text, nullptr));
}

TEST(HexText, WideTextHasTheSameDigits) {
  const uint8_t bytes[] = {0x00, 0x0F, 0xAB, 0xFF, 0x10};
  wchar_t text[11];
  size_t length = 11;
  ASSERT_TRUE(BytesToHex(bytes, sizeof(bytes), text, &length));
  EXPECT_EQ(std::wstring(text), L"000FABFF10");
  EXPECT_EQ(BytesToHexText(bytes, sizeof(bytes)), L"000FABFF10");
  EXPECT_EQ(BytesToHexText(bytes, 0), L"");
  EXPECT_EQ(BytesToHexText(nullptr, 3), L"");
}

}  // namespace
}  // namespace kesi
