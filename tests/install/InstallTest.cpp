// The install engine against components that the appliance simulator serves over HTTP: CABs made with
// gcab and signed with osslsigncode (tests/install/make_test_cabs.py), the real trust check, extractor,
// profile functions, COM self-registration and PendingFileRenameOperations. Every failed run is compared
// with a snapshot of the install folder, the fixtures' class key, the catalog and the pending renames.
#include <windows.h>
#include <softpub.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Catalog.h"
#include "Handles.h"
#include "Install.h"
#include "InstallRun.h"
#include "InstallSnapshot.h"
#include "InstallSystem.h"
#include "LogFolder.h"
#include "PathLock.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestProcess.h"
#include "TestText.h"
#include "messages.h"

namespace kesi::install {
namespace {

using test::Narrow;
using test::PathExists;
using test::ReadWholeFile;
using test::TempFolder;
using test::Widen;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{C0DE0009-5EC7-4B1D-9A8E-00000000C0DE}";
constexpr wchar_t kClassId[] = L"{C0DE0009-5EC7-4B1D-9A8E-00000000C0DE}";
constexpr wchar_t kComControl[] = L"Software\\KesiTest\\ComServer";
constexpr wchar_t kProgramControl[] = L"Software\\KesiTest\\RegServer";

std::wstring g_catalogHost;
DWORD TestModulePath(wchar_t* buffer, DWORD size) {
  if (g_catalogHost.size() >= size) return size;
  wcscpy(buffer, g_catalogHost.c_str());
  return static_cast<DWORD>(g_catalogHost.size());
}

LONG g_trustAnswer = 0;
LONG AnswerTrust(const wchar_t*, const wchar_t*) { return g_trustAnswer; }

void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
}
void SetNumber(const wchar_t* key, const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_DWORD, &value, sizeof value);
}
std::wstring GetString(const wchar_t* key, const wchar_t* name) {
  wchar_t value[1024] = L"";
  DWORD bytes = sizeof value - 2;
  RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &bytes);
  return value;
}
bool KeyExists(const wchar_t* key) {
  UniqueKey opened;
  return RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

// The literal pieces of a message of the table (the text between its inserts), for finding it in a log.
std::vector<std::string> MessagePieces(DWORD id) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                 GetModuleHandleW(nullptr), id, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = text ? text : L"";
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
  const std::string message = Narrow(wide);
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= message.size()) {
    size_t insert = message.find('%', start);
    if (insert == std::string::npos) insert = message.size();
    if (insert > start) pieces.push_back(message.substr(start, insert - start));
    if (insert == message.size()) break;
    size_t end = message.find('!', insert + 2);
    end = end == std::string::npos ? insert + 2 : message.find('!', end + 1);
    start = end == std::string::npos ? message.size() : end + 1;
  }
  return pieces;
}

bool HasMessage(const std::vector<std::string>& entries, DWORD id, const std::string& part = "") {
  const std::vector<std::string> pieces = MessagePieces(id);
  for (const std::string& entry : entries) {
    size_t at = 0;
    bool all = true;
    for (const std::string& piece : pieces) {
      at = entry.find(piece, at);
      if (at == std::string::npos) {
        all = false;
        break;
      }
      at += piece.size();
    }
    if (all && entry.find(part) != std::string::npos) return true;
  }
  return false;
}

// Temporary folders the engine made ("ks..." in the temporary folder).
std::vector<std::wstring> EngineTempFolders() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  UniqueFind search(FindFirstFileW((std::wstring(temp) + L"ks*").c_str(), &data));
  if (search) {
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) found.push_back(data.cFileName);
    } while (FindNextFileW(search.get(), &data));
  }
  return found;
}

class Install : public ::testing::Test {
 protected:
  Install() : root_(L"engine"), appliance_(std::string(R"({"tls": false, "files": ")") + KESI_INSTALL_SERVE + "\"}") {}

  void SetUp() override {
    ASSERT_TRUE(root_.Created());
    ASSERT_EQ("", appliance_.Error());
    g_catalogHost = root_ / L"kesihost.dll";
    previousCatalog_ = SetCatalogSystem(CatalogSystem{&UninstallComponent, &TestModulePath, 5000});
    InstallSystem system = DefaultInstallSystem();
    system.registrationWaitMs = 3000;
    previousInstall_ = SetInstallSystem(system);
    ClearRegistry();
    wchar_t log[MAX_PATH];
    ASSERT_EQ(0u, GetLogFolderFile(log, kInstallerLogName));
    logPath_ = log;
    logStart_ = ReadWholeFile(logPath_).size();
    tempBefore_ = EngineTempFolders();
  }
  void TearDown() override {
    SetCatalogSystem(previousCatalog_);
    SetInstallSystem(previousInstall_);
    SetInstallCookie(nullptr);
    EXPECT_EQ(tempBefore_, EngineTempFolders()) << "the run's temporary folder is gone";
    ClearRegistry();
  }
  static void ClearRegistry() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kClassKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KesiTest");
  }

  std::wstring Url(const std::wstring& relative) const {
    return L"http://" + appliance_.Server() + L"/postauth/" + relative;
  }
  std::wstring App() const { return root_ / L"app"; }
  std::wstring At(const std::wstring& name) const { return App() + L"\\" + name; }
  std::wstring FolderText() const { return L"null:" + App(); }
  std::wstring Catalog() const { return root_ / L"kesi.cat"; }
  std::wstring CatalogValue(const wchar_t* section, const wchar_t* key) const {
    wchar_t value[MAX_PATH] = L"";
    GetPrivateProfileStringW(section, key, L"", value, MAX_PATH, Catalog().c_str());
    return value;
  }
  // The log's entries since the test began.
  std::vector<std::string> LogEntries() const { return test::LogEntries(ReadWholeFile(logPath_).substr(logStart_)); }
  std::string LogText() const {
    std::string all;
    for (const std::string& entry : LogEntries()) all += entry;
    return all;
  }
  DWORD InstallVer(const std::wstring& relative, const wchar_t* version) {
    return InstallComponentVer(Url(relative).c_str(), version, FolderText().c_str());
  }
  test::InstallSnapshot Snapshot() const {
    test::InstallSnapshot snapshot;
    snapshot.Folder(App()).RegistryTree(HKEY_CURRENT_USER, kClassKey).File(Catalog()).Take();
    return snapshot;
  }
  // Files in the install folder whose names end in ".<digit>" (backups left behind).
  std::vector<std::wstring> Backups() const {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    UniqueFind search(FindFirstFileW((App() + L"\\*.?").c_str(), &data));
    if (search) {
      do {
        const size_t length = wcslen(data.cFileName);
        if (length > 2 && data.cFileName[length - 2] == L'.' && iswdigit(data.cFileName[length - 1]))
          found.push_back(data.cFileName);
      } while (FindNextFileW(search.get(), &data));
    }
    return found;
  }

  TempFolder root_;
  test::Appliance appliance_;
  test::PendingRenamesGuard pending_;
  CatalogSystem previousCatalog_{};
  InstallSystem previousInstall_{};
  std::wstring logPath_;
  size_t logStart_ = 0;
  std::vector<std::wstring> tempBefore_;
};

// A fresh install puts every listed file (a renamed one under its InstallFile name), records the
// component in the catalog with the folder the run created, sends the user agent and the cookie, and
// writes its steps by id.
TEST_F(Install, FreshInstallPutsTheFilesAndCataloguesTheComponent) {
  ASSERT_EQ(0u, SetInstallCookie(L"FARLINK_ID=abc"));
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  EXPECT_EQ("1,0,0,0\r\n", ReadWholeFile(At(L"kesiplain.ver")));
  EXPECT_EQ("version 1 a\r\n", ReadWholeFile(At(L"a.txt")));
  EXPECT_EQ("version 1 c\r\n", ReadWholeFile(At(L"c-renamed.txt")));
  EXPECT_FALSE(PathExists(At(L"c.txt")));
  EXPECT_TRUE(PathExists(At(L"kesiplain.inf")));
  EXPECT_TRUE(Backups().empty());
  EXPECT_EQ(L"kesiplain", CatalogValue(L"Catalog", L"kesiplain"));
  EXPECT_EQ(At(L"kesiplain.inf"), CatalogValue(L"kesiplain", L"INF"));
  EXPECT_EQ(L"Yes", CatalogValue(L"kesiplain", L"RemoveDIR"));

  const std::vector<std::string> log = LogEntries();
  for (DWORD id : {MSG_BEGIN_FUNCTION, MSG_CREATING_DIRECTORY, MSG_INSTALLING_VERSION, MSG_DOWNLOADING,
                   MSG_CAB_TRUSTED, MSG_DECOMPRESSING_CAB, MSG_FILE_INSTALLED, MSG_COMPONENT_INSTALLED})
    EXPECT_TRUE(HasMessage(log, id)) << id << "\n" << LogText();
  EXPECT_TRUE(HasMessage(log, MSG_FILE_INSTALLED, Narrow(At(L"c-renamed.txt"))));

  bool sent = false;
  for (const std::string& line : appliance_.Journal())
    if (line.find("GET /postauth/v1/kesiplain.cab 200") != std::string::npos)
      sent = line.find("cookie=\"FARLINK_ID=abc\"") != std::string::npos &&
             line.find("ua=\"Velmora Interrogator\"") != std::string::npos;
  EXPECT_TRUE(sent);
}

// The same version again: nothing is downloaded or changed (the renamed file is looked for under its
// InstallFile name); a missing file makes the run install again.
TEST_F(Install, ACurrentComponentIsLeftAloneAndAMissingFileReinstallsIt) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  const test::InstallSnapshot before = Snapshot();
  for (const wchar_t* version : {L"1,0,0,0", L"0,9,0,0"}) {
    EXPECT_EQ(0u, InstallVer(L"v1/kesiplain.cab", version));
    EXPECT_EQ("", before.Difference(before.Again())) << Narrow(version);
  }
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_COMPONENT_CURRENT, "kesiplain"));
  int downloads = 0;
  for (const std::string& line : appliance_.Journal()) downloads += line.find("GET /postauth/v1/kesiplain.cab") != std::string::npos;
  EXPECT_EQ(1, downloads);

  ASSERT_TRUE(DeleteFileW(At(L"c-renamed.txt").c_str()));
  EXPECT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  EXPECT_TRUE(PathExists(At(L"c-renamed.txt")));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_CATALOG_FILE_MISSING, "c-renamed.txt"));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_INSTALLATION_CORRUPTED));
}

// An upgrade replaces every file and leaves no numbered backup behind; the catalog keeps one entry.
TEST_F(Install, UpgradeReplacesTheFilesAndLeavesNoBackups) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  const std::vector<std::wstring> pending = test::PendingRenames();
  ASSERT_EQ(0u, InstallVer(L"v2/kesiplain.cab", L"2,0,0,0"));
  EXPECT_EQ("2,0,0,0\r\n", ReadWholeFile(At(L"kesiplain.ver")));
  EXPECT_EQ("version 2 a\r\n", ReadWholeFile(At(L"a.txt")));
  EXPECT_EQ("version 2 c\r\n", ReadWholeFile(At(L"c-renamed.txt")));
  EXPECT_TRUE(Backups().empty());
  EXPECT_EQ(pending, test::PendingRenames()) << "a replaceable file is deleted at once";
  wchar_t section[1024];
  const DWORD length = GetPrivateProfileSectionW(L"Catalog", section, 1024, Catalog().c_str());
  EXPECT_EQ(std::wstring(L"kesiplain=kesiplain\0", 20), std::wstring(section, length));
}

}  // namespace
}  // namespace kesi::install
