// The bootstrapper's runs through its library, with the browser, the prompt, the broker stop, the
// take-ownership program and the system version replaced where a case needs it; Windows Installer, the
// registry, the files and the processes are real.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "Bootstrap.h"
#include "BootstrapSupport.h"
#include "Handles.h"
#include "LogBundle.h"
#include "TestProcess.h"

namespace kesi::bootstrap::test {
namespace {

const std::wstring kFullCookies =
    L"FARLINK_ID=team-token; urlConfig=https://127.0.0.1:1/cfg; responseUrl=https://127.0.0.1:1/post; "
    L"successUrl=https://a/ok; epclogoffUrl=https://a/logoff; failureUrl=https://a/fail; "
    L"autoUploadUrl=https://a/upload";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::wstring ProgIdValue(const std::wstring& path) {
  wchar_t value[128] = {};
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return value;
}

void RemoveProgIds() {
  for (const wchar_t* name : {L"Velmora.KESInterrogator.10.7.2.607", L"Velmora.KESInstaller.10.7.2.607"})
    RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Classes\\") + name).c_str());
}

// Before Vista the program asks nothing about UAC (which Wine's prefix reports as off).
void UseWindowsXp() {
  BootstrapSystem system = CurrentBootstrapSystem();
  system.systemVersion = [](DWORD* major, DWORD* minor) {
    *major = 5;
    *minor = 1;
    return true;
  };
  SetBootstrapSystem(system);
}

class BootstrapCase : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteFileW(InitLogPath().c_str());
    CreateDirectoryW(VelmoraFolder().c_str(), nullptr);
    CreateDirectoryW((VelmoraFolder() + L"\\kesi").c_str(), nullptr);
    CreateDirectoryW((VelmoraFolder() + L"\\java_deploy").c_str(), nullptr);
    DeleteFileW(BuildVer().c_str());
    DeleteFileW(JavaPackage().c_str());
    RemoveProgIds();
    RemoveProduct();
  }
  void TearDown() override {
    DeleteFileW(BuildVer().c_str());
    DeleteFileW(JavaPackage().c_str());
    RemoveProgIds();
    RemoveProduct();
  }
  static std::wstring BuildVer() { return VelmoraFolder() + L"\\kesi\\build.ver"; }
  static std::wstring JavaPackage() { return VelmoraFolder() + L"\\java_deploy\\kesi.msi"; }
  static void WriteBuildVer(const char* line) { ASSERT_TRUE(WriteWholeFile(BuildVer(), line)); }
  static void InstallStandIn() {
    ASSERT_EQ(InstallPackageQuietly(PackagePath(L"kesi-signed.msi")), 0u);
    ASSERT_TRUE(ProductInstalled());
  }

  SystemScope system_;
};

// Program mode runs in a folder of its own that holds "kesi.msi" (the download folder).
class ProgramFolder {
 public:
  explicit ProgramFolder(const wchar_t* package) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"kesi-bootstrap-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder_.c_str(), nullptr);
    if (package) CopyFileW(PackagePath(package).c_str(), (folder_ + L"\\kesi.msi").c_str(), FALSE);
    GetCurrentDirectoryW(MAX_PATH, previous_);
    SetCurrentDirectoryW(folder_.c_str());
  }
  ~ProgramFolder() {
    SetCurrentDirectoryW(previous_);
    RemoveTree(folder_);
  }

 private:
  std::wstring folder_;
  wchar_t previous_[MAX_PATH] = {};
};

TEST_F(BootstrapCase, SecondInstanceEndsBeforeTheLog) {
  UniqueHandle other(CreateEventW(nullptr, TRUE, FALSE, kBootstrapperRunningEvent));
  ASSERT_TRUE(other);
  EXPECT_EQ(RunForJava(kFullCookies, nullptr), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(RunProgram(L"", nullptr), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(PathExists(InitLogPath()));
  EXPECT_FALSE(Page().located);
  other.reset();
  // The event is closed on every path: the next run in this process goes ahead.
  RunForJava(L"", nullptr);
  EXPECT_TRUE(PathExists(InitLogPath()));
  UniqueHandle left(OpenEventW(SYNCHRONIZE, FALSE, kBootstrapperRunningEvent));
  EXPECT_FALSE(left);
}

TEST_F(BootstrapCase, SameInstalledVersionInstallsNothingAndRegistersTheProgIds) {
  InstallStandIn();
  WriteBuildVer("10,7,2,607\r\n");
  ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-signed.msi").c_str(), JavaPackage().c_str(), FALSE));
  RunForJava(L"FARLINK_ID=t", nullptr);
  const std::string log = InitLog();
  EXPECT_NE(log.find("installPackage:The Installed major, minor and build versions are 10 and 72 and 607"),
            std::string::npos) << log;
  EXPECT_NE(log.find("installPackage: Not installing msi. The installed client is a newer version."),
            std::string::npos) << log;
  EXPECT_EQ(log.find("MsiInstallProduct complete"), std::string::npos) << log;
  EXPECT_NE(log.find("JNI BOOTSTRAPPER: kesi.msi install completed successfully"), std::string::npos) << log;
  EXPECT_EQ(ProgIdValue(L"Software\\Classes\\Velmora.KESInterrogator.10.7.2.607\\CLSID"),
            L"{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}");
  EXPECT_EQ(ProgIdValue(L"Software\\Classes\\Velmora.KESInstaller.10.7.2.607\\CLSID"),
            L"{A7BC4157-A8EC-488F-9808-C63E2ACB0996}");
}

// The running broker when an upgrade stops it, and whether it had exited when the stop step returned.
struct BrokerWatch {
  HANDLE broker = nullptr;
  int stops = 0;
  bool exitedWhenStopped = false;
};
BrokerWatch& Watch() {
  static BrokerWatch watch;
  return watch;
}

DWORD WatchedBrokerStop(LogFile* log) {
  const DWORD result = StopRunningBrokers(log);
  ++Watch().stops;
  Watch().exitedWhenStopped = WaitForSingleObject(Watch().broker, 0) == WAIT_OBJECT_0;
  return result;
}

class EnvironmentScope {
 public:
  EnvironmentScope(const wchar_t* name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~EnvironmentScope() { SetEnvironmentVariableW(name_, nullptr); }

 private:
  const wchar_t* name_;
};

TEST_F(BootstrapCase, UpgradeTakesOwnershipAndStopsTheBrokerBeforeInstalling) {
  const struct {
    DWORD major, minor;
    const wchar_t* takeOwnershipExit;
    bool takesOwnership;
    bool upgrades;
  } cases[] = {
      {6, 1, L"0", true, true},
      {6, 1, L"5", true, false},  // a failed take-ownership step is the result: nothing stopped or installed
      {5, 1, L"0", false, true},  // Windows XP has no such step
  };
  InstallStandIn();
  const std::wstring broker = VelmoraFolder() + L"\\kesi\\kesivista.exe";
  ASSERT_TRUE(CopyFileW(SleeperPath().c_str(), broker.c_str(), FALSE));
  const std::wstring record = VelmoraFolder() + L"\\takeown-record.txt";
  static DWORD major, minor;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " exit " << Narrow(c.takeOwnershipExit));
    DeleteFileW(InitLogPath().c_str());
    DeleteFileW(record.c_str());
    // "10,7,12,607" is no version line of the file's format: the installed client counts as older.
    WriteBuildVer("10,7,12,607");
    ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-signed.msi").c_str(), JavaPackage().c_str(), FALSE));
    ChildProcess running;
    ASSERT_TRUE(running.Start(broker));
    Watch() = BrokerWatch();
    Watch().broker = running.Handle();
    BootstrapSystem system = CurrentBootstrapSystem();
    system.stopBroker = WatchedBrokerStop;
    major = c.major;
    minor = c.minor;
    system.systemVersion = [](DWORD* a, DWORD* b) {
      *a = major;
      *b = minor;
      return true;
    };
    SetBootstrapSystem(system);
    EnvironmentScope recordTo(L"KESI_TAKEOWN_RECORD", record);
    EnvironmentScope exitWith(L"KESI_TAKEOWN_EXIT", c.takeOwnershipExit);

    RunForJava(L"FARLINK_ID=t", nullptr);
    const std::string log = InitLog();
    if (c.takesOwnership) {
      const std::string line = ReadWholeFile(record);
      const std::wstring expected = L"\"" + system.takeOwnershipProgram() + L"\" /F \"" + VelmoraFolder() + L"\" /R /D Y";
      EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(line.data()), line.size() / 2), expected);
    } else {
      EXPECT_FALSE(PathExists(record));
    }
    if (c.upgrades) {
      EXPECT_EQ(Watch().stops, 1);
      EXPECT_TRUE(Watch().exitedWhenStopped);
      const size_t upgrading = log.find("installPackage: upgrading existing KESI installation");
      const size_t installed = log.find("installPackage: MsiInstallProduct complete");
      EXPECT_NE(upgrading, std::string::npos) << log;
      EXPECT_NE(installed, std::string::npos) << log;
      EXPECT_LT(upgrading, installed) << log;
      EXPECT_NE(log.find("BOOTSTRAPPER: starting bootstrap process after CleanUp"), std::string::npos) << log;
    } else {
      EXPECT_EQ(Watch().stops, 0);
      EXPECT_EQ(WaitForSingleObject(running.Handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
      EXPECT_EQ(log.find("MsiInstallProduct complete"), std::string::npos) << log;
      EXPECT_NE(log.find("JNI BOOTSTRAPPER: kesi.msi install failed."), std::string::npos) << log;
    }
  }
  DeleteFileW(record.c_str());
  DeleteFileW(broker.c_str());
}

TEST_F(BootstrapCase, OnlyATrustedPackageIsInstalled) {
  ASSERT_FALSE(ProductInstalled());
  ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-unsigned.msi").c_str(), JavaPackage().c_str(), FALSE));
  RunForJava(L"FARLINK_ID=t", nullptr);
  EXPECT_FALSE(ProductInstalled());
  std::string log = InitLog();
  EXPECT_NE(log.find("installPackage: the package's signature is not trusted: 0x800b0100"), std::string::npos) << log;
  EXPECT_NE(log.find("JNI BOOTSTRAPPER: kesi.msi install failed."), std::string::npos) << log;

  DeleteFileW(InitLogPath().c_str());
  ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-signed.msi").c_str(), JavaPackage().c_str(), FALSE));
  RunForJava(L"FARLINK_ID=t", nullptr);
  EXPECT_TRUE(ProductInstalled());
  log = InitLog();
  EXPECT_NE(log.find("installPackage: installing KESI package for the first time"), std::string::npos) << log;
  EXPECT_NE(log.find("installPackage: ERROR_SUCCESS result: 0"), std::string::npos) << log;
}

TEST_F(BootstrapCase, CookiesWithoutAutoUploadUrlReportTheReasonAndSkipTheInterrogation) {
  InstallStandIn();
  WriteBuildVer("10,7,2,607");
  ProgramFolder folder(L"kesi-signed.msi");
  UseWindowsXp();
  Page().cookie = L"FARLINK_ID=team-token; urlConfig=https://a/cfg; responseUrl=https://a/post; "
                  L"successUrl=https://a/ok?autoUploadUrl=https://evil/up; failureUrl=https://a/fail";
  EXPECT_EQ(RunProgram(L"", nullptr), kBootstrapFailure);
  ASSERT_TRUE(Page().located);
  ASSERT_EQ(Page().puts.size(), 1u);
  EXPECT_EQ(Page().puts[0], L"FailureReason=browser cookie AutoUpload Url not found");
  EXPECT_TRUE(Page().navigations.empty());
  const std::string log = InitLog();
  EXPECT_NE(log.find("getProvisioningProperties: autoupload url url is null"), std::string::npos) << log;
  EXPECT_NE(log.find("BOOTSTRAPPER: browser property pick failed"), std::string::npos) << log;
  EXPECT_EQ(log.find("DoInterrogatorActions"), std::string::npos) << log;
  // The session token is a secret: only its first characters and its length reach the log.
  EXPECT_EQ(log.find("team-token"), std::string::npos) << log;
  EXPECT_NE(log.find("getProvisioningProperties, TeamId: team***(10)"), std::string::npos) << log;
  EXPECT_NE(log.find("getProvisioningProperties: token: FARLINK_ID=****"), std::string::npos) << log;
}

struct PromptRecord {
  std::wstring text, caption;
  int calls = 0;
  bool owned = false;  // by the progress window
  LRESULT barHigh = -1, barPosition = -1;
};
PromptRecord& Prompt() {
  static PromptRecord record;
  return record;
}

int WINAPI RecordPrompt(HWND owner, const wchar_t* text, const wchar_t* caption, UINT) {
  ++Prompt().calls;
  Prompt().text = text;
  Prompt().caption = caption;
  // The progress window shows while the program asks: its bar runs from 0 to 25 and has made one step.
  HWND window = FindWindowW(L"Static", L"Velmora Access Manager");
  Prompt().owned = window && window == owner && IsWindowVisible(window);
  if (HWND bar = window ? FindWindowExW(window, nullptr, L"msctls_progress32", nullptr) : nullptr) {
    Prompt().barHigh = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    Prompt().barPosition = SendMessageW(bar, PBM_GETPOS, 0, 0);
  }
  return IDOK;
}

TEST_F(BootstrapCase, UacOffWithoutJavaAsksAndSendsTheBrowserToAutoUpload) {
  UniqueKey java;
  ASSERT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\JavaSoft\\Java Runtime Environment", 0, KEY_READ, java.put()),
            ERROR_SUCCESS) << "the prefix has a Java runtime";
  UacPolicyScope uacOff(0);
  ProgramFolder folder(L"kesi-signed.msi");
  Prompt() = PromptRecord();
  BootstrapSystem system = CurrentBootstrapSystem();
  system.prompt = RecordPrompt;
  SetBootstrapSystem(system);
  Page().cookie = kFullCookies;

  EXPECT_EQ(RunProgram(L"", nullptr), kBootstrapFailure);
  EXPECT_EQ(Prompt().calls, 1);
  EXPECT_EQ(Prompt().text,
            L"UAC is turned off and Sun Java plugin is disabled or Sun Java 1.6 or higher is not installed. Please "
            L"contact your aministrator");
  EXPECT_EQ(Prompt().caption, L"ERROR");
  EXPECT_TRUE(Prompt().owned);
  EXPECT_EQ(Prompt().barHigh, 25);
  EXPECT_EQ(Prompt().barPosition, 2);
  ASSERT_EQ(Page().navigations.size(), 1u);
  EXPECT_EQ(Page().navigations[0], L"https://a/upload");
  EXPECT_FALSE(ProductInstalled());
  const std::string log = InitLog();
  EXPECT_NE(log.find("OS is Vista and UAC is turned off"), std::string::npos) << log;
  EXPECT_NE(log.find("Sun Java >= 1.6 is not installed"), std::string::npos) << log;
  EXPECT_NE(log.find("Navigating to the error page"), std::string::npos) << log;
  EXPECT_EQ(log.find("installPackage"), std::string::npos) << log;
}

TEST_F(BootstrapCase, CommandLineRunInstallsWithoutLookingForTheBrowser) {
  ProgramFolder folder(L"kesi-signed.msi");
  UseWindowsXp();
  EXPECT_EQ(RunProgram(L"anything", nullptr), kBootstrapSuccess);
  EXPECT_TRUE(ProductInstalled());
  EXPECT_FALSE(Page().located);
  const std::string log = InitLog();
  EXPECT_NE(log.find("BOOTSTRAPPER: Command line initiated"), std::string::npos) << log;
  EXPECT_EQ(Count(log, "BOOTSTRAPPER: kesi.msi install completed successfully"), 1u) << log;
}

TEST(BootstrapBrowser, TheShellWindowListOfWineHoldsNoBrowser) {
  ComApartment com;
  TestLogFile log(L"bootstrap-browser");
  std::unique_ptr<BrowserPage> page;
  EXPECT_EQ(LocateShellBrowser(log.Log(), &page), S_FALSE);
  EXPECT_FALSE(page);
}

}  // namespace
}  // namespace kesi::bootstrap::test
