// The launcher program's update ("6") under Wine: the broker's package (made with wixl around the fixture
// program, signed with the fixtures' certificate) installed by the system's msiexec, the broker started
// again in every case, the wait for a broker that still runs and the progress window meanwhile.
#include <windows.h>
#include <commctrl.h>
#include <msi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BrokerPackage.h"
#include "Handles.h"
#include "Launcher.h"
#include "LogFolder.h"
#include "LogTail.h"
#include "ProcessList.h"
#include "ProgressWindow.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::launcher {
namespace {

using test::Narrow;
using test::PathExists;
using test::Widen;

constexpr wchar_t kProductCode[] = L"{5B0E2C4A-7D1F-4C3B-9A62-1E8F3D7C4A01}";
constexpr wchar_t kJournalVariable[] = L"KESI_LAUNCHER_JOURNAL";

std::wstring AppData() {
  wchar_t folder[MAX_PATH] = L"";
  SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  return folder;
}

std::vector<std::string> Entries(const test::LogTail& tail) {
  std::vector<std::string> entries = test::LogEntries(tail.Text());
  for (std::string& entry : entries) {
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
  }
  return entries;
}

// The answer of the launcher's window to message, or -1 when it does not answer within 2 s.
LRESULT Ask(HWND window, UINT message, WPARAM wParam) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, 2000, &answer)) return -1;
  return static_cast<LRESULT>(answer);
}

bool Holds(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

class LauncherUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    kesi_ = AppData() + L"\\Velmora\\kesi";
    ASSERT_EQ(0u, install::BrokerPackagePath(&package_));
    CreateDirectoryW((AppData() + L"\\Velmora").c_str(), nullptr);
    CreateDirectoryW((AppData() + L"\\Velmora\\deploy").c_str(), nullptr);
    CreateDirectoryW(kesi_.c_str(), nullptr);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    Clean();
    SetEnvironmentVariableW(kJournalVariable, journal_.Path());
  }
  void TearDown() override {
    SetEnvironmentVariableW(kJournalVariable, nullptr);
    Clean();
  }
  void Clean() {
    test::EndBrokers();
    if (MsiQueryProductStateW(kProductCode) == INSTALLSTATE_DEFAULT)
      MsiConfigureProductExW(kProductCode, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, L"");
    for (const wchar_t* name : {L"kesivista.exe", L"ozmInstaller.exe", L"msiexec.exe"})
      DeleteFileW((kesi_ + L"\\" + name).c_str());
    DeleteFileW(package_.c_str());
  }

  static std::wstring Package(const wchar_t* which) { return Widen(KESI_LAUNCHER_PACKAGES) + L"\\" + which + L"\\kesiVista.msi"; }
  static std::wstring Fixture() { return Widen(KESI_LAUNCHER_FIXTURE); }

  // Starts the launcher from its place beside the broker, with line as its whole command line.
  ::testing::AssertionResult Launch(const wchar_t* line, UniqueHandle* process) {
    const std::wstring launcher = kesi_ + L"\\ozmInstaller.exe";
    if (!CopyFileW(Widen(KESI_LAUNCHER_EXE).c_str(), launcher.c_str(), FALSE))
      return ::testing::AssertionFailure() << "cannot copy the launcher: " << GetLastError();
    std::wstring commandLine = line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(launcher.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
      return ::testing::AssertionFailure() << "cannot start the launcher: " << GetLastError();
    CloseHandle(started.hThread);
    process->reset(started.hProcess);
    return ::testing::AssertionSuccess();
  }

  static DWORD ExitCode(HANDLE process) {
    if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
  }

  // The process ids of the journal's lines for program name, in order.
  std::vector<DWORD> Started(const std::string& name) const {
    std::vector<DWORD> ids;
    for (const std::string& line : test::Lines(test::ReadWholeFile(journal_.Path()))) {
      if (line.compare(0, name.size() + 1, name + " ") == 0) ids.push_back(std::stoul(line.substr(name.size() + 1)));
    }
    return ids;
  }

  // The update's first lines, up to the msiexec command line.
  std::vector<std::string> UpdateLines() const {
    wchar_t logFolder[MAX_PATH] = L"";
    GetLogFolder(logFolder);
    return {"ozmInstaller:: LogFile created", "ozmInstaller:: UPDATE_KESI_COMPONENT command received",
            "ozmInstaller::UpdateOZM msi path " + Narrow(package_),
            "ozmInstaller::UpdateOZM logfile path " + Narrow(logFolder) + "\\ozmUpdate.log"};
  }

  std::wstring MsiexecLine() const {
    wchar_t logFolder[MAX_PATH] = L"";
    GetLogFolder(logFolder);
    wchar_t system[MAX_PATH] = L"";
    GetSystemDirectoryW(system, MAX_PATH);
    return L"\"" + std::wstring(system) + L"\\msiexec.exe\" /i \"" + package_ + L"\" /qn /l*v \"" + logFolder +
           L"\\ozmUpdate.log\" ADDLOCAL=ALL";
  }

  std::wstring kesi_;
  std::wstring package_;
  test::TempFile journal_{""};
};

TEST_F(LauncherUpdate, InstallsThePackageWithTheSystemsMsiexecAndStartsTheBroker) {
  ASSERT_TRUE(CopyFileW(Package(L"signed").c_str(), package_.c_str(), FALSE));
  // A program named msiexec beside the launcher is never the one that runs.
  ASSERT_TRUE(CopyFileW(Fixture().c_str(), (kesi_ + L"\\msiexec.exe").c_str(), FALSE));
  test::LogTail tail(kInstallerLogName);
  UniqueHandle launcher;
  ASSERT_TRUE(Launch(L"6", &launcher));
  EXPECT_EQ(0u, ExitCode(launcher.get()));

  EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(kProductCode));
  EXPECT_TRUE(PathExists(kesi_ + L"\\kesivista.exe"));
  EXPECT_TRUE(test::WaitUntil([&] { return Started("kesivista.exe").size() == 1; })) << "the broker was not started";
  EXPECT_TRUE(Started("msiexec.exe").empty()) << "the msiexec beside the launcher ran";
  std::vector<std::string> expected = UpdateLines();
  expected.push_back("ozmInstaller::UpdateOZM msiexec cmdline " + Narrow(MsiexecLine()));
  expected.push_back("ozmInstaller::UpdateOZM Install complete");
  expected.push_back("ozmInstaller::UpdateOZM KesiVista started");
  EXPECT_EQ(expected, Entries(tail));
}

TEST_F(LauncherUpdate, APackageMissingUnsignedOrRefusedIsNotInstalledAndTheBrokerStillStarts) {
  const struct {
    const char* name;
    const wchar_t* package;  // null: none
    DWORD exitCode;
    std::string logged;
  } cases[] = {
      {"missing", nullptr, ERROR_FILE_NOT_FOUND, "ozmInstaller::UpdateOZM package could not be opened. Error : 2"},
      {"unsigned", L"unsigned", static_cast<DWORD>(TRUST_E_NOSIGNATURE),
       "ozmInstaller::UpdateOZM CheckTrust failed. Error: " + std::to_string(static_cast<int>(TRUST_E_NOSIGNATURE))},
      // Signed, but its launch condition refuses the install: msiexec fails.
      {"refused", L"refused", ERROR_INSTALL_FAILURE, "ozmInstaller::UpdateOZM msiexec failed with exit code [1603]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW(package_.c_str());
    if (c.package) {
      ASSERT_TRUE(CopyFileW(Package(c.package).c_str(), package_.c_str(), FALSE));
    }
    // The broker installed before.
    ASSERT_TRUE(CopyFileW(Fixture().c_str(), (kesi_ + L"\\kesivista.exe").c_str(), FALSE));
    const size_t before = Started("kesivista.exe").size();
    test::LogTail tail(kInstallerLogName);
    UniqueHandle launcher;
    ASSERT_TRUE(Launch(L"6", &launcher));
    EXPECT_EQ(c.exitCode, ExitCode(launcher.get()));
    EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(kProductCode));
    EXPECT_TRUE(test::WaitUntil([&] { return Started("kesivista.exe").size() == before + 1; }))
        << "the broker was not started";
    const std::vector<std::string> lines = Entries(tail);
    EXPECT_TRUE(Holds(lines, c.logged));
    EXPECT_TRUE(Holds(lines, "ozmInstaller::UpdateOZM KesiVista started"));
    EXPECT_EQ(c.exitCode == ERROR_INSTALL_FAILURE,
              Holds(lines, "ozmInstaller::UpdateOZM msiexec cmdline " + Narrow(MsiexecLine())));
    test::EndBrokers();
  }
}

TEST_F(LauncherUpdate, ABrokerThatDoesNotExitInTimeIsNotInstalledOver) {
  // In this process, with a short bound: the broker that runs is still there when the bound ends.
  ASSERT_TRUE(CopyFileW(Package(L"signed").c_str(), package_.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(Fixture().c_str(), (kesi_ + L"\\kesivista.exe").c_str(), FALSE));
  test::TempFolder folder(L"launcher-slow-broker");
  ASSERT_TRUE(CopyFileW(Fixture().c_str(), (folder / L"kesivista.exe").c_str(), FALSE));
  test::ChildProcess running;
  ASSERT_TRUE(running.Start(folder / L"kesivista.exe", L"60000"));
  ASSERT_TRUE(test::WaitUntil([&] { return Started("kesivista.exe").size() == 1; }));
  LauncherSystem system = CurrentLauncherSystem();
  system.brokerExitWaitMs = 300;
  const LauncherSystem previous = SetLauncherSystem(system);
  test::LogTail tail(kInstallerLogName);
  DWORD result = 0;
  {
    LogFile log;
    log.Open(kInstallerLogName, 0, nullptr);
    result = UpdateOZM(&log);
  }
  SetLauncherSystem(previous);
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), result);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(running.Handle(), 0));
  EXPECT_NE(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(kProductCode));
  const std::vector<std::string> lines = Entries(tail);
  EXPECT_TRUE(Holds(lines, "ozmInstaller::UpdateOZM kesiVista did not exit, install not started. Error : 1460"));
  EXPECT_FALSE(Holds(lines, "ozmInstaller::UpdateOZM msiexec cmdline " + Narrow(MsiexecLine())));
  EXPECT_TRUE(Holds(lines, "ozmInstaller::UpdateOZM KesiVista started"));
}

TEST_F(LauncherUpdate, WaitsForTheRunningBrokerWhileTheProgressWindowAdvances) {
  ASSERT_TRUE(CopyFileW(Package(L"signed").c_str(), package_.c_str(), FALSE));
  test::TempFolder folder(L"launcher-broker");
  ASSERT_TRUE(CopyFileW(Fixture().c_str(), (folder / L"kesivista.exe").c_str(), FALSE));
  test::ChildProcess running;
  ASSERT_TRUE(running.Start(folder / L"kesivista.exe", L"60000"));
  ASSERT_TRUE(test::WaitUntil([&] { return Started("kesivista.exe").size() == 1; }));

  test::LogTail tail(kInstallerLogName);
  UniqueHandle launcher;
  ASSERT_TRUE(Launch(L"6", &launcher));
  const std::string waiting = "ozmInstaller::UpdateOZM waiting for 1 running kesiVista to exit";
  ASSERT_TRUE(test::WaitUntil([&] { return Holds(Entries(tail), waiting); }, 20000)) << "no wait for the broker";

  // The window of the launcher, its bar's range, and the bar moving on while the broker runs.
  // The window's thread may still be making the bar when the wait begins.
  HWND window = nullptr, bar = nullptr;
  ASSERT_TRUE(test::WaitUntil([&] {
    window = FindWindowW(L"Static", kProgressWindowTitle);
    bar = window ? FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr) : nullptr;
    return bar != nullptr;
  })) << "no progress window with its bar (window " << window << ")";
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(GetProcessId(launcher.get()), owner);
  EXPECT_EQ(0, Ask(bar, PBM_GETRANGE, TRUE));
  EXPECT_EQ(kProgressRangeMax, Ask(bar, PBM_GETRANGE, FALSE));
  // Several steps, so that a stop that drew the bar's remaining steps at the pace of the ticks would take
  // seconds.
  for (int advance = 0; advance < 6; ++advance) {
    const LRESULT position = Ask(bar, PBM_GETPOS, 0);
    EXPECT_TRUE(test::WaitUntil([&] { return Ask(bar, PBM_GETPOS, 0) != position; }, 5000))
        << "the bar stands at " << position;
  }
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(launcher.get(), 0));
  EXPECT_FALSE(Holds(Entries(tail), "ozmInstaller::UpdateOZM msiexec cmdline " + Narrow(MsiexecLine())))
      << "msiexec started while the broker ran";

  running.Stop();
  EXPECT_EQ(0u, ExitCode(launcher.get()));
  EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(kProductCode));
  const std::vector<std::string> lines = Entries(tail);
  const auto waited = std::find(lines.begin(), lines.end(), waiting);
  EXPECT_NE(std::find(waited, lines.end(), "ozmInstaller::UpdateOZM msiexec cmdline " + Narrow(MsiexecLine())), lines.end());

  // The window is stopped once the new broker is started; the launcher ends within a second of that
  // (asserted with room for a loaded machine: the finishing steps must not wait for ticks).
  ASSERT_TRUE(test::WaitUntil([&] { return Started("kesivista.exe").size() == 2; }));
  UniqueHandle broker(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Started("kesivista.exe")[1]));
  ASSERT_TRUE(broker);
  FILETIME created, exited, kernel, user, launcherCreated, launcherExited;
  ASSERT_TRUE(GetProcessTimes(broker.get(), &created, &exited, &kernel, &user));
  ASSERT_TRUE(GetProcessTimes(launcher.get(), &launcherCreated, &launcherExited, &kernel, &user));
  EXPECT_LT(FileTimeValue(launcherExited), FileTimeValue(created) + 20000000ull) << "more than 2 s after the stop";
}

}  // namespace
}  // namespace kesi::launcher
