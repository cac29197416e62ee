// The file and directory checks on files that each test makes with chosen sizes, write times and
// attributes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Checks.h"
#include "Handles.h"
#include "HostChecks.h"
#include "LoopbackShare.h"
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

// Loopback listeners on the ports a UNC or WebDAV path would reach (SMB 445 and 139, WebDAV 80) and on a
// free high port that the test names in a WebDAV path. A port that cannot be bound (taken, or
// privileged for a user who is not root) is left out, and said so.
class Listeners {
 public:
  Listeners() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!started_) return;
    for (u_short port : {445, 139, 80, 0}) {
      SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      int size = sizeof(address);
      if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
          listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::printf("(port %u not bound, not watched: error %d)\n", port, WSAGetLastError());
        if (s != INVALID_SOCKET) closesocket(s);
        continue;
      }
      if (port == 0) highPort_ = ntohs(address.sin_port);
      sockets_.push_back({s, ntohs(address.sin_port)});
    }
  }
  ~Listeners() {
    for (const auto& entry : sockets_) closesocket(entry.first);
    if (started_) WSACleanup();
  }
  u_short HighPort() const { return highPort_; }
  // The ports that have a connection waiting.
  std::vector<u_short> Connected() const {
    std::vector<u_short> ports;
    for (const auto& entry : sockets_) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(entry.first, &ready);
      timeval none = {0, 0};
      if (select(0, &ready, nullptr, nullptr, &none) > 0) ports.push_back(entry.second);
    }
    return ports;
  }

 private:
  bool started_ = false;
  u_short highPort_ = 0;
  std::vector<std::pair<SOCKET, u_short>> sockets_;
};

// A FILE or DIRECTORY literal that names another machine (UNC in any spelling, WebDAV, the device
// namespace's network forms, or a %VAR% that expands to one) is FALSE with 53, and one in the device
// namespace FALSE with 161, without a file call: under Wine the share below is reachable as
// "\\127.0.0.1\NAME", so a check that looked would find its file; nothing connects to the listeners.
TEST_F(FileChecks, NetworkAndDevicePathsAreRefusedWithoutLooking) {
  kesi::test::LoopbackShare share(L"kesi-filecheck");
  Listeners listeners;
  const std::wstring unc = share.Unc();
  std::wstring forward = unc;
  for (wchar_t& c : forward)
    if (c == L'\\') c = L'/';
  ASSERT_TRUE(MakeFile(L"probe.txt", 5, SecondsAgo(60)));
  if (share.Available()) {
    ASSERT_TRUE(CopyFileW(Path(L"probe.txt").c_str(), (share.Folder() + L"\\probe.txt").c_str(), FALSE));
    // The share is what Wine reaches by the UNC name: the refusal below is not a file that is missing.
    WIN32_FIND_DATAW found;
    kesi::UniqueFind reached(FindFirstFileW((unc + L"\\probe.txt").c_str(), &found));
    EXPECT_TRUE(reached) << "Wine did not map " << Narrow(unc);
  }
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_FILECHECK_SHARE", unc.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_FILECHECK_HOST", L"\\\\127.0.0.1"));
  const std::wstring local = Path(L"probe.txt");
  const std::wstring dav = L"\\\\127.0.0.1@" + std::to_wstring(listeners.HighPort()) + L"\\DavWWWRoot\\probe.txt";

  struct PathCase {
    std::wstring parameters;
    LONG (*check)(const wchar_t*, LONG*);
    LONG status;
  } cases[] = {
      {local, &EvaluateFile, 0},  // the same file, locally: TRUE
      {unc + L"\\probe.txt", &EvaluateFile, 53},
      {unc + L"\\probe.txt,>,0", &EvaluateFile, 53},
      {unc + L"\\*.txt", &EvaluateFile, 53},
      {forward + L"/probe.txt", &EvaluateFile, 53},
      {L"\\/127.0.0.1/" + share.Name() + L"\\probe.txt", &EvaluateFile, 53},
      {L"%KESI_FILECHECK_SHARE%\\probe.txt", &EvaluateFile, 53},
      {L"%KESI_FILECHECK_HOST%\\" + share.Name() + L"\\probe.txt", &EvaluateFile, 53},
      {L"\\\\?\\UNC\\127.0.0.1\\" + share.Name() + L"\\probe.txt", &EvaluateFile, 53},
      {L"\\??\\UNC\\127.0.0.1\\" + share.Name() + L"\\probe.txt", &EvaluateFile, 53},
      {L"\\\\127.0.0.1@SSL@443\\DavWWWRoot\\probe.txt", &EvaluateFile, 53},
      {L"\\\\127.0.0.1@80\\DavWWWRoot\\probe.txt", &EvaluateFile, 53},
      {L"\\\\127.0.0.1@SSL\\probe.txt", &EvaluateFile, 53},
      {dav, &EvaluateFile, 53},
      {L"\\\\?\\" + local, &EvaluateFile, 161},  // local, but in device syntax
      {L"\\\\.\\" + local, &EvaluateFile, 161},
      {L"\\??\\" + local, &EvaluateFile, 161},
      {L"\\\\.\\pipe\\kesi-no-such-pipe", &EvaluateFile, 161},
      {folder_.Path(), &EvaluateDirectory, 0},
      {unc, &EvaluateDirectory, 53},
      {L"%KESI_FILECHECK_SHARE%", &EvaluateDirectory, 53},
      {forward, &EvaluateDirectory, 53},
      {L"\\\\127.0.0.1@SSL@443\\DavWWWRoot", &EvaluateDirectory, 53},
      {L"\\\\?\\" + folder_.Path(), &EvaluateDirectory, 161},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(Narrow(c.parameters));
    LONG verdict = 7;
    EXPECT_EQ(c.status, c.check(c.parameters.c_str(), &verdict));
    EXPECT_EQ(c.status == 0 ? 1 : 0, verdict);
  }
  EXPECT_EQ(std::vector<u_short>(), listeners.Connected());
  SetEnvironmentVariableW(L"KESI_FILECHECK_SHARE", nullptr);
  SetEnvironmentVariableW(L"KESI_FILECHECK_HOST", nullptr);
}

}  // namespace
