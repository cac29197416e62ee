// The quote-aware tokenizer and the split of a literal line into id, kind, result and parameters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LiteralLine.h"
#include "TestText.h"

using namespace kesi;

namespace kesi {
namespace {

const wchar_t* kAbsent = L"<absent>";

std::wstring Show(const wchar_t* field) { return field ? field : kAbsent; }

using test::Narrow;

TEST(LiteralLine, Tokenizer) {
  struct Case {
    const wchar_t* text;
    const wchar_t* delimiters;
    std::vector<std::wstring> tokens;  // in order, until the first absent token
  };
  const Case cases[] = {
      {L"a,b,c", L",", {L"a", L"b", L"c"}},
      {L",,a,,b,", L",", {L"a", L"b"}},                           // leading delimiters skipped each time
      {L"\"a,b\",c", L",", {L"a,b", L"c"}},                      // a quoted delimiter does not end a token
      {L"x\"a,b\"y,c", L",", {L"x\"a,b\"y", L"c"}},              // quotes not at both ends stay
      {L"\"a\"\"b\",c", L",", {L"\"a\"\"b\"", L"c"}},            // two quoted runs: unchanged
      {L"\"\",c", L",", {}},                                     // a token that becomes empty is no token
      {L"\",c", L",", {L"\",c"}},                               // an unclosed quote runs to the end
      {L"a,\"", L",", {L"a"}},                                   // a token of one lone quote is empty
      {L"a=b=c", L"=", {L"a", L"b", L"c"}},
      {L"a;b,c", L";,", {L"a", L"b", L"c"}},
      {L"", L",", {}},
      {L",,,", L",", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    std::wstring buffer(c.text);
    wchar_t* context = nullptr;
    std::vector<std::wstring> got;
    for (wchar_t* t = QuotedToken(&buffer[0], c.delimiters, true, &context); t;
         t = QuotedToken(nullptr, c.delimiters, true, &context))
      got.push_back(t);
    EXPECT_EQ(c.tokens, got);
  }
}

TEST(LiteralLine, TokenizerWithoutSkippingLeadingDelimiters) {
  std::wstring buffer(L",a");
  wchar_t* context = nullptr;
  EXPECT_EQ(nullptr, QuotedToken(&buffer[0], L",", false, &context));  // empty first token
  const wchar_t* next = QuotedToken(nullptr, L",", false, &context);
  ASSERT_NE(nullptr, next);
  EXPECT_EQ(std::wstring(L"a"), next);
  EXPECT_EQ(nullptr, QuotedToken(nullptr, L",", false, &context));
  EXPECT_EQ(nullptr, QuotedToken(nullptr, L",", true, nullptr));
}

TEST(LiteralLine, Split) {
  struct Case {
    const wchar_t* line;
    const wchar_t* id;
    const wchar_t* kind;
    const wchar_t* result;
    const wchar_t* rest;
  };
  const Case cases[] = {
      {L"L1=FILE,R1,C:\\a.txt,>,0", L"L1", L"FILE", L"R1", L"C:\\a.txt,>,0"},
      {L"L1=registry,R1,HKEY_CURRENT_USER\\X", L"L1", L"registry", L"R1", L"HKEY_CURRENT_USER\\X"},
      // The parameters are the rest as written: quotes and empty fields kept.
      {L"L1=FILE,R1,\"a,b\",,c", L"L1", L"FILE", L"R1", L"\"a,b\",,c"},
      {L"L1=FILE,R1", L"L1", L"FILE", L"R1", L""},
      {L"L1=FILE,R1,", L"L1", L"FILE", L"R1", L""},
      {L"L1=FILE", L"L1", L"FILE", kAbsent, kAbsent},
      {L"L1=FILE,", L"L1", L"FILE", kAbsent, kAbsent},
      {L"L1=\"FILE\",\"Result, with comma\",x", L"L1", L"FILE", L"Result, with comma", L"x"},
      {L"L1=FILE,,R1,x", L"L1", L"FILE", L"R1", L"x"},
      // The id ends at the first "=" outside quotes; an "=" in the parameters is theirs.
      {L"\"L=1\"=FILE,R1,a=b", L"L=1", L"FILE", L"R1", L"a=b"},
      {L"FILE,R1,x", L"FILE,R1,x", kAbsent, kAbsent, kAbsent},
      {L"=FILE,R1,x", L"FILE,R1,x", kAbsent, kAbsent, kAbsent},
      {L"L1=,R1,x", L"L1", L"R1", L"x", L""},
      {L"L1=\"\",R1,x", L"L1", kAbsent, L"R1", L"x"},  // the result is read even without a kind
      {L"", kAbsent, kAbsent, kAbsent, kAbsent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    std::wstring buffer(c.line);
    LiteralLineFields fields;
    SplitLiteralLine(&buffer[0], &fields);
    EXPECT_EQ(std::wstring(c.id), Show(fields.id));
    EXPECT_EQ(std::wstring(c.kind), Show(fields.kind));
    EXPECT_EQ(std::wstring(c.result), Show(fields.result));
    EXPECT_EQ(std::wstring(c.rest), Show(fields.rest));
  }
}

TEST(LiteralLine, KindTableEndsWithUnknownAndNumbersTheKinds) {
  ASSERT_EQ(15u, kLiteralKindCount);
  EXPECT_EQ(std::wstring(L"UNKNOWN"), kLiteralKinds[kLiteralKindCount - 1].name);
  EXPECT_EQ(0, kLiteralKinds[kLiteralKindCount - 1].number);
  for (size_t i = 0; i + 1 < kLiteralKindCount; ++i) EXPECT_EQ(static_cast<int>(i + 1), kLiteralKinds[i].number);
}

}  // namespace
}  // namespace kesi
