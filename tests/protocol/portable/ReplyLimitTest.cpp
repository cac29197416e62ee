#include <gtest/gtest.h>

#include <string>

#include "ReplyLimit.h"

using namespace kesi;

// The Content-Length text decides before anything is allocated: digits up to the cap fit, any larger
// number (also one that would wrap 32 or 64 bits) is too large, and anything else is not a length.
TEST(ReplyLimit, ReadsTheAnnouncedLength) {
  struct Case {
    const wchar_t* text;
    ReplyLength verdict;
    uint32_t length;
  };
  const Case cases[] = {
      {L"0", ReplyLength::kFits, 0},
      {L"1234", ReplyLength::kFits, 1234},
      {L" \t 17 ", ReplyLength::kFits, 17},
      {L"0004194304", ReplyLength::kFits, kMaxReplyBytes},
      {L"4194305", ReplyLength::kTooLarge, 0},
      {L"4294967296", ReplyLength::kTooLarge, 0},            // 2^32: would read as 0 in 32 bits
      {L"18446744073709551617", ReplyLength::kTooLarge, 0},  // 2^64 + 1: would read as 1 in 64 bits
      {L"99999999999999999999999999999999999999", ReplyLength::kTooLarge, 0},
      {L"", ReplyLength::kMalformed, 0},
      {L"  ", ReplyLength::kMalformed, 0},
      {L"-1", ReplyLength::kMalformed, 0},
      {L"+5", ReplyLength::kMalformed, 0},
      {L"12abc", ReplyLength::kMalformed, 0},
      {L"12 13", ReplyLength::kMalformed, 0},
      {L"0x10", ReplyLength::kMalformed, 0},
      {L"99999999999x", ReplyLength::kMalformed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
    uint32_t length = 0xDEAD;
    std::wstring text(c.text);
    EXPECT_EQ(c.verdict, ReadAnnouncedLength(text.c_str(), text.size(), &length));
    EXPECT_EQ(c.verdict == ReplyLength::kFits ? c.length : 0xDEADu, length);
  }
  // The count bounds the text, and a NUL ends it early.
  EXPECT_EQ(ReplyLength::kFits, ReadAnnouncedLength(L"12345", 2, nullptr));
  uint32_t length = 0;
  EXPECT_EQ(ReplyLength::kFits, ReadAnnouncedLength(L"42\0" L"99", 5, &length));
  EXPECT_EQ(42u, length);
  EXPECT_EQ(ReplyLength::kMalformed, ReadAnnouncedLength(nullptr, 3, &length));

  EXPECT_EQ(ReplyLength::kFits, CheckReceived(kMaxReplyBytes));
  EXPECT_EQ(ReplyLength::kTooLarge, CheckReceived(kMaxReplyBytes + 1ull));
}
