// The text helpers of the host checks: wildcard matching, the field splitter and field preparation.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "HostChecks.h"

using namespace kesi;

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

TEST(WildcardMatch, Table) {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* text;
    bool caseSensitive;
    bool match;
  } cases[] = {
      {L"", L"", true, true},
      {L"", L"a", true, false},
      {L"a", L"", true, false},
      {L"*", L"", true, true},
      {L"*", L"anything", true, true},
      {L"a*", L"a", true, true},
      {L"a*c", L"abbbc", true, true},
      {L"a*c", L"abbb", true, false},
      {L"a*b*c", L"aXbYc", true, true},
      {L"a*b*c", L"aXcYb", true, false},
      {L"*x*", L"abxcd", true, true},
      {L"*.exe", L"app.exe", true, true},
      {L"ap?.exe", L"app.exe", true, true},
      {L"ap?.exe", L"ap.exe", true, false},
      {L"?", L"", true, false},
      {L"abc", L"abcd", true, false},
      // A backslash makes the next character literal; a doubled one is one backslash.
      {L"a\\*b", L"a*b", true, true},
      {L"a\\*b", L"axb", true, false},
      {L"a\\?", L"a?", true, true},
      {L"a\\?", L"ab", true, false},
      {L"C:\\\\dir", L"C:\\dir", true, true},
      {L"C:\\dir", L"C:dir", true, true},
      {L"abc\\", L"abc", true, false},  // an escape still pending at the end
      // Case.
      {L"APP.EXE", L"app.exe", false, true},
      {L"APP.EXE", L"app.exe", true, false},
      {L"CORP*", L"corp.example", false, true},
      {L"lab", L"LAB", false, true},
      {L"\u00C4RGER", L"\u00E4rger", false, true},
      {L"\u00C4RGER", L"\u00E4rger", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(L"pattern '") + c.pattern + L"' text '" + c.text + L"'" +
                        (c.caseSensitive ? L" case-sensitive" : L"")));
    EXPECT_EQ(c.match, WildcardMatch(c.pattern, c.text, c.caseSensitive));
  }
  EXPECT_FALSE(WildcardMatch(nullptr, L"", true));
  EXPECT_FALSE(WildcardMatch(L"*", nullptr, true));
}

// Many stars against a long text that almost matches: a backtracking matcher that retries every star at
// every position would not finish.
TEST(WildcardMatch, ManyStarsStayFast) {
  std::wstring pattern;
  for (int i = 0; i < 20; ++i) pattern += L"*a";
  pattern += L"*b";
  std::wstring text(500, L'a');
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WildcardMatch(pattern.c_str(), text.c_str(), false));
  EXPECT_TRUE(WildcardMatch(pattern.c_str(), (text + L"b").c_str(), false));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(HasWildcards, Table) {
  struct Case {
    const wchar_t* text;
    bool wildcards;
  } cases[] = {
      {L"", false},        {L"abc", false},    {L"a*c", true},         {L"a?c", true},
      {L"a\\*c", false},   {L"\\?", false},    {L"a\\\\*c", true},     {L"a\\\\\\*c", false},
      {L"\\a*", true},     {L"C:\\\\dir", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    EXPECT_EQ(c.wildcards, HasWildcards(c.text));
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
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_HOSTCHECK_VAR", L"C:\\dir"));
  struct Case {
    const wchar_t* field;
    bool expand;
    bool unescape;
    const wchar_t* result;
  } cases[] = {
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", true, true, L"C:\\dir\\a,b"},
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", false, true, L"%KESI_HOSTCHECK_VAR%\\a,b"},
      {L"%KESI_HOSTCHECK_VAR%\\a_RQ_COMMA_b", true, false, L"C:\\dir\\a_RQ_COMMA_b"},
      {L"_RQ_COMMA__RQ_COMMA_x_RQ_COMMA", false, true, L",,x_RQ_COMMA"},
      {L"", false, true, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.field));
    std::unique_ptr<wchar_t[]> text = ExpandLiteralText(c.field, c.expand, c.unescape);
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
