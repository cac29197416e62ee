#include <gtest/gtest.h>

#include <string>

#include "ModuleVersion.h"
#include "RQVersion.h"
#include "TestFiles.h"

using namespace kesi;

namespace {

// A version fixture, built under this build's test fixtures.
std::wstring VersionedFixture(const wchar_t* name) {
  return kesi::test::FixturePath(std::wstring(L"versioned\\") + name);
}

}  // namespace

TEST(RQVersion, ParseKeepsTheTextAndReportsBadShapes) {
  RQVersion v("8.60.123");
  EXPECT_EQ(8, v.GetMajor());
  EXPECT_EQ(6, v.GetMinor());
  EXPECT_EQ(0, v.GetBuild());
  EXPECT_EQ(123, v.GetRevision());
  EXPECT_STREQ(L"8.60.123", v.GetText());

  EXPECT_EQ(13u, v.Parse(L"1.2.3.4.5"));
  EXPECT_EQ(1, v.GetMajor());
  EXPECT_EQ(0, v.GetMinor() | v.GetBuild() | v.GetRevision());
  EXPECT_STREQ(L"1.2.3.4.5", v.GetText());

  EXPECT_EQ(0u, v.ParseAnsi("2.3.4.5"));
  EXPECT_EQ(5, v.GetRevision());
  v = L"7.2";
  EXPECT_EQ(2, v.GetMinor());
  EXPECT_FALSE(v.IsZero());
  EXPECT_EQ(0u, v.Clear());
  EXPECT_TRUE(v.IsZero());
  EXPECT_STREQ(L"", v.GetText());

  RQVersion none;
  EXPECT_TRUE(none.IsZero());
  EXPECT_STREQ(L"", none.GetText());
  EXPECT_EQ(0u, none.Parse(nullptr));

  RQVersion copy(v);
  copy = L"3";
  EXPECT_TRUE(v.IsZero());
  EXPECT_EQ(3, copy.GetMajor());
}

TEST(RQVersion, Compare) {
  struct Case {
    const char* a;
    const char* b;
    int expected;  // a.Compare(b)
  } cases[] = {
      {"8.60.123", "8.6.0.123", 0},
      {"7", "7.0.0.0", 0},
      {"1.2", "1.10", -8},
      {"2.0", "1.9.9.9", 1},
      {"1.0.0.5", "1.0.0.9", -4},
      {"1.0.3", "1.0.2", 1},
      {"65535", "0", 65535},
      {"0", "65535", -65535},
      {"", "0.0.0.1", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
    RQVersion a(c.a), b(c.b);
    EXPECT_EQ(c.expected, a.Compare(b));
    EXPECT_EQ(-c.expected, b.Compare(a));
    EXPECT_EQ(c.expected < 0, a < b);
    EXPECT_EQ(c.expected > 0, a > b);
    EXPECT_EQ(c.expected <= 0, a <= b);
    EXPECT_EQ(c.expected >= 0, a >= b);
  }
}

TEST(CModuleVersion, ReadsVersionResources) {
  struct Case {
    const wchar_t* file;
    WORD parts[4];
    const wchar_t* versionText;
    const wchar_t* display;
    const wchar_t* comments;
    const wchar_t* company;
    const wchar_t* notice;
    const wchar_t* description;
    const wchar_t* product;
    const wchar_t* productVersion;
    const wchar_t* fileVersionString;
  };
  const std::wstring longComments =
      L"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789";
  const std::wstring cutDisplay = (L"65535.0.10.65535 (" + longComments).substr(0, 79);
  const Case cases[] = {
      // Translation table 0407/1252: its table wins over the 040904E4 one in the same file.
      {L"translated.dll", {4, 5, 6, 7}, L"4.5.6.7", L"4.5.6.7 (preview)", L"preview", L"Fixture Company",
       L"Fixture notice", L"Translated fixture", L"Fixture Product", L"9.8.7.6 text", L"4.5.6.7 text"},
      // No translation table: the strings are read under 040904E4; no comments.
      {L"plain.dll", {1, 2, 3, 4}, L"1.2.3.4", L"1.2.3.4", L"", L"Plain Company", L"Plain notice",
       L"Plain fixture", L"Plain Product", L"1.2.3.4", L"1.2.3.4"},
      // Comments too long for the display version: it is cut at 79 characters.
      {L"longcomments.dll", {65535, 0, 10, 65535}, L"65535.0.10.65535", cutDisplay.c_str(), longComments.c_str(),
       L"", L"", L"", L"", L"", L""},
  };
  CModuleVersion mv;  // one object for every file: each Load forgets what the last one cached
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file);
    const std::wstring path = VersionedFixture(c.file);
    ASSERT_EQ(0u, mv.Load(path.c_str()));
    EXPECT_EQ(path, mv.GetPath());
    WORD parts[4] = {};
    EXPECT_EQ(1u, mv.GetFileVersion(&parts[0], &parts[1], &parts[2], &parts[3]));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.parts[i], parts[i]) << i;
    EXPECT_EQ(MAKELONG(c.parts[1], c.parts[0]), mv.GetFileVersionMS());
    EXPECT_EQ(MAKELONG(c.parts[3], c.parts[2]), mv.GetFileVersionLS());
    EXPECT_STREQ(c.versionText, mv.GetFileVersionText());
    EXPECT_STREQ(c.display, mv.GetDisplayVersion());
    EXPECT_STREQ(c.display, mv.GetDisplayVersion());
    EXPECT_STREQ(c.comments, mv.GetComments());
    EXPECT_STREQ(c.company, mv.GetCompanyName());
    EXPECT_STREQ(c.notice, mv.GetLegalNotice());
    EXPECT_STREQ(c.description, mv.GetFileDescription());
    EXPECT_STREQ(c.product, mv.GetProductName());
    EXPECT_STREQ(c.productVersion, mv.GetProductVersion());
    EXPECT_STREQ(c.fileVersionString, mv.GetFileVersionString());
  }

  // Queries in the plain file's default translation, and one that does not fit the 80-character query.
  ASSERT_EQ(0u, mv.Load(VersionedFixture(L"plain.dll").c_str()));
  EXPECT_STREQ(L"Plain Company", mv.GetString(L"\\StringFileInfo\\040904E4\\CompanyName"));
  EXPECT_STREQ(L"", mv.GetString(L"\\StringFileInfo\\%s\\NoSuchValue"));
  const std::wstring longQuery = L"\\StringFileInfo\\%s\\" + std::wstring(70, L'x');
  EXPECT_STREQ(L"", mv.GetString(longQuery.c_str()));
  EXPECT_STREQ(L"", mv.GetString(nullptr));
}

TEST(CModuleVersion, LoadModuleReadsTheLoadedFile) {
  const std::wstring path = VersionedFixture(L"translated.dll");
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, module);
  CModuleVersion mv;
  EXPECT_EQ(0u, mv.LoadModule(module));
  EXPECT_EQ(0, lstrcmpiW(path.c_str(), mv.GetPath()));
  EXPECT_STREQ(L"4.5.6.7 (preview)", mv.GetDisplayVersion());
  FreeLibrary(module);
}

TEST(CModuleVersion, FailuresLeaveNothingLoaded) {
  const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'a');
  struct Case {
    const char* name;
    const wchar_t* path;
    DWORD expected;  // 0: any failure
  } cases[] = {
      {"null path", nullptr, ERROR_INVALID_PARAMETER},
      {"empty path", L"", ERROR_INVALID_PARAMETER},
      {"path of 260 characters or more", tooLong.c_str(), ERROR_INVALID_PARAMETER},
      {"missing file", L"C:\\no\\such\\file.dll", 0},
  };
  CModuleVersion mv;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DWORD r = mv.Load(c.path);
    if (c.expected) {
      EXPECT_EQ(c.expected, r);
    } else {
      EXPECT_NE(0u, r);
    }
  }

  // A program without a version resource, after a file that had one.
  ASSERT_EQ(0u, mv.Load(VersionedFixture(L"translated.dll").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), mv.LoadModule(nullptr));
  WORD major = 9;
  EXPECT_EQ(0u, mv.GetFileVersion(&major, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, major);
  EXPECT_EQ(0u, mv.GetFileVersionMS());
  EXPECT_STREQ(L"", mv.GetPath());
  EXPECT_STREQ(L"", mv.GetFileVersionText());
  EXPECT_STREQ(L"", mv.GetDisplayVersion());
  EXPECT_STREQ(L"", mv.GetComments());
  EXPECT_STREQ(L"", mv.GetProductName());
  mv.LoadTranslation();
  EXPECT_STREQ(L"", mv.GetCompanyName());
}
