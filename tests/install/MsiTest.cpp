// Windows Installer packages and the VPN client, on packages made with wixl (tests/fixtures/msi): the
// decision and DoMsiInstall's direct run, msiexec's exit code, the hand-off to a stand-in update service
// (its request, its completion, its silence), the phone book, and the provisioner's package services.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <msi.h>
#include <shlobj.h>

#include <atomic>
#include <string>
#include <thread>

#include "GlobalFacts.h"
#include "Handles.h"
#include "Msi.h"
#include "MsiRules.h"
#include "TestFiles.h"
#include "TestMsi.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::install {
namespace {

constexpr wchar_t kClient[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";
constexpr wchar_t kAgent[] = L"{6D1B0C3E-4F7A-4E51-9B7E-3C1E2A9F0A11}";
constexpr wchar_t kCompletion[] = L"Global\\connect.tunnel.install.complete";

std::wstring Package(const wchar_t* name) { return test::FixturePath(std::wstring(L"msi\\packages\\") + name); }

// The product's state is read straight from the installer (not through the code under test).
using test::InstalledVersion;

// The prompt seam: records what the user would have been shown.
std::wstring g_promptText;
int g_prompts = 0;
int WINAPI RecordPrompt(HWND, const wchar_t* text, const wchar_t*, UINT) {
  ++g_prompts;
  g_promptText = text ? text : L"";
  return IDOK;
}

// The folders the code asks for: the user's and the common application data live under the test's folder.
std::wstring g_folderRoot;
HRESULT WINAPI TestFolder(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  const std::wstring result = g_folderRoot + ((folder & 0xFF) == CSIDL_COMMON_APPDATA ? L"\\Common" : L"\\User");
  CreateDirectoryW(result.c_str(), nullptr);
  lstrcpyW(path, result.c_str());
  return S_OK;
}

bool Yes() { return true; }
bool No() { return false; }

class Msi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Created());
    g_folderRoot = folder_.Path();
    g_prompts = 0;
    g_promptText.clear();
    MsiSystem system = DefaultMsiSystem();
    system.prompt = &RecordPrompt;
    system.isAdministrator = &Yes;
    system.isVistaOrLater = &Yes;
    system.serviceWaitMs = 3000;
    system.serviceWaitPreVistaMs = 3000;
    system.serviceStartDelayMs = 0;
    system.serviceSettleMs = 0;
    system.pipeWaitMs = 500;
    system.pipeReplyMs = 3000;
    system.progressSliceMs = 100;
    previous_ = SetMsiSystem(system);
    GlobalFactSystem().getFolderPath = &TestFolder;
    test::RemoveProductIfInstalled(kClient);
    test::RemoveProductIfInstalled(kAgent);
  }
  void TearDown() override {
    SetMsiSystem(previous_);
    ResetGlobalFactCalls();
    test::RemoveProductIfInstalled(kClient);
    test::RemoveProductIfInstalled(kAgent);
  }

  // tqsetup.ini offering version (the interface levels quiet, as a page would set them for a silent run).
  std::wstring Config(const wchar_t* version, const char* more = "") {
    const std::wstring path = folder_ / L"tqsetup.ini";
    std::string text = std::string("[InstallSettings]\r\nProductCode=") + test::Narrow(kClient) +
                       "\r\nProductVersion=" + test::Narrow(version) + "\r\nUILevel=NONE\r\nUILevelUpdate=NONE\r\n" + more;
    EXPECT_TRUE(test::WriteWholeFile(path, text));
    return path;
  }

  // Starts the stand-in service with modes, once its objects exist.
  ::testing::AssertionResult StartService(const wchar_t* modes) {
    const std::wstring ready = L"kesi-tqvpnsup-ready-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    auto started = service_.Start(test::FixturePath(L"msi\\kesitqvpnsup.exe"),
                                  std::wstring(modes) + L" \"" + Journal() + L"\" " + ready);
    if (!started) return started;
    if (WaitForSingleObject(event.get(), 20000) != WAIT_OBJECT_0)
      return ::testing::AssertionFailure() << "the service stand-in did not start";
    return ::testing::AssertionSuccess();
  }
  std::wstring Journal() { return folder_ / L"journal.bin"; }

  test::TempFolder folder_{L"msi"};
  test::ChildProcess service_;
  MsiSystem previous_{};
};

// The decision of the configuration file against what is installed, and what DoMsiInstall then does
// when it installs directly: first install, upgrade (the reinstall properties make msiexec take the new
// version over the same product code), same version, installed newer (the 1638 text, nothing run).
TEST_F(Msi, VpnClientDecisionAndDirectInstall) {
  struct Case {
    const wchar_t* installed;  // package installed first, or null
    const wchar_t* offered;    // package handed to DoMsiInstall
    const wchar_t* version;    // its version in the configuration file
    int decision;
    DWORD componentInstalled;  // IsMsiComponentInstalled's answer
    const wchar_t* after;      // installed version afterwards
    bool prompted;
  };
  const Case cases[] = {
      {nullptr, L"tqclient-1.2.3.msi", L"1.2.3", kVpnNotInstalled, 0, L"1.2.3", false},
      {L"tqclient-1.2.3.msi", L"tqclient-1.3.0.msi", L"1.3.0", kVpnUpgrade, 0, L"1.3.0", false},
      {L"tqclient-1.2.1500.msi", L"tqclient-1.3.0.msi", L"1.3.0", kVpnUpgrade, 0, L"1.3.0", false},
      {L"tqclient-1.3.0.msi", L"tqclient-1.3.0.msi", L"1.3.0", kVpnCurrent, 1, L"1.3.0", false},
      {L"tqclient-1.3.0.msi", L"tqclient-1.2.1500.msi", L"1.2.1500", kVpnInstalledNewer, 1, L"1.3.0", true},
  };
  for (const Case& c : cases) {
    const std::string name = test::Narrow(c.installed ? c.installed : L"(none)") + " then " + test::Narrow(c.offered);
    test::RemoveProductIfInstalled(kClient);
    if (c.installed) {
      ASSERT_EQ(0u, test::InstallPackageQuietly(Package(c.installed))) << name;
    }
    const std::wstring config = Config(c.version);
    EXPECT_EQ(c.decision, DecideVpnClientInstall(config.c_str())) << name;
    DWORD installed = 7;
    EXPECT_EQ(0u, IsMsiComponentInstalled(config.c_str(), &installed)) << name;
    EXPECT_EQ(c.componentInstalled, installed) << name;
    g_prompts = 0;
    EXPECT_EQ(0u, DoMsiInstall(Package(c.offered).c_str(), config.c_str(), nullptr, nullptr)) << name;
    EXPECT_EQ(c.after, InstalledVersion(kClient)) << name;
    EXPECT_EQ(c.prompted ? 1 : 0, g_prompts) << name;
    if (c.prompted) {
      EXPECT_NE(std::wstring::npos, g_promptText.find(L"version")) << test::Narrow(g_promptText);
    }
  }
}

// msiexec's failure comes back: a package whose cabinet is damaged ends with 1603, and nothing is left
// installed; the provisioner's run answers the same code.
TEST_F(Msi, FailedInstallReturnsInstallersCode) {
  const std::wstring config = Config(L"1.3.0");
  EXPECT_EQ(1603u, DoMsiInstall(Package(L"tqclient-damaged.msi").c_str(), config.c_str(), nullptr, nullptr));
  EXPECT_EQ(L"", InstalledVersion(kClient));
  EXPECT_EQ(1603u, RunAgentMsiexec(Package(L"tqclient-damaged.msi").c_str(), MsiUiLevel::kNone,
                                   (folder_ / L"agent.log").c_str(), nullptr));
}

// A program named msiexec.exe beside the calling program is not the one run.
TEST_F(Msi, MsiexecFromTheSystemFolder) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring planted = exe;
  planted.replace(planted.find_last_of(L'\\') + 1, std::wstring::npos, L"msiexec.exe");
  ASSERT_TRUE(CopyFileW(test::FixturePath(L"msi\\kesitqvpnsup.exe").c_str(), planted.c_str(), FALSE));
  const DWORD result = DoMsiInstall(Package(L"tqclient-1.2.3.msi").c_str(), Config(L"1.2.3").c_str(), nullptr, nullptr);
  DeleteFileW(planted.c_str());
  EXPECT_EQ(0u, result);
  EXPECT_EQ(L"1.2.3", InstalledVersion(kClient));
}

// Through the update service: the start event is tripped, or the 524-byte request goes over the pipe with
// the user's application-data folder; the service's completion ends the run with 0.
TEST_F(Msi, UpdateServiceReceivesTheRequest) {
  MsiSystem system = CurrentMsiSystem();
  system.isAdministrator = &No;
  SetMsiSystem(system);
  struct Case {
    const wchar_t* modes;
    bool pipe;
  };
  for (const Case& c : {Case{L"event,signal", false}, Case{L"oldevent,signal", false}, Case{L"pipe,signal", true}}) {
    DeleteFileW(Journal().c_str());
    ASSERT_TRUE(StartService(c.modes)) << test::Narrow(c.modes);
    EXPECT_EQ(0u, DoMsiInstall(Package(L"tqclient-1.2.3.msi").c_str(), Config(L"1.2.3").c_str(), nullptr, nullptr))
        << test::Narrow(c.modes);
    const std::string journal = test::ReadWholeFile(Journal());
    if (c.pipe) {
      UpdateServiceMessage expected;
      ASSERT_TRUE(BuildUpdateServiceRequest((folder_.Path() + L"\\User").c_str(), &expected));
      ASSERT_EQ(524u, journal.size());
      EXPECT_EQ(std::string(expected.begin(), expected.end()), journal);
      EXPECT_EQ(std::string("\x02\x80\0\0", 4), journal.substr(0, 4));
    } else {
      EXPECT_EQ("start event", journal) << test::Narrow(c.modes);
    }
    EXPECT_EQ(L"", InstalledVersion(kClient)) << "the service installs, not the client";
    service_.Stop();
  }
}

// A service that never signals ends the run with 1460 at the bound, also when an earlier install left the
// completion event signalled; before Vista a user who is no administrator and finds no service gets 1625.
TEST_F(Msi, UpdateServiceSilenceAndAbsence) {
  MsiSystem system = CurrentMsiSystem();
  system.isAdministrator = &No;
  SetMsiSystem(system);
  for (bool stale : {false, true}) {
    UniqueHandle earlier;
    if (stale) earlier.reset(CreateEventW(nullptr, TRUE, TRUE, kCompletion));
    ASSERT_TRUE(StartService(L"pipe,never"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT),
              DoMsiInstall(Package(L"tqclient-1.2.3.msi").c_str(), Config(L"1.2.3").c_str(), nullptr, nullptr))
        << "stale " << stale;
    service_.Stop();
  }
  // The stand-in's pipe goes with its process.
  ASSERT_TRUE(test::WaitUntil([] { return !WaitNamedPipeW(L"\\\\.\\pipe\\TQVpnSUPPipe", 1); }, 20000));
  system.isVistaOrLater = &No;
  SetMsiSystem(system);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_PACKAGE_REJECTED),
            DoMsiInstall(Package(L"tqclient-1.2.3.msi").c_str(), Config(L"1.2.3").c_str(), nullptr, nullptr));
  EXPECT_EQ(L"", InstalledVersion(kClient));
}

// The same user in a program that Wine runs as Windows XP (its real version, not the seam's): with no
// service the install is refused with 1625; as Windows 7 it falls back to installing directly.
TEST_F(Msi, UserWithoutServiceByRealWindowsVersion) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring probe = exe;
  probe.replace(probe.find_last_of(L'\\') + 1, std::wstring::npos, L"kesimsiprobe.exe");
  const std::wstring arguments = L"\"" + Package(L"tqclient-1.2.3.msi") + L"\" \"" + Config(L"1.2.3") + L"\"";
  auto run = [&](DWORD* code) -> ::testing::AssertionResult {
    test::ChildProcess child;
    auto started = child.Start(probe, arguments);
    if (!started) return started;
    if (WaitForSingleObject(child.Handle(), 60000) != WAIT_OBJECT_0) return ::testing::AssertionFailure() << "no end";
    GetExitCodeProcess(child.Handle(), code);
    return ::testing::AssertionSuccess();
  };
  const wchar_t* key = L"Software\\Wine\\AppDefaults\\kesimsiprobe.exe";
  const wchar_t winxp[] = L"winxp";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Version", REG_SZ, winxp, sizeof(winxp)));
  DWORD code = 7;
  const ::testing::AssertionResult ran = run(&code);
  RegDeleteKeyW(HKEY_CURRENT_USER, key);
  ASSERT_TRUE(ran);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_PACKAGE_REJECTED), code);
  EXPECT_EQ(L"", InstalledVersion(kClient));

  ASSERT_TRUE(run(&code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ(L"1.2.3", InstalledVersion(kClient));
}

// The progress window shows while the service works, its bar moves, and it is gone afterwards.
TEST_F(Msi, ProgressWindowDuringHandOff) {
  ASSERT_TRUE(StartService(L"pipe,delay"));
  std::atomic<bool> done{false};
  std::atomic<int> position{0};
  std::thread watcher([&] {
    while (!done) {
      if (HWND window = FindWindowW(L"Static", L"Velmora Connect")) {
        DWORD_PTR at = 0;
        HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
        if (bar && SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 200, &at) && static_cast<int>(at) > position)
          position = static_cast<int>(at);
      }
      Sleep(50);
    }
  });
  MsiSystem system = CurrentMsiSystem();
  system.isAdministrator = &No;
  SetMsiSystem(system);
  const DWORD result = DoMsiInstall(Package(L"tqclient-1.2.3.msi").c_str(), Config(L"1.2.3").c_str(), nullptr, nullptr);
  done = true;
  watcher.join();
  EXPECT_EQ(0u, result);
  EXPECT_GT(position.load(), 0) << "the progress window was not seen";
  EXPECT_EQ(nullptr, FindWindowW(L"Static", L"Velmora Connect"));
}

// An installed, current client counts only when the phone book's entry dials the configured server.
TEST_F(Msi, PhoneBookDecidesAnInstalledClient) {
  ASSERT_EQ(0u, test::InstallPackageQuietly(Package(L"tqclient-1.3.0.msi")));
  const std::wstring phoneBook = folder_.Path() + L"\\Common\\Microsoft\\Network\\Connections\\Pbk\\rasphone.pbk";
  const char connectoid[] = "[Connectoid 1]\r\nConnectionName=Velmora VPN\r\nVpnServer=vpn.example.test\r\n";
  struct Case {
    const char* connectoid;  // the configuration file's section, or ""
    const char* phoneBook;   // null: no phone book
    DWORD installed;
  };
  const Case cases[] = {
      {"", nullptr, 1},
      {connectoid, nullptr, 0},
      {connectoid, "[Velmora VPN]\r\nPhoneNumber=VPN.Example.Test\r\n", 1},
      {connectoid, "[Velmora VPN]\r\nPhoneNumber=other.example.test\r\n", 0},
      {connectoid, "[Another]\r\nPhoneNumber=vpn.example.test\r\n", 0},
  };
  for (const Case& c : cases) {
    DeleteFileW(phoneBook.c_str());
    const std::wstring config = Config(L"1.3.0", c.connectoid);
    DWORD installed = 7;
    EXPECT_EQ(0u, IsMsiComponentInstalled(config.c_str(), &installed));  // makes the phone book's folder
    if (c.phoneBook) {
      ASSERT_TRUE(test::WriteWholeFile(phoneBook, c.phoneBook));
      EXPECT_EQ(0u, IsMsiComponentInstalled(config.c_str(), &installed));
    }
    EXPECT_EQ(c.installed, installed) << c.connectoid << " / " << (c.phoneBook ? c.phoneBook : "(no phone book)");
    installed = 7;
    EXPECT_EQ(0u, IsMsiComponentCfgInstalled(config.c_str(), &installed));
    EXPECT_EQ(c.installed, installed);
  }
  DWORD installed = 7;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), IsMsiComponentInstalled(L"", &installed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), IsMsiComponentCfgInstalled(nullptr, &installed));
  EXPECT_EQ(0u, installed);
}

// The provisioner's services on a real agent package: open it, query the product before and after
// msiexec installs it with its arguments, and remove it.
TEST_F(Msi, ProvisionerPackageServices) {
  MsiPackage package;
  ASSERT_EQ(0u, OpenMsiPackage(Package(L"agent-1.0.0.msi").c_str(), &package));
  EXPECT_EQ(kAgent, package.productCode);
  EXPECT_EQ(1u, package.version.major);
  EXPECT_EQ(0u, package.version.minor);
  EXPECT_EQ(0u, package.version.build);
  EXPECT_EQ(1033u, package.language);
  EXPECT_NE(0u, OpenMsiPackage((folder_ / L"missing.msi").c_str(), &package));

  MsiProduct product;
  ASSERT_EQ(0u, QueryMsiProduct(kAgent, &product));
  EXPECT_FALSE(product.installed);

  const std::wstring log = folder_ / L"agent.log";
  ASSERT_EQ(0u, RunAgentMsiexec(Package(L"agent-1.0.0.msi").c_str(), MsiUiLevel::kNone, log.c_str(), L"KESIMARK=42"));
  const std::string logText = test::ReadWholeFile(log);
  EXPECT_NE(std::string::npos, logText.find("KESIMARK")) << "the arguments and the log reach msiexec";
  ASSERT_EQ(0u, QueryMsiProduct(kAgent, &product));
  EXPECT_TRUE(product.installed);
  EXPECT_EQ(1u, product.version.major);
  EXPECT_EQ(1033u, product.language);

  ASSERT_EQ(0u, UninstallMsiProduct(kAgent, MsiUiLevel::kNone, (folder_ / L"remove.log").c_str(), nullptr));
  EXPECT_TRUE(test::PathExists(folder_ / L"remove.log"));
  ASSERT_EQ(0u, QueryMsiProduct(kAgent, &product));
  EXPECT_FALSE(product.installed);
  EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), UninstallMsiProduct(kAgent, MsiUiLevel::kNone, nullptr, nullptr));
}

}  // namespace
}  // namespace kesi::install

namespace kesi::install {
namespace {

// KESI.dll exports the four functions by their plain names; its own copy of the code runs with the real
// system answers (an administrator on Windows 7 under Wine, no update service): a direct install.
TEST_F(Msi, KesiDllExports) {
  const std::wstring library = folder_ / L"KESI.dll";
  ASSERT_TRUE(CopyFileW((test::BuildTestsFolder() + L"..\\src\\controls\\KESI.dll").c_str(), library.c_str(), FALSE));
  UniqueModule module(LoadLibraryW(library.c_str()));
  ASSERT_TRUE(module) << GetLastError();
  using Install = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*);
  using Installed = DWORD(WINAPI*)(const wchar_t*, DWORD*);
  const auto install = reinterpret_cast<Install>(GetProcAddress(module.get(), "DoMsiInstall"));
  const auto cfgInstall = reinterpret_cast<Install>(GetProcAddress(module.get(), "DoMsiCfgInstall"));
  const auto installed = reinterpret_cast<Installed>(GetProcAddress(module.get(), "IsMsiComponentInstalled"));
  const auto cfgInstalled = reinterpret_cast<Installed>(GetProcAddress(module.get(), "IsMsiComponentCfgInstalled"));
  ASSERT_TRUE(install && cfgInstall && installed && cfgInstalled);

  const std::wstring config = Config(L"1.2.3");
  DWORD answer = 7;
  EXPECT_EQ(0u, installed(config.c_str(), &answer));
  EXPECT_EQ(0u, answer);
  EXPECT_EQ(0u, cfgInstall(Package(L"tqclient-1.2.3.msi").c_str(), config.c_str(), nullptr, nullptr));
  EXPECT_EQ(L"", InstalledVersion(kClient));
  EXPECT_EQ(0u, install(Package(L"tqclient-1.2.3.msi").c_str(), config.c_str(), nullptr, nullptr));
  EXPECT_EQ(L"1.2.3", InstalledVersion(kClient));
  EXPECT_EQ(0u, cfgInstalled(config.c_str(), &answer));
  EXPECT_EQ(1u, answer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), installed(nullptr, &answer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), installed(config.c_str(), nullptr));
}

}  // namespace
}  // namespace kesi::install

namespace kesi::install {
namespace {

// The provisioner's VPN client install: the download becomes "tqvpn.msi"; a first install runs msiexec;
// an upgrade on Vista and later puts a copy in the parent folder and hands it to the update service,
// whose absence (1625) or silence (1460) is a failure, never 0.
TEST_F(Msi, ProvisionerVpnClientInstall) {
  const std::wstring deploy = folder_ / L"deploy";
  ASSERT_TRUE(CreateDirectoryW(deploy.c_str(), nullptr));
  const std::wstring download = deploy + L"\\tqclient.msi", renamed = deploy + L"\\tqvpn.msi";
  const std::wstring log = folder_ / L"tqclient.log";
  ASSERT_TRUE(CopyFileW(Package(L"tqclient-1.2.3.msi").c_str(), download.c_str(), FALSE));
  ASSERT_TRUE(test::WriteWholeFile(renamed, "an older download"));
  EXPECT_EQ(0u, InstallVpnClientAgent(download.c_str(), false, log.c_str(), nullptr));
  EXPECT_FALSE(test::PathExists(download));
  EXPECT_EQ(test::ReadWholeFile(Package(L"tqclient-1.2.3.msi")), test::ReadWholeFile(renamed));
  EXPECT_EQ(L"1.2.3", InstalledVersion(kClient));
  EXPECT_NE(std::string::npos, test::ReadWholeFile(log).find("TQSETUP")) << "msiexec logs to the given file";

  struct Case {
    const wchar_t* modes;  // null: no service
    DWORD result;
  };
  for (const Case& c : {Case{nullptr, ERROR_INSTALL_PACKAGE_REJECTED}, Case{L"event,never", ERROR_TIMEOUT},
                        Case{L"event,signal", 0}}) {
    const std::string name = c.modes ? test::Narrow(c.modes) : "no service";
    ASSERT_TRUE(CopyFileW(Package(L"tqclient-1.3.0.msi").c_str(), download.c_str(), FALSE)) << name;
    DeleteFileW((folder_ / L"tqvpn.msi").c_str());
    DeleteFileW(Journal().c_str());
    if (c.modes) {
      ASSERT_TRUE(StartService(c.modes)) << name;
    }
    EXPECT_EQ(c.result, InstallVpnClientAgent(download.c_str(), true, log.c_str(), nullptr)) << name;
    EXPECT_EQ(test::ReadWholeFile(Package(L"tqclient-1.3.0.msi")), test::ReadWholeFile(folder_ / L"tqvpn.msi")) << name;
    EXPECT_EQ(c.modes ? "start event" : "", test::ReadWholeFile(Journal())) << name;
    EXPECT_EQ(L"1.2.3", InstalledVersion(kClient)) << name << ": the service installs, not the client";
    service_.Stop();
  }
}

}  // namespace
}  // namespace kesi::install
