// The file and directory checks on files that each test makes with chosen sizes, write times and
// attributes.
#include <gtest/gtest.h>

#include <string>

#include "Checks.h"
#include "Handles.h"
#include "HostChecks.h"
#include "TestFiles.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Narrow;

FILETIME FromLocal(const SYSTEMTIME& local) {
  FILETIME localTime, utc;
  EXPECT_TRUE(SystemTimeToFileTime(&local, &localTime));
  EXPECT_TRUE(LocalFileTimeToFileTime(&localTime, &utc));
  return utc;
}

// Now minus the given number of seconds.
FILETIME SecondsAgo(LONGLONG seconds) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG units = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                    static_cast<ULONGLONG>(seconds) * 10000000;
  return FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
}

// A folder of files for one test, removed with everything in it afterwards.
class FileChecks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.Created()); }

  std::wstring Path(const std::wstring& name) const { return folder_ / name; }

  // A file of size bytes ('k' each) with the given write time, then the given attributes.
  ::testing::AssertionResult MakeFile(const std::wstring& name, DWORD size, const FILETIME& written,
                                      DWORD attributes = 0) {
    const std::wstring path = Path(name);
    {
      kesi::UniqueFile file(
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      const std::string bytes(size, 'k');
      DWORD count = 0;
      if (!file || !WriteFile(file.get(), bytes.data(), size, &count, nullptr) ||
          !SetFileTime(file.get(), nullptr, nullptr, &written))
        return ::testing::AssertionFailure() << "cannot make " << Narrow(path) << ": error " << GetLastError();
    }
    if (attributes && !SetFileAttributesW(path.c_str(), attributes))
      return ::testing::AssertionFailure() << "cannot mark " << Narrow(path) << ": error " << GetLastError();
    return ::testing::AssertionSuccess();
  }

  struct Case {
    std::wstring text;  // "{D}" stands for the test's folder
    LONG verdict;
  };
  // Each case through the check: status 0 and the case's verdict, or a list of those that differ.
  template <size_t N>
  ::testing::AssertionResult Verdicts(const Case (&cases)[N], LONG (*check)(const wchar_t*, LONG*)) {
    std::string wrong;
    for (const Case& c : cases) {
      std::wstring text = c.text;
      for (size_t at; (at = text.find(L"{D}")) != std::wstring::npos;) text.replace(at, 3, folder_.Path());
      LONG verdict = 0;
      const LONG status = check(text.c_str(), &verdict);
      if (status != 0 || verdict != c.verdict)
        wrong += "\n  " + Narrow(c.text) + ": status " + std::to_string(status) + ", verdict " +
                 std::to_string(verdict) + " (expected " + std::to_string(c.verdict) + ")";
    }
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "texts answered otherwise:" << wrong;
  }

  kesi::test::TempFolder folder_{L"filecheck"};
};

TEST_F(FileChecks, SizeOperators) {
  ASSERT_TRUE(MakeFile(L"size.dat", 1000, SecondsAgo(60)));
  const Case cases[] = {
      {L"{D}\\size.dat", 1},          {L"{D}\\size.dat,,1000", 1},     {L"{D}\\size.dat,,999", 0},
      {L"{D}\\size.dat,=,1000", 1},   {L"{D}\\size.dat,<,1001", 1},    {L"{D}\\size.dat,<,1000", 0},
      {L"{D}\\size.dat,<=,1000", 1},  {L"{D}\\size.dat,>,999", 1},     {L"{D}\\size.dat,>,1000", 0},
      {L"{D}\\size.dat,>=,1000", 1},  {L"{D}\\size.dat,!,1000", 0},    {L"{D}\\size.dat,!=,999", 1},
      {L"{D}\\SIZE.DAT,=,1000", 1},   {L"{D}\\size.dat,<,-1", 1},  // compared as unsigned 32-bit numbers
      {L"{D}\\missing.dat", 0},       {L"{D}\\size.dat_RQ_COMMA_=_RQ_COMMA_1000", 1},
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
}

TEST_F(FileChecks, RelativeAges) {
  ASSERT_TRUE(MakeFile(L"recent.dat", 1, SecondsAgo(3 * 86400)));
  ASSERT_TRUE(MakeFile(L"old.dat", 1, SecondsAgo(10 * 86400)));
  const Case cases[] = {
      {L"{D}\\recent.dat,,,<,,7d", 1},     {L"{D}\\recent.dat,,,>,,7d", 0},
      {L"{D}\\old.dat,,,<,,7d", 0},        {L"{D}\\old.dat,,,>,,7d", 1},
      {L"{D}\\recent.dat,,,!,,7d", 1},     {L"{D}\\recent.dat,,,=,,7d", 0},
      {L"{D}\\recent.dat,,,<,80:0:0", 1},  {L"{D}\\recent.dat,,,<,71:0:0", 0},  // the time alone is an age too
      {L"{D}\\recent.dat,,,<,1:0:0,3d", 1}, {L"{D}\\recent.dat,,,<,0:0:0,2d", 0},
      {L"{D}\\*.dat,,,>,,7d", 1},          {L"{D}\\*.dat,,,<,,1d", 0},  // one of several matches decides
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
}

TEST_F(FileChecks, AbsoluteDates) {
  // Written on 31 December 2009 at 15:30:00.500 local time.
  SYSTEMTIME written = {2009, 12, 4, 31, 15, 30, 0, 500};
  ASSERT_TRUE(MakeFile(L"dated.dat", 1, FromLocal(written)));
  const Case cases[] = {
      {L"{D}\\dated.dat,,,=,,12/31/2009", 1},  {L"{D}\\dated.dat,,,,,12/31/2009", 1},
      {L"{D}\\dated.dat,,,=,,12/30/2009", 0},  {L"{D}\\dated.dat,,,<,,1/1/2010", 1},
      {L"{D}\\dated.dat,,,<,,12/31/2009", 0},  {L"{D}\\dated.dat,,,<=,,12/31/2009", 1},
      {L"{D}\\dated.dat,,,>,,12/30/2009", 1},  {L"{D}\\dated.dat,,,>,,12/31/2009", 0},
      {L"{D}\\dated.dat,,,>=,,12/31/2009", 1}, {L"{D}\\dated.dat,,,!,,12/31/2009", 0},
      {L"{D}\\dated.dat,,,!,,1/1/2010", 1},    {L"{D}\\dated.dat,,,=,0:0:0,12/31/2009", 1},
      // With a time of day the comparison is to the second.
      {L"{D}\\dated.dat,,,=,15:30:00,12/31/2009", 1}, {L"{D}\\dated.dat,,,=,15:30:01,12/31/2009", 0},
      {L"{D}\\dated.dat,,,>,15:00:00,12/31/2009", 1}, {L"{D}\\dated.dat,,,<,15:00:00,12/31/2009", 0},
      {L"{D}\\dated.dat,,,<,16:00:00,12/31/2009", 1}, {L"{D}\\dated.dat,,,>,15:30:00,12/31/2009", 0},
      // Dates that no calendar has are false, whatever the operator.
      {L"{D}\\dated.dat,,,!,,2/30/2009", 0},   {L"{D}\\dated.dat,,,<,,13/1/2009", 0},
      {L"{D}\\dated.dat,,,>,,12/31", 0},       {L"{D}\\dated.dat,,,<,99:99:99,12/31/2009", 0},
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
}

TEST_F(FileChecks, AttributesAndTheOrderOfTests) {
  ASSERT_TRUE(MakeFile(L"marked.dat", 10, SecondsAgo(60), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(MakeFile(L"plain.dat", 20, SecondsAgo(60)));
  DWORD plain = GetFileAttributesW(Path(L"plain.dat").c_str());
  const Case cases[] = {
      {L"{D}\\marked.dat,,,,,,R", 1},    {L"{D}\\marked.dat,,,,,,rh", 1},   {L"{D}\\marked.dat,,,,,,RHS", 0},
      {L"{D}\\marked.dat,,,,,,X", 0},    {L"{D}\\plain.dat,,,,,,R", 0},
      {L"{D}\\plain.dat,,,,,,A", (plain & FILE_ATTRIBUTE_ARCHIVE) ? 1 : 0},
      {L"{D}\\plain.dat,,,,,,N", (plain & FILE_ATTRIBUTE_NORMAL) ? 1 : 0},
      // Each match is tried with every test: only marked.dat is 10 bytes and read-only.
      {L"{D}\\*.dat,=,10,,,,R", 1},      {L"{D}\\*.dat,=,20,,,,R", 0},      {L"{D}\\*.dat,>,5,<,,1d,H", 1},
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
}

TEST_F(FileChecks, CatalogArgumentGoesToTheSignatureCheck) {
  ASSERT_TRUE(MakeFile(L"signed.dat", 1000, SecondsAgo(60)));
  const Case cases[] = {
      {L"{D}\\signed.dat,,,,,,,10E6566B519BE24E1BD53F98E904248B", 1},  // MD5 of 1,000 'k'
      {L"{D}\\signed.dat,,,,,,,10e6566b519be24e1bd53f98e904248b", 1},
      {L"{D}\\signed.dat,,,,,,,00E6566B519BE24E1BD53F98E904248B", 0},
      {L"{D}\\*.dat,=,1000,,,,,2b50d789cd0a7583b00428cb11a3454c74576cc8", 1},  // its SHA-1 catalog hash
      {L"{D}\\signed.dat,=,999,,,,,10E6566B519BE24E1BD53F98E904248B", 0},
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
}

TEST_F(FileChecks, PathsThatNameNoFile) {
  ASSERT_TRUE(CreateDirectoryW(Path(L"only.dir").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(L"long.dat", 1, SecondsAgo(60)));
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_FILECHECK_DIR", folder_.Path().c_str()));
  std::wstring tooLong = L"{D}\\" + std::wstring(300, L'x');
  const Case cases[] = {
      {L"{D}\\only.dir", 0},                  // a match that is a folder is passed over
      {L"{D}\\only.*", 0},
      {L"%KESI_FILECHECK_DIR%\\long.dat", 1}, // environment references are expanded
      {tooLong, 0},                           // cut to 259 characters, names nothing
      {L"{D}\\long.dat,,,,,,,,,,,,,", 1},      // text behind the eighth field is ignored
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateFile));
  SetEnvironmentVariableW(L"KESI_FILECHECK_DIR", nullptr);
}

TEST_F(FileChecks, Directories) {
  ASSERT_TRUE(CreateDirectoryW(Path(L"sub").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(Path(L"a,b").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(L"file.dat", 1, SecondsAgo(60)));
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_FILECHECK_DIR", folder_.Path().c_str()));
  const Case cases[] = {
      {L"{D}", 1},          {L"{D}\\sub", 1},          {L"{D}\\SUB", 1},  {L"{D}\\file.dat", 0},
      {L"{D}\\missing", 0}, {L"{D}\\a_RQ_COMMA_b", 1}, {L"{D}\\s?b", 1},  {L"%KESI_FILECHECK_DIR%\\sub", 1},
  };
  EXPECT_TRUE(Verdicts(cases, &EvaluateDirectory));
  SetEnvironmentVariableW(L"KESI_FILECHECK_DIR", nullptr);
}

}  // namespace
