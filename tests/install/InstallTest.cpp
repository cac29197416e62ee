// The install engine against components that the appliance simulator serves over HTTP: CABs made with
// gcab and signed with osslsigncode (tests/install/make_test_cabs.py), the real trust check, extractor,
// profile functions, COM self-registration and PendingFileRenameOperations. Every failed run is compared
// with a snapshot of the install folder, the fixtures' class key, the catalog and the pending renames.
#include <windows.h>
#include <softpub.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Catalog.h"
#include "Handles.h"
#include "HostChecks.h"
#include "Install.h"
#include "InstallRun.h"
#include "InstallSnapshot.h"
#include "InstallSystem.h"
#include "LogFolder.h"
#include "PathLock.h"
#include "SecretReleases.h"
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

// An upgrade replaces every file and leaves no numbered backup behind; the catalog keeps one entry, and
// still removes the folder that the first install created.
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
  EXPECT_EQ(L"Yes", CatalogValue(L"kesiplain", L"RemoveDIR"));
}

// Holds the install folder's lock on another thread (the mutex is the owner's own on its thread).
class FolderHolder {
 public:
  explicit FolderHolder(const std::wstring& folder) {
    thread_ = std::thread([this, folder] {
      PathLock lock;
      acquired_ = lock.Acquire(L"Local\\kesi.install.", folder.c_str(), 5000);
      SetEvent(held_.get());
      WaitForSingleObject(release_.get(), 30000);
    });
    WaitForSingleObject(held_.get(), 10000);
  }
  ~FolderHolder() {
    SetEvent(release_.get());
    thread_.join();
  }
  DWORD Acquired() const { return acquired_; }

 private:
  UniqueHandle held_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  DWORD acquired_ = ERROR_INVALID_FUNCTION;
  std::thread thread_;
};

// A run that fails at any step leaves the install folder (an installed earlier version), the class key,
// the catalog and the pending renames exactly as they were, logs the step's message and removes its
// temporary folder.
TEST_F(Install, AFailedRunAtAnyStepChangesNothing) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  const std::wstring evil = [] {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"evil.txt";
  }();
  DeleteFileW(evil.c_str());  // what a run that let the entry through would have left
  UniqueFile held;
  std::unique_ptr<FolderHolder> holder;
  struct Case {
    const char* name;
    const wchar_t* cab;
    const wchar_t* version;
    DWORD expected;
    DWORD message;
    std::function<void()> before;
  } const cases[] = {
      {"missing CAB (404)", L"v3/kesiplain.cab", L"3,0,0,0", 12028, MSG_DOWNLOAD_FAILED, nullptr},
      {"unsigned CAB", L"unsigned/kesiplain.cab", L"2,0,0,0", static_cast<DWORD>(TRUST_E_NOSIGNATURE),
       MSG_COMPONENT_NOT_TRUSTED, nullptr},
      {"digest refused by the trust check", L"v2/kesiplain.cab", L"2,0,0,0", static_cast<DWORD>(TRUST_E_BAD_DIGEST),
       MSG_COMPONENT_NOT_TRUSTED,
       [] {
         InstallSystem system = CurrentInstallSystem();
         system.verifyTrust = &AnswerTrust;
         g_trustAnswer = TRUST_E_BAD_DIGEST;
         SetInstallSystem(system);
       }},
      {"damaged data block", L"damaged/kesiplain.cab", L"2,0,0,0", 4, MSG_CAB_DECOMPRESSION_FAILED, nullptr},
      {"CAB entry leaving the folder", L"kesitrav.cab", L"1,0,0,0", ERROR_INVALID_PARAMETER,
       MSG_CAB_DECOMPRESSION_FAILED, nullptr},
      {"Add.Code key leaving the folder", L"kesibadkey.cab", L"1,0,0,0", ERROR_INVALID_PARAMETER,
       MSG_CAB_DECOMPRESSION_FAILED, nullptr},
      {"InstallFile value leaving the folder", L"kesibadvalue.cab", L"1,0,0,0", ERROR_INVALID_PARAMETER,
       MSG_CAB_DECOMPRESSION_FAILED, nullptr},
      {"no Add.Code section", L"kesinoadd.cab", L"1,0,0,0", ERROR_FILE_NOT_FOUND, MSG_INF_NOT_FOUND, nullptr},
      {"locked target", L"v2/kesiplain.cab", L"2,0,0,0", ERROR_SHARING_VIOLATION, MSG_FILE_LOCKED,
       [&] {
         SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY);  // checked before b.txt, and kept
         held.reset(CreateFileW(At(L"b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
       }},
      {"ten backup names taken", L"v2/kesiplain.cab", L"2,0,0,0", ERROR_NO_MORE_SEARCH_HANDLES, MSG_RENAME_FAILED,
       [&] {
         for (int n = 0; n < 10; ++n) test::WriteWholeFile(At(L"b.txt." + std::to_wstring(n)), "taken");
       }},
      {"second copy to one target", L"kesidup.cab", L"1,0,0,0", ERROR_FILE_EXISTS, MSG_INSTALL_FILE_FAILED, nullptr},
      {"second registration fails", L"kesicom.cab", L"1,0,0,0", ERROR_INVALID_DATA, MSG_REGISTRATION_FAILED,
       [] { SetString(kComControl, L"FailRegister", L"kesicom2.dll"); }},
      {"registration program never ends", L"kesiexe.cab", L"1,0,0,0", ERROR_TIMEOUT, MSG_REGISTRATION_FAILED,
       [] {
         SetNumber(kProgramControl, L"Hang", 1);
         InstallSystem system = CurrentInstallSystem();
         system.registrationWaitMs = 500;
         SetInstallSystem(system);
       }},
      {"another run holds the folder", L"v2/kesiplain.cab", L"2,0,0,0", ERROR_TIMEOUT, MSG_BEGIN_FUNCTION,
       [&] {
         holder = std::make_unique<FolderHolder>(App() + L"\\");
         InstallSystem system = CurrentInstallSystem();
         system.lockWaitMs = 300;
         SetInstallSystem(system);
       }},
  };
  const InstallSystem defaults = CurrentInstallSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) c.before();
    const test::InstallSnapshot before = Snapshot();
    logStart_ = ReadWholeFile(logPath_).size();
    EXPECT_EQ(c.expected, InstallVer(c.cab, c.version));
    EXPECT_EQ("", before.Difference(before.Again()));
    EXPECT_TRUE(HasMessage(LogEntries(), c.message)) << LogText();
    EXPECT_EQ(tempBefore_, EngineTempFolders());
    EXPECT_FALSE(PathExists(evil));
    SetInstallSystem(defaults);
    ClearRegistry();
    held.reset();
    holder.reset();
    for (int n = 0; n < 10; ++n) DeleteFileW(At(L"b.txt." + std::to_wstring(n)).c_str());
  }
  EXPECT_EQ("version 1 b\r\n", ReadWholeFile(At(L"b.txt")));
}

// Arguments: all texts are needed; a URL that does not fit is refused rather than cut; a folder text
// that names no folder (a mistyped keyword, an empty "null:") is 13 with 4001, and nothing is created.
TEST_F(Install, ArgumentsAndFolderTextsThatNameNoFolderAreRefused) {
  const std::wstring url = Url(L"v1/kesiplain.cab");
  const std::wstring folder = FolderText();
  const std::wstring longUrl = Url(std::wstring(250, L'x') + L"/kesiplain.cab");
  struct Case {
    const wchar_t* cabUrl;
    const wchar_t* version;
    const wchar_t* folderText;
    DWORD expected;
  } const cases[] = {
      {L"", L"1,0,0,0", folder.c_str(), ERROR_INVALID_PARAMETER},
      {url.c_str(), L"", folder.c_str(), ERROR_INVALID_PARAMETER},
      {url.c_str(), L"1,0,0,0", L"", ERROR_INVALID_PARAMETER},
      {longUrl.c_str(), L"1,0,0,0", folder.c_str(), ERROR_INVALID_PARAMETER},
      {url.c_str(), L"1,0,0,0", L"Programs:Velmora", ERROR_INVALID_DATA},
      {url.c_str(), L"1,0,0,0", L"null:", ERROR_INVALID_DATA},
      {url.c_str(), L"1,0,0,0", L"system:Foo:Bar", ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.folderText) + " " + Narrow(c.cabUrl));
    logStart_ = ReadWholeFile(logPath_).size();
    EXPECT_EQ(c.expected, InstallComponentVer(c.cabUrl, c.version, c.folderText));
    if (c.expected == ERROR_INVALID_DATA) {
      EXPECT_TRUE(HasMessage(LogEntries(), MSG_INSTALL_DIRECTORY_ERROR, Narrow(c.folderText)));
    }
  }
  EXPECT_FALSE(PathExists(App()));
  EXPECT_FALSE(PathExists(L"Programs"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, InstallComponent(url.c_str(), L"x.exe", L"", L"1,0,0,0", folder.c_str(), false));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, UninstallComponent(L"", false, nullptr));
  EXPECT_TRUE(appliance_.Journal().empty()) << "nothing was downloaded";
}

// An upgrade over a library that a process has loaded: with HandleLockedFile the old file is renamed
// aside, the new one copied, and the old one (which cannot be deleted while loaded) renamed to ".del" and
// scheduled for deletion at restart, which the run reports as a needed restart.
TEST_F(Install, UpgradeOverALoadedLibraryDefersTheOldFileToTheRestart) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesilock.cab", L"1,0,0,0"));
  UniqueModule loaded(LoadLibraryW(At(L"kesilock.dll").c_str()));
  ASSERT_TRUE(loaded);
  CInstall run;
  ASSERT_EQ(0u, run.Install(L"2,0,0,0", Url(L"v2/kesilock.cab").c_str(), FolderText().c_str(), nullptr));
  EXPECT_TRUE(run.IsRebootRequired());
  EXPECT_EQ("data 2\r\n", ReadWholeFile(At(L"data.txt")));
  EXPECT_TRUE(PathExists(At(L"kesilock.dll")));
  EXPECT_TRUE(PathExists(At(L"kesilock.dll.0.del")));
  const std::vector<std::wstring> pending = test::PendingRenames();
  EXPECT_NE(pending.end(), std::find(pending.begin(), pending.end(), L"\\??\\" + At(L"kesilock.dll.0.del")));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_FILE_REMOVED_REBOOT, Narrow(At(L"kesilock.dll.0"))));
  loaded.reset();
}

// A registration program gets its own quoted path and the switch as its command line, when installed and
// when uninstalled.
TEST_F(Install, RegistrationProgramsReceiveTheirPathAndTheSwitch) {
  ASSERT_EQ(0u, InstallVer(L"kesiexe.cab", L"1,0,0,0"));
  EXPECT_EQ(L"\"" + At(L"kesiregserver.exe") + L"\" /RegServer", GetString(kProgramControl, L"Register"));
  BYTE reboot = 0;
  ASSERT_EQ(0u, UninstallComponent(At(L"kesiexe.inf").c_str(), false, &reboot));
  EXPECT_EQ(L"\"" + At(L"kesiregserver.exe") + L"\" -UnregServer", GetString(kProgramControl, L"Unregister"));
  EXPECT_FALSE(PathExists(At(L"kesiregserver.exe")));
}

// A component with a class id: the registered server's version resource decides (2.0.0.0 here); its
// uninstall through the catalog removes files, class registration, folder and catalog entry.
TEST_F(Install, RegisteredServerVersionDecidesAndUninstallRemovesEverything) {
  const std::wstring url = Url(L"kesicom.cab");
  ASSERT_EQ(0u, InstallComponent(url.c_str(), L"kesicom1.dll", kClassId, L"2,0,0,0", FolderText().c_str(), false));
  EXPECT_EQ(At(L"kesicom2.dll"), GetString((std::wstring(kClassKey) + L"\\InprocServer32").c_str(), nullptr));
  EXPECT_EQ(At(L"kesicom1.dll"), GetString(kClassKey, L"kesicom1.dll"));
  const test::InstallSnapshot installed = Snapshot();
  EXPECT_EQ(0u, InstallComponent(url.c_str(), L"kesicom1.dll", kClassId, L"2,0,0,0", FolderText().c_str(), false));
  EXPECT_EQ("", installed.Difference(installed.Again()));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_INSTALLED_VERSION_CURRENT));
  // A local server's path is read without its quotes and arguments, and with its references expanded.
  const std::wstring local = std::wstring(kClassKey) + L"\\LocalServer32";
  for (const std::wstring& value : {L"\"" + At(L"kesicom1.dll") + L"\" -Embedding", At(L"kesicom1.dll") + L" /automation"}) {
    SetString(local.c_str(), nullptr, value);
    EXPECT_EQ(0u, InstallComponent(url.c_str(), L"kesicom1.dll", kClassId, L"2,0,0,0", FolderText().c_str(), false));
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, local.c_str());
  int downloads = 0;
  for (const std::string& line : appliance_.Journal()) downloads += line.find("GET /postauth/kesicom.cab") != std::string::npos;
  EXPECT_EQ(1, downloads) << "a current server is not installed again";

  BYTE reboot = 0;
  ASSERT_EQ(0u, CatalogUninstall(L"kesicom", &reboot));
  EXPECT_FALSE(PathExists(App()));
  EXPECT_FALSE(KeyExists(kClassKey));
  EXPECT_EQ(L"", CatalogValue(L"Catalog", L"kesicom"));
  EXPECT_EQ(0, reboot);
  for (DWORD id : {MSG_UNREGISTERED, MSG_FILE_RENAMED, MSG_FILE_REMOVED, MSG_COMPONENT_UNINSTALLED})
    EXPECT_TRUE(HasMessage(LogEntries(), id)) << id;

  // A class id too long for the key path is no class this engine registered: installed, no overflow.
  const std::wstring longClass = L"{" + std::wstring(100, L'0') + L"}";
  EXPECT_EQ(0u, InstallComponent(url.c_str(), L"kesicom1.dll", longClass.c_str(), L"2,0,0,0", FolderText().c_str(), false));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_REGISTRY_OPEN_FAILED));
}

// A socket provider in a component is installed and removed through its own exports (NetworkStack.h),
// with the install folder as its folder.
TEST_F(Install, SocketProvidersGoThroughTheirOwnExports) {
  ASSERT_EQ(0u, InstallVer(L"kesinet.cab", L"1,0,0,0"));
  const std::string folder = Narrow(App());
  EXPECT_EQ("LWInstallLspDummy(" + folder + ")\nLWInstallLspChain(" + folder + ")\nInstallNsp(" + folder +
                ")\nReorderNsp\nLWReorderLsp\n",
            ReadWholeFile(At(L"korsp.dll.journal")));
  EXPECT_FALSE(KeyExists(kClassKey)) << "not registered as a COM server";
  ASSERT_EQ(0u, UninstallComponent(At(L"kesinet.inf").c_str(), false, nullptr));
  EXPECT_EQ(0u, ReadWholeFile(At(L"korsp.dll.journal")).find("LWInstallLspDummy")) << "the same journal";
  EXPECT_NE(std::string::npos, ReadWholeFile(At(L"korsp.dll.journal")).find("LWReorderLsp\nLWRemoveLsp"));
  EXPECT_FALSE(PathExists(At(L"korsp.dll")));
}

// A file the component does not list keeps the folder: the uninstall fails with the folder's error, logs
// 2005 and 4015, and the catalog keeps the entry.
TEST_F(Install, AForeignFileKeepsTheFolderAndTheCatalogEntry) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  ASSERT_TRUE(test::WriteWholeFile(At(L"foreign.txt"), "mine"));
  const std::wstring catalogBefore = CatalogValue(L"kesiplain", L"INF");
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), CatalogUninstall(L"kesiplain", nullptr));
  EXPECT_TRUE(PathExists(At(L"foreign.txt")));
  EXPECT_EQ(catalogBefore, CatalogValue(L"kesiplain", L"INF"));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_DIRECTORY_NOT_REMOVED));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_UNINSTALL_FAILED));
  const std::vector<std::wstring> pending = test::PendingRenames();
  EXPECT_EQ(pending.end(), std::find(pending.begin(), pending.end(), L"\\??\\" + App())) << "nothing scheduled";
}

// An uninstall that fails after it moved a locked-list file aside puts every file back and registers
// the unregistered ones again.
TEST_F(Install, AFailedUninstallRestoresAndReregistersTheLockedListToo) {
  ASSERT_EQ(0u, InstallVer(L"kesimix.cab", L"1,0,0,0"));
  // The class key's server path is the last registered library's, so the files' own values are compared.
  test::InstallSnapshot installed;
  installed.Folder(App()).File(Catalog()).Take();
  SetString(kComControl, L"FailUnregister", L"kesimixplain.dll");
  EXPECT_EQ(static_cast<DWORD>(E_FAIL), UninstallComponent(At(L"kesimix.inf").c_str(), true, nullptr));
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KesiTest");
  EXPECT_EQ("", installed.Difference(installed.Again()));
  EXPECT_EQ(At(L"kesimixlock.dll"), GetString(kClassKey, L"kesimixlock.dll"));
  EXPECT_EQ(At(L"kesimixplain.dll"), GetString(kClassKey, L"kesimixplain.dll"));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_UNREGISTER_FAILED, "kesimixplain.dll"));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_ROLLING_BACK_OLD_FILE, "kesimixlock.dll"));
}

// UninstallComponent ORs the run's restart flag into the caller's: a run that needs none keeps an
// earlier "needed", and one whose library is still loaded sets it.
TEST_F(Install, UninstallOrsTheRestartFlag) {
  ASSERT_EQ(0u, InstallVer(L"v1/kesiplain.cab", L"1,0,0,0"));
  BYTE reboot = 1;
  ASSERT_EQ(0u, UninstallComponent(At(L"kesiplain.inf").c_str(), true, &reboot));
  EXPECT_EQ(1, reboot);
  EXPECT_FALSE(PathExists(App()));

  ASSERT_EQ(0u, InstallVer(L"v1/kesilock.cab", L"1,0,0,0"));
  UniqueModule loaded(LoadLibraryW(At(L"kesilock.dll").c_str()));
  ASSERT_TRUE(loaded);
  reboot = 0;
  ASSERT_EQ(0u, UninstallComponent(At(L"kesilock.inf").c_str(), false, &reboot));
  EXPECT_EQ(1, reboot);
  loaded.reset();
  DeleteFileW(At(L"kesilock.dll.0.del").c_str());
}

// A component whose program runs is not installed: 32, logged by 3000, nothing downloaded.
TEST_F(Install, ARunningProgramIsNotReplaced) {
  test::ChildProcess sleeper;
  ASSERT_TRUE(sleeper.Start(test::SleeperPath()));
  ASSERT_TRUE(test::WaitUntil([] {
    LONG found = 0;
    bool full = false;
    return FindProcessByModuleName(L"kesisleeper.exe", &found, &full) == 0 && found;
  }));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
            InstallComponent(Url(L"v1/kesiplain.cab").c_str(), L"KesiSleeper.exe", kClassId, L"1,0,0,0",
                             FolderText().c_str(), false));
  EXPECT_TRUE(HasMessage(LogEntries(), MSG_PROGRAM_RUNNING, "KesiSleeper.exe"));
  EXPECT_FALSE(PathExists(App()));
  EXPECT_TRUE(appliance_.Journal().empty());
}

// Two processes installing one component into one folder at once: one installs, the other waits and
// then finds it current; the folder holds one whole install and the catalog one entry.
TEST_F(Install, TwoProcessesInstallingAtOnceLeaveOneWholeInstall) {
  const std::wstring program = root_ / L"kesiinstallrace.exe";
  ASSERT_TRUE(CopyFileW((test::BuildTestsFolder() + L"install\\kesiinstallrace.exe").c_str(), program.c_str(), FALSE));
  const std::wstring arguments = L"\"" + Url(L"v1/kesiplain.cab") + L"\" 1,0,0,0 \"" + FolderText() + L"\"";
  test::ChildProcess first, second;
  ASSERT_TRUE(first.Start(program, arguments));
  ASSERT_TRUE(second.Start(program, arguments));
  for (test::ChildProcess* child : {&first, &second}) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child->Handle(), 60000));
    DWORD code = 1;
    GetExitCodeProcess(child->Handle(), &code);
    EXPECT_EQ(0u, code);
  }
  EXPECT_EQ("version 1 a\r\n", ReadWholeFile(At(L"a.txt")));
  EXPECT_EQ("1,0,0,0\r\n", ReadWholeFile(At(L"kesiplain.ver")));
  EXPECT_TRUE(Backups().empty());
  wchar_t section[1024];
  const DWORD length = GetPrivateProfileSectionW(L"Catalog", section, 1024, (root_ / L"kesi.cat").c_str());
  EXPECT_EQ(std::wstring(L"kesiplain=kesiplain\0", 20), std::wstring(section, length));
  int downloads = 0;
  for (const std::string& line : appliance_.Journal()) downloads += line.find("GET /postauth/v1/kesiplain.cab") != std::string::npos;
  EXPECT_EQ(1, downloads) << "the second run found the first one's install current";
}

// The shared session cookie: a replaced or cleared text is wiped before its block is released, and each
// download takes its own copy.
TEST(InstallCookie, ReplacedAndClearedCookiesAreWipedBeforeRelease) {
  test::RecordedReleases releases;
  ASSERT_EQ(0u, SetInstallCookie(L"FARLINK_ID=first"));
  ASSERT_EQ(0u, SetInstallCookie(L"FARLINK_ID=second!"));
  EXPECT_TRUE(test::RecordedReleases::SawWiped(sizeof(L"FARLINK_ID=first")));
  std::wstring copy;
  ASSERT_EQ(0u, CopyInstallCookie(&copy));
  EXPECT_EQ(L"FARLINK_ID=second!", copy);
  ASSERT_EQ(0u, SetInstallCookie(nullptr));
  EXPECT_TRUE(test::RecordedReleases::SawWiped(sizeof(L"FARLINK_ID=second!")));
  ASSERT_EQ(0u, CopyInstallCookie(&copy));
  EXPECT_EQ(L"", copy);
}

// The pending renames are read with the value's real size: a value whose last string has no NUL behind it
// is read to its end and no further, and names are compared with and without the "\??\" prefix.
TEST(InstallPendingRenames, AreReadWithTheValuesRealSize) {
  test::PendingRenamesGuard guard;
  const std::wstring list(L"\\??\\C:\\kesi\\a.del\0\0\\??\\C:\\kesi\\b.del\0\0C:\\kesi\\c.del", 51);
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, test::kSessionManagerKey, test::kPendingRenamesValue,
                                           REG_MULTI_SZ, list.data(), static_cast<DWORD>(list.size() * 2)));
  EXPECT_TRUE(IsPendingRename(L"C:\\kesi\\a.del"));
  EXPECT_TRUE(IsPendingRename(L"c:\\KESI\\B.DEL"));
  EXPECT_TRUE(IsPendingRename(L"C:\\kesi\\c.del"));
  EXPECT_FALSE(IsPendingRename(L"C:\\kesi\\c.de"));
  EXPECT_FALSE(IsPendingRename(L"C:\\kesi\\d.del"));
}

}  // namespace
}  // namespace kesi::install
