#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CookieList.h"
#include "TestText.h"

using namespace kesi;

using kesi::CookiePair;
using kesi::SplitCookies;

namespace {

using test::Narrow;

TEST(CookieList, SplitsPairsTrimsBlanksAndKeepsQuotedPartsWhole) {
  struct Case {
    const char* name;
    const wchar_t* text;
    std::vector<CookiePair> expected;
  } cases[] = {
      {"empty", L"", {}},
      {"one pair", L"FARLINK_ID=abc", {{L"FARLINK_ID", L"abc"}}},
      {"blanks around names and values", L"  a = 1 ;\tb=2  ", {{L"a", L"1"}, {L"b", L"2"}}},
      {"value with '='", L"t=x=y", {{L"t", L"x=y"}}},
      {"quoted ';' and '='", L"q=\"x;y=z\"; n=1", {{L"q", L"\"x;y=z\""}, {L"n", L"1"}}},
      {"quoted name", L"\"a;b\"=1", {{L"\"a;b\"", L"1"}}},
      {"unterminated quote runs to the end", L"q=\"x;y", {{L"q", L"\"x;y"}}},
      {"name without value", L"flag; a=1", {{L"flag", L""}, {L"a", L"1"}}},
      {"empty pieces and nameless pairs skipped", L";; =v ; a=1;", {{L"a", L"1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CookiePair> got = SplitCookies(c.text);
    ASSERT_EQ(c.expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(Narrow(c.expected[i].first), Narrow(got[i].first));
      EXPECT_EQ(Narrow(c.expected[i].second), Narrow(got[i].second));
    }
  }
}

// What may go into a request header: a CR or LF in a cookie would start a header of the caller's
// choosing, and a header block may break lines only between its "Name: value" lines.
TEST(CookieList, LineBreaksAndHeaderBlocks) {
  struct Case {
    const char* name;
    const wchar_t* text;
    bool hasLineBreak;
    bool isHeaderBlock;
  } cases[] = {
      {"empty", L"", false, true},
      {"one header", L"X-Mac: 0a1b", false, true},
      {"two headers, CR LF after each", L"X-Mac: 1\r\nX-Other: two words\r\n", true, true},
      {"value with ':'", L"X-Url: https://a/b", false, true},
      {"bare LF", L"X-Mac: 1\nX-Evil: 2", true, false},
      {"bare CR", L"X-Mac: 1\rX-Evil: 2", true, false},
      {"empty line ends the headers", L"X-Mac: 1\r\n\r\nbody", true, false},
      {"line without ':'", L"X-Mac 1", false, false},
      {"empty name", L": 1", false, false},
      {"blank in the name", L"X Mac: 1", false, false},
      {"cookie value", L"FARLINK_ID=abc; other=1", false, false},
      {"cookie with CR LF", L"abc\r\nX-Evil: 1", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.hasLineBreak, HasLineBreak(c.text));
    EXPECT_EQ(c.isHeaderBlock, IsHeaderBlock(c.text));
  }
}

TEST(CookieList, MaskedTextKeepsNamesAndHidesEveryValue) {
  const struct {
    const wchar_t* text;
    const wchar_t* masked;
  } cases[] = {
      {L"FARLINK_ID=abc", L"FARLINK_ID=****"},
      {L"abc", L"****"},  // a bare value
      {L" x = 1 ; FARLINK_ID=\"a;b\"", L"x=****; FARLINK_ID=****"},
      {L"FARLINK_ID=", L"FARLINK_ID="},
      {L"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(std::wstring(c.masked), MaskCookieValues(c.text)) << c.text;
}

}  // namespace
