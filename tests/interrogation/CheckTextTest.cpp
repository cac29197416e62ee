// The text helpers of the host checks: wildcard matching, the field splitter and field preparation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostChecks.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Narrow;

// How a pattern is compared, and what a table expects.
enum Compare : bool { kIgnoringCase = false, kCaseSensitive = true };
enum Match : bool { kNoMatch = false, kMatches = true };

TEST(WildcardMatch, Table) {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* text;
    Compare compare;
    Match match;
  } cases[] = {
      {L"", L"", kCaseSensitive, kMatches},
      {L"", L"a", kCaseSensitive, kNoMatch},
      {L"a", L"", kCaseSensitive, kNoMatch},
      {L"*", L"", kCaseSensitive, kMatches},
      {L"*", L"anything", kCaseSensitive, kMatches},
      {L"a*", L"a", kCaseSensitive, kMatches},
      {L"a*c", L"abbbc", kCaseSensitive, kMatches},
      {L"a*c", L"abbb", kCaseSensitive, kNoMatch},
      {L"a*b*c", L"aXbYc", kCaseSensitive, kMatches},
      {L"a*b*c", L"aXcYb", kCaseSensitive, kNoMatch},
      {L"*x*", L"abxcd", kCaseSensitive, kMatches},
      {L"*.exe", L"app.exe", kCaseSensitive, kMatches},
      {L"ap?.exe", L"app.exe", kCaseSensitive, kMatches},
      {L"ap?.exe", L"ap.exe", kCaseSensitive, kNoMatch},
      {L"?", L"", kCaseSensitive, kNoMatch},
      {L"abc", L"abcd", kCaseSensitive, kNoMatch},
      // A backslash makes the next character literal; a doubled one is one backslash.
      {L"a\\*b", L"a*b", kCaseSensitive, kMatches},
      {L"a\\*b", L"axb", kCaseSensitive, kNoMatch},
      {L"a\\?", L"a?", kCaseSensitive, kMatches},
      {L"a\\?", L"ab", kCaseSensitive, kNoMatch},
      {L"C:\\\\dir", L"C:\\dir", kCaseSensitive, kMatches},
      {L"C:\\dir", L"C:dir", kCaseSensitive, kMatches},
      {L"abc\\", L"abc", kCaseSensitive, kNoMatch},  // an escape still pending at the end
      // Case.
      {L"APP.EXE", L"app.exe", kIgnoringCase, kMatches},
      {L"APP.EXE", L"app.exe", kCaseSensitive, kNoMatch},
      {L"CORP*", L"corp.example", kIgnoringCase, kMatches},
      {L"lab", L"LAB", kIgnoringCase, kMatches},
      {L"\u00C4RGER", L"\u00E4rger", kIgnoringCase, kMatches},
      {L"\u00C4RGER", L"\u00E4rger", kCaseSensitive, kNoMatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(L"pattern '") + c.pattern + L"' text '" + c.text + L"'" +
                        (c.compare == kCaseSensitive ? L" case-sensitive" : L"")));
    EXPECT_EQ(c.match == kMatches, WildcardMatch(c.pattern, c.text, c.compare == kCaseSensitive));
  }
  EXPECT_FALSE(WildcardMatch(nullptr, L"", true));
  EXPECT_FALSE(WildcardMatch(L"*", nullptr, true));
}

// Many stars against a long text that almost matches: a backtracking matcher that retried every star at
// every position would not finish (its cost is in bench/interrogation).
TEST(WildcardMatch, ManyStarsAgainstALongText) {
  std::wstring pattern;
  for (int i = 0; i < 20; ++i) pattern += L"*a";
  pattern += L"*b";
  const std::wstring text(500, L'a');
  EXPECT_FALSE(WildcardMatch(pattern.c_str(), text.c_str(), false));
  EXPECT_TRUE(WildcardMatch(pattern.c_str(), (text + L"b").c_str(), false));
}

TEST(HasWildcards, Table) {
  enum Wildcards { kPlain, kWildcards };
  struct Case {
    const wchar_t* text;
    Wildcards wildcards;
  } cases[] = {
      {L"", kPlain},        {L"abc", kPlain},    {L"a*c", kWildcards},         {L"a?c", kWildcards},
      {L"a\\*c", kPlain},   {L"\\?", kPlain},    {L"a\\\\*c", kWildcards},     {L"a\\\\\\*c", kPlain},
      {L"\\a*", kWildcards},     {L"C:\\\\dir", kPlain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    EXPECT_EQ(c.wildcards == kWildcards, HasWildcards(c.text));
  }
  EXPECT_FALSE(HasWildcards(nullptr));
}

// Four calls on each text; "-" stands for an absent field.
TEST(NextField, Table) {
  struct Case {
    const wchar_t* text;
    const wchar_t* separators;
    std::vector<std::wstring> fields;
  } cases[] = {
      {L"a,b,,c", L",", {L"a", L"b", L"c", L"-"}},
      {L",,a,", L",", {L"a", L"-", L"-", L"-"}},
      {L"\"a,b\",c", L",", {L"a,b", L"c", L"-", L"-"}},
      {L"x\"a,b\"y,c", L",", {L"x\"a,b\"y", L"c", L"-", L"-"}},
      {L"\"a\"\"b\",c", L",", {L"\"a\"\"b\"", L"c", L"-", L"-"}},  // two quoted stretches stay as they are
      {L"\"\",c", L",", {L"-", L"c", L"-", L"-"}},                      // an empty quoted field is absent
      {L"\"", L",", {L"-", L"-", L"-", L"-"}},
      {L"", L",", {L"-", L"-", L"-", L"-"}},
      {L"CORP*; LAB;x", L";", {L"CORP*", L" LAB", L"x", L"-"}},
      {L"HKEY_CURRENT_USER\\Software,Name", L",", {L"HKEY_CURRENT_USER\\Software", L"Name", L"-", L"-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    std::wstring copy = c.text;
    wchar_t* cursor = nullptr;
    std::vector<std::wstring> fields;
    for (int i = 0; i < 4; ++i) {
      wchar_t* field = NextField(i == 0 ? &copy[0] : nullptr, c.separators, &cursor);
      fields.push_back(field ? field : L"-");
    }
    EXPECT_EQ(c.fields, fields);
  }
}

TEST(ExpandLiteralText, EnvironmentAndCommas) {
  enum Environment { kAsWritten, kExpanded };
  enum Commas { kKept, kUnescaped };
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_HOSTCHECK_VAR", L"C:\\dir"));
  struct Case {
    const wchar_t* field;
    Environment environment;
    Commas commas;
    const wchar_t* result;
  } cases[] = {
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", kExpanded, kUnescaped, L"C:\\dir\\a,b"},
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", kAsWritten, kUnescaped, L"%KESI_HOSTCHECK_VAR%\\a,b"},
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", kExpanded, kKept, L"C:\\dir\\a_RQ_COMMA_b"},
      {L"_RQ_COMMA__RQ_COMMA_x_RQ_COMMA", kAsWritten, kUnescaped, L",,x_RQ_COMMA"},
      {L"", kAsWritten, kUnescaped, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.field));
    std::unique_ptr<wchar_t[]> text = ExpandLiteralText(c.field, c.environment == kExpanded, c.commas == kUnescaped);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::wstring(c.result), text.get());
  }
  SetEnvironmentVariableW(L"KESI_HOSTCHECK_VAR", nullptr);
  EXPECT_FALSE(ExpandLiteralText(nullptr, true, true));
}

TEST(ExpandLiteralText, PlainCopyRefusesFieldsOf4096Characters) {
  std::wstring longest(4095, L'x');
  EXPECT_TRUE(ExpandLiteralText(longest.c_str(), false, true));
  std::wstring tooLong(4096, L'x');
  EXPECT_FALSE(ExpandLiteralText(tooLong.c_str(), false, true));
  std::unique_ptr<wchar_t[]> expanded = ExpandLiteralText(tooLong.c_str(), true, true);
  ASSERT_TRUE(expanded);
  EXPECT_EQ(tooLong, expanded.get());
}

}  // namespace
