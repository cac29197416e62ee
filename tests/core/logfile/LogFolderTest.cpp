// Log-folder placement against the user's real application-data folder (under the log_folder lock).
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "LogFile.h"
#include "LogFolder.h"
#include "TestFiles.h"

using namespace kesi;

namespace {

using kesi::test::IsFolder;

std::wstring Known(int csidl) {
  wchar_t path[MAX_PATH];
  EXPECT_EQ(S_OK, SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path));
  return path;
}

TEST(LogFolder, FoldersAreMadeBelowApplicationData) {
  const std::wstring user = Known(CSIDL_APPDATA);
  const std::wstring common = Known(CSIDL_COMMON_APPDATA);
  // Start from a machine without our folders: they must be created, not merely named.
  for (const std::wstring& base : {user, common}) {
    RemoveDirectoryW((base + L"\\Velmora\\LogFiles").c_str());
    RemoveDirectoryW((base + L"\\Velmora").c_str());
  }

  wchar_t logFolder[MAX_PATH];
  ASSERT_EQ(0u, kesi::GetLogFolder(logFolder));
  EXPECT_EQ(user + L"\\Velmora\\LogFiles", logFolder);
  EXPECT_TRUE(IsFolder(logFolder));

  enum Scope { kPerUser, kCommon };
  struct Case {
    Scope scope;
    std::wstring base;
  } cases[] = {{kPerUser, user}, {kCommon, common}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scope == kPerUser ? "per user" : "common");
    wchar_t folder[MAX_PATH], logs[MAX_PATH];
    ASSERT_EQ(0u, kesi::PrepareLogFolder(folder, logs, c.scope == kPerUser));
    EXPECT_EQ(c.base, folder);
    EXPECT_EQ(c.base + L"\\Velmora\\LogFiles", logs);
    EXPECT_TRUE(IsFolder(logs));
  }

  wchar_t path[MAX_PATH];
  ASSERT_EQ(0u, kesi::GetInitLogPath(path));
  EXPECT_EQ(std::wstring(logFolder) + L"\\kesiInit.log", path);
  ASSERT_EQ(0u, kesi::GetBootstrapperLogPath(path));
  EXPECT_EQ(std::wstring(logFolder) + L"\\kesiBootstrapper.log", path);
}

TEST(LogFolder, BareNameGoesToTheLogFolderUnlessPathAsGiven) {
  wchar_t logFolder[MAX_PATH];
  ASSERT_EQ(0u, kesi::GetLogFolder(logFolder));
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(temp));

  const std::wstring name = L"kesi-placement-" + std::to_wstring(GetCurrentProcessId()) + L".log";
  struct Case {
    const char* what;
    DWORD options;
    std::wstring expected;
  } cases[] = {
      {"bare name", 0, std::wstring(logFolder) + L"\\" + name},
      {"bare name, path as given", kesi::kLogPathAsGiven, name},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kesi::LogFile log;
    ASSERT_EQ(0u, log.Open(name.c_str(), c.options, nullptr));
    EXPECT_EQ(c.expected, log.Path());
    EXPECT_EQ(0u, kesi::LogInfo(&log, L"placed"));
    log.Close();
    // The line landed where the path says, and only there.
    std::wstring full = c.options ? std::wstring(temp) + name : c.expected;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(full.c_str()));
    EXPECT_TRUE(DeleteFileW(full.c_str()));
  }
  SetCurrentDirectoryW(previous);
}

}  // namespace
