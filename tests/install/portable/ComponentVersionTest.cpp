// The version texts of installed components: the ".ver" file and the requested version, the registered
// server's version, and the comparison that decides an install.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ComponentVersion.h"

namespace kesi {
namespace {

struct Parts {
  uint16_t v[4];
};

std::string Text(const uint16_t p[4]) {
  return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." + std::to_string(p[3]);
}

TEST(ComponentVersion, VersionFileTextReadsAsScanf) {
  struct Case {
    const char* text;
    bool complete;
    const char* parts;
  };
  const Case cases[] = {
      {"1,2,3,4", true, "1.2.3.4"},
      {"1,2,3,4\r\n", true, "1.2.3.4"},
      {"\r\n 1, 2,\t3,4xyz", true, "1.2.3.4"},  // white space before a number, anything after the fourth
      {"+1,-1,3,4", true, "1.65535.3.4"},       // a sign; -1 as a 16-bit value
      {"65537,2,3,4", true, "1.2.3.4"},         // 16-bit values
      {"4294967297,2,3,4", true, "1.2.3.4"},    // modulo 2^32 first
      {"1 ,2,3,4", false, "1.0.0.0"},           // the comma must follow the number
      {"1,2,3", false, "1.2.3.0"},
      {"1.2.3.4", false, "1.0.0.0"},
      {"1,2,,4", false, "1.2.0.0"},
      {"1,2,3,-", false, "1.2.3.0"},
      {"", false, "0.0.0.0"},
      {"\xEF\xBB\xBF" "1,2,3,4", false, "0.0.0.0"},  // a byte-order mark is not white space to scanf
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint16_t parts[4] = {9, 9, 9, 9};
    EXPECT_EQ(ParseVersionFileText(c.text, strlen(c.text), parts), c.complete);
    EXPECT_EQ(Text(parts), c.parts);

    const std::wstring wide(c.text, c.text + strlen(c.text));
    uint16_t wideParts[4] = {9, 9, 9, 9};
    if (c.text[0] != '\xEF') {  // the wide form reads characters, not bytes
      EXPECT_EQ(ParseVersionFileText(wide.c_str(), wideParts), c.complete);
      EXPECT_EQ(Text(wideParts), c.parts);
    }
  }
}

TEST(ComponentVersion, VersionFileTextStaysInsideItsBytes) {
  // The file's bytes are not NUL-terminated: reading stops at size, and at a 0 byte before it.
  const char bytes[] = {'1', ',', '2', ',', '3', ',', '4', '5'};
  uint16_t parts[4];
  EXPECT_TRUE(ParseVersionFileText(bytes, 7, parts));
  EXPECT_EQ(Text(parts), "1.2.3.4");
  EXPECT_FALSE(ParseVersionFileText(bytes, 6, parts));
  EXPECT_FALSE(ParseVersionFileText("1,2\0" ",3,4", 7, parts));
  EXPECT_FALSE(ParseVersionFileText(static_cast<const char*>(nullptr), 4, parts));
  EXPECT_FALSE(ParseVersionFileText(static_cast<const wchar_t*>(nullptr), parts));
}

TEST(ComponentVersion, CommaVersionFillsMissingParts) {
  struct Case {
    const wchar_t* text;
    const char* parts;
  };
  const Case cases[] = {
      {L"8,5,2,1", "8.5.2.1"}, {L"8,5", "8.5.0.0"},       {L"8", "8.0.0.0"},
      {L" 8, 5 ,x,1", "8.5.0.1"}, {L"8,5,2,1,9", "8.5.2.1"}, {L",,,7", "0.0.0.7"},
      {L"", "0.0.0.0"},        {nullptr, "0.0.0.0"},       {L"70000,-1", "4464.65535.0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parts);
    uint16_t parts[4] = {9, 9, 9, 9};
    ParseCommaVersion(c.text, parts);
    EXPECT_EQ(Text(parts), c.parts);
  }
}

TEST(ComponentVersion, ComparesPartByPart) {
  struct Case {
    Parts a, b;
    int sign;
  };
  const Case cases[] = {
      {{{1, 2, 3, 4}}, {{1, 2, 3, 4}}, 0},     {{{1, 2, 3, 5}}, {{1, 2, 3, 4}}, 1},
      {{{1, 3, 0, 0}}, {{1, 2, 1500, 9}}, 1},  // the first difference decides
      {{{0, 0, 0, 65535}}, {{0, 0, 1, 0}}, -1}, {{{65535, 0, 0, 0}}, {{0, 65535, 65535, 65535}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.a.v) + " vs " + Text(c.b.v));
    const int d = CompareVersionParts(c.a.v, c.b.v);
    EXPECT_EQ((d > 0) - (d < 0), c.sign);
  }
}

TEST(ComponentVersion, FileVersionHalvesGiveTheFourParts) {
  uint16_t parts[4];
  FileVersionParts(0x00040005, 0x00060007, parts);
  EXPECT_EQ(Text(parts), "4.5.6.7");
  FileVersionParts(0xFFFF0001, 0x8000FFFE, parts);
  EXPECT_EQ(Text(parts), "65535.1.32768.65534");
}

}  // namespace
}  // namespace kesi
