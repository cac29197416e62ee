// The configuration text: its MAC against Python's hmac, the walk of its sections, its literal lines, and
// the XML text of the result document.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "ConfigText.h"
#include "SignedConfigs.h"
#include "TestText.h"

using namespace kesi;

namespace kesi {
namespace {

using test::Narrow;
using test::WithCrLf;

// UTF-8 of text (characters of the basic plane, which is all these tests use).
std::string Utf8(const wchar_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    unsigned c = static_cast<unsigned>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Mac(const std::string& bytes) {
  std::unique_ptr<char[]> text = ComputeConfigMac(bytes.data(), bytes.size());
  return text ? text.get() : "<none>";
}

std::wstring Span(const TextSpan& span) { return std::wstring(span.text, span.length); }

TEST(ConfigMac, MatchesPythonHmac) {
  for (const signed_configs::MacCase& c : signed_configs::kMacCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.mac, Mac(std::string(c.bytes, c.size)));
  }
}

// The configuration that Python signed carries, in its HMAC line, the MAC of its protected text as UTF-8
// without CRs, whether the file has LF or CR-LF line endings.
TEST(ConfigMac, PythonSignedConfigurationWithEitherLineEnding) {
  const std::wstring lf = signed_configs::kConfiguration;
  for (const std::wstring& text : {lf, WithCrLf(lf)}) {
    SCOPED_TRACE(text.find(L'\r') == std::wstring::npos ? "LF" : "CR-LF");
    TextSpan value, section;
    ASSERT_TRUE(FindConfigMacValue(text.c_str(), &value));
    ASSERT_TRUE(FindLiteralSection(text.c_str(), &section));
    std::string bytes = Utf8(section.text, section.length);
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    EXPECT_EQ(Narrow(Span(value)), Mac(bytes));
  }
  EXPECT_STRNE(Mac("abc").c_str(), Mac("abd").c_str());
}

TEST(ConfigText, LiteralSection) {
  struct Case {
    const char* name;
    const wchar_t* text;
    const wchar_t* section;  // null: no section
  } cases[] = {
      {"whole rest", L"[Global]\nHMAC=x\n[InterrogationLiterals]\nLiteral1=a\nLiteral2=b\n",
       L"[InterrogationLiterals]\nLiteral1=a\nLiteral2=b\n"},
      {"empty line ends it", L"[InterrogationLiterals]\nLiteral1=a\n\nLiteral2=b\n", L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"CR-LF empty line ends it", L"[InterrogationLiterals]\r\nLiteral1=a\r\n\r\nLiteral2=b\r\n",
       L"[InterrogationLiterals]\r\nLiteral1=a\r\n"},
      {"indented line ends it", L"[InterrogationLiterals]\nLiteral1=a\n  Literal2=b\n", L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"tab line ends it", L"[InterrogationLiterals]\nLiteral1=a\n\tLiteral2=b\n", L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"next section ends it", L"[InterrogationLiterals]\nLiteral1=a\n[Other]\nLiteral2=b\n", L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"other lines stay protected", L"[InterrogationLiterals]\nComment=c\nLiteral1=a\n",
       L"[InterrogationLiterals]\nComment=c\nLiteral1=a\n"},
      {"no final line feed", L"[InterrogationLiterals]\nLiteral1=a", L"[InterrogationLiterals]\nLiteral1=a"},
      {"header alone", L"[InterrogationLiterals]", L"[InterrogationLiterals]"},
      {"indented header starts at its bracket", L"  [InterrogationLiterals]\nLiteral1=a\n", L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"text behind the header", L"[InterrogationLiterals] ;x\nLiteral1=a\n", L"[InterrogationLiterals] ;x\nLiteral1=a\n"},
      {"first of two sections", L"[InterrogationLiterals]\nLiteral1=a\n[InterrogationLiterals]\nLiteral2=b\n",
       L"[InterrogationLiterals]\nLiteral1=a\n"},
      {"header is case-sensitive", L"[interrogationliterals]\nLiteral1=a\n", nullptr},
      {"header inside a line is none", L"Name=[InterrogationLiterals]\nLiteral1=a\n", nullptr},
      {"empty text", L"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextSpan section;
    bool found = FindLiteralSection(c.text, &section);
    ASSERT_EQ(c.section != nullptr, found);
    if (found) {
      EXPECT_EQ(c.section, Span(section));
    }
  }
}

TEST(ConfigText, MacValue) {
  struct Case {
    const char* name;
    const wchar_t* text;
    const wchar_t* value;  // null: none
  } cases[] = {
      {"plain", L"[Global]\nHMAC=abc=\n", L"abc="},
      {"CR before the line feed is no part of it", L"[Global]\r\nHMAC=abc=\r\n", L"abc="},
      {"only one CR is taken off", L"[Global]\nHMAC=abc\r\r\n", L"abc\r"},
      {"blanks inside stay", L"[Global]\nHMAC=a b \n", L"a b "},
      {"leading blanks", L"[Global]\n  HMAC=abc\n", L"abc"},
      {"after other lines", L"[Global]\nName=x\n\nHMAC=abc\n", L"abc"},
      {"first of two", L"[Global]\nHMAC=one\nHMAC=two\n", L"one"},
      {"empty value", L"[Global]\nHMAC=\n", L""},
      {"end of text", L"[Global]\nHMAC=abc", L"abc"},
      {"section after the literals", L"[InterrogationLiterals]\nLiteral1=a\n[Global]\nHMAC=abc\n", L"abc"},
      {"blank before the equals sign", L"[Global]\nHMAC =abc\n", nullptr},
      {"lower-case name", L"[Global]\nhmac=abc\n", nullptr},
      {"in another section", L"[Global]\nName=x\n[Other]\nHMAC=abc\n", nullptr},
      {"before the section", L"HMAC=abc\n[Global]\n", nullptr},
      {"no section", L"HMAC=abc\n", nullptr},
      {"section name is case-sensitive", L"[global]\nHMAC=abc\n", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextSpan value;
    bool found = FindConfigMacValue(c.text, &value);
    ASSERT_EQ(c.value != nullptr, found);
    if (found) {
      EXPECT_EQ(c.value, Span(value));
    }
  }
}

TEST(ConfigText, LiteralLines) {
  struct Case {
    const wchar_t* line;
    const wchar_t* text;  // null: not a literal line
  } cases[] = {
      {L"Literal1=FILE,a,b", L"FILE,a,b"},
      {L"Literal0042=x=y", L"x=y"},
      {L"Literal7=", L""},
      {L"Literal7=x\r\n", L"x"},
      {L"Literal=x", nullptr},
      {L"LiteralA=x", nullptr},
      {L"Literal1 =x", nullptr},
      {L"literal1=x", nullptr},
      {L"Literal1", nullptr},
      {L"HMAC=x", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    const wchar_t* cursor = c.line;
    ConfigLine line;
    ASSERT_TRUE(NextConfigLine(&cursor, &line));
    TextSpan text;
    bool found = LiteralLineText(line, &text);
    ASSERT_EQ(c.text != nullptr, found);
    if (found) {
      EXPECT_EQ(c.text, Span(text));
    }
  }
}

TEST(ConfigText, LiteralFields) {
  struct Case {
    const wchar_t* text;
    const wchar_t* kind;
    const wchar_t* id;
    const wchar_t* parameters;  // null: absent
  } cases[] = {
      {L"FILE,id,C:\\a,>,5", L"FILE", L"id", L"C:\\a,>,5"},
      {L"REGISTRY,\"a,b\",k", L"REGISTRY", L"a,b", L"k"},
      {L"FILE,id", L"FILE", L"id", L""},
      {L"FILE,id,", L"FILE", L"id", L""},
      {L"FILE", L"FILE", nullptr, nullptr},
      {L",,FILE,,id,p", L"FILE", L"id", L"p"},
      {L"", nullptr, nullptr, nullptr},
      {L"\"\",\"\"", nullptr, nullptr, nullptr},
  };
  auto show = [](const wchar_t* field) { return field ? std::wstring(field) : std::wstring(L"<absent>"); };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    std::wstring copy(c.text);
    ConfigLiteralFields fields;
    SplitConfigLiteral(&copy[0], &fields);
    EXPECT_EQ(show(c.kind), show(fields.kind));
    EXPECT_EQ(show(c.id), show(fields.id));
    EXPECT_EQ(show(c.parameters), show(fields.parameters));
  }
}

TEST(EpcDocument, XmlText) {
  enum LessThan : bool { kEscaped = false, kAsLetterL = true };  // the letter "l" in literal descriptions
  struct Case {
    const char* name;
    std::wstring text;
    LessThan lessThan;
    std::wstring xml;
  } cases[] = {
      {"less-than in a description", L"size<5,<", kAsLetterL, L"sizel5,l"},
      {"less-than elsewhere", L"a<b", kEscaped, L"a&lt;b"},
      {"ampersand", L"Test & Co", kAsLetterL, L"Test &amp; Co"},
      {"greater-than stays", L">=5", kAsLetterL, L">=5"},
      {"section close is broken up", L"a]]>b]>c", kEscaped, L"a]]&gt;b]>c"},
      {"tab, CR and LF stay", L"a\tb\rc\nd", kEscaped, L"a\tb\rc\nd"},
      {"controls", std::wstring(L"a\x01" L"b\x1f" L"c"), kEscaped, L"a?b?c"},
      {"non-characters", std::wstring(L"a\xfffe" L"b\xffff"), kEscaped, L"a?b?"},
      {"unpaired surrogates", std::wstring(L"a\xd800" L"b\xdc00"), kEscaped, L"a?b?"},
      {"letters outside ASCII stay", L"Gr\u00f6\u00dfe", kEscaped, L"Gr\u00f6\u00dfe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideTextBuffer out;
    ASSERT_TRUE(AppendXmlText(&out, c.text.data(), c.text.size(), c.lessThan == kAsLetterL));
    EXPECT_EQ(c.xml, std::wstring(out.Text(), out.Length()));
  }
}

// A surrogate pair is one character where wide text is UTF-16 and stays as it is.
TEST(EpcDocument, SurrogatePairStaysWhereTextIsUtf16) {
  if (sizeof(wchar_t) != 2) GTEST_SKIP() << "wide text is UTF-32 here";
  const std::wstring pair(L"\xd83d\xde00");
  WideTextBuffer out;
  ASSERT_TRUE(AppendXmlText(&out, pair.data(), pair.size(), true));
  EXPECT_EQ(pair, std::wstring(out.Text(), out.Length()));
}

}  // namespace
}  // namespace kesi
