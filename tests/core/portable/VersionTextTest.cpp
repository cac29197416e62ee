#include <gtest/gtest.h>

#include "VersionText.h"

using namespace kesi;

TEST(VersionText, Parse) {
  struct Case {
    const wchar_t* text;
    unsigned result;
    uint16_t major, minor, build, revision;
  } cases[] = {
      {nullptr, 0, 0, 0, 0, 0},
      {L"", 0, 0, 0, 0, 0},
      {L"7", 0, 7, 0, 0, 0},
      {L"7.2", 0, 7, 2, 0, 0},
      {L"8.60.123", 0, 8, 6, 0, 123},  // A.BC.D: the middle field holds minor and build
      {L"8.6.0.123", 0, 8, 6, 0, 123},
      {L"8.65.1", 0, 8, 6, 5, 1},
      {L"8.5.1", 0, 8, 0, 5, 1},
      {L"1.2.3.4.5", 13, 1, 0, 0, 0},
      {L"9.....", 13, 9, 0, 0, 0},
      {L"65536.65537.2.3", 0, 0, 1, 2, 3},  // every part truncated to 16 bits
      {L"99999999999", 0, 0xFFFF, 0, 0, 0},  // read as the largest 32-bit long
      {L"-1", 0, 0xFFFF, 0, 0, 0},
      {L" 3.\t4", 0, 3, 4, 0, 0},            // white space before a number is skipped
      {L"+5", 0, 5, 0, 0, 0},
      {L"10b.2x.3y.4z", 0, 10, 2, 3, 4},     // only leading digits count
      {L"x.y", 0, 0, 0, 0, 0},
      {L"1..2", 0, 1, 0, 0, 2},
      {L".", 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << (c.text ? c.text : L"(null)") << "]");
    uint16_t parts[4] = {1, 1, 1, 1};
    EXPECT_EQ(c.result, kesi::ParseVersionText(c.text, parts));
    EXPECT_EQ(c.major, parts[0]);
    EXPECT_EQ(c.minor, parts[1]);
    EXPECT_EQ(c.build, parts[2]);
    EXPECT_EQ(c.revision, parts[3]);
  }
}
