// The process check against a sleeper process that the test starts under a name of its own, through
// both enumeration routes.
#include <gtest/gtest.h>

#include <string>

#include "Checks.h"
#include "EvaluationRun.h"
#include "HostChecks.h"

using namespace kesi;

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::wstring Upper(std::wstring text) {
  CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

// The sleeper fixture, built next to this test program's folder.
std::wstring SleeperPath() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path = exe;
  path.resize(path.find_last_of(L'\\'));
  path.resize(path.find_last_of(L'\\') + 1);
  return path + L"fixtures\\sleeper\\kesisleeper.exe";
}

int g_processStatusCalls = 0;
DWORD FailingRoute(const wchar_t*, LONG*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD CountedFailingRoute(const wchar_t*, LONG*) {
  ++g_processStatusCalls;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

// One sleeper, copied into a folder of this test process under the name kesisleep<pid>.exe and started.
class ProcessCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    folder_ = std::wstring(temp) + L"kesi-proccheck-" + pid;
    name_ = L"kesisleep" + pid + L".exe";
    path_ = folder_ + L"\\" + name_;
    CreateDirectoryW(folder_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(SleeperPath().c_str(), path_.c_str(), FALSE)) << Narrow(SleeperPath());

    std::wstring command = L"\"" + path_ + L"\" 60000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    ASSERT_TRUE(CreateProcessW(path_.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process_));
    CloseHandle(process_.hThread);
    // Its modules are listed once it has started: wait for the folder to be seen by both routes.
    for (int i = 0; i < 100; ++i) {
      LONG bySnapshot = 0, byStatus = 0;
      FindProcessBySnapshot(path_.c_str(), &bySnapshot);
      FindProcessByProcessStatus(path_.c_str(), &byStatus);
      if (bySnapshot && byStatus) return;
      Sleep(50);
    }
    FAIL() << "the sleeper was not seen running";
  }

  void TearDown() override {
    ResetProcessSearchRoutes();
    StopSleeper();
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  void StopSleeper() {
    if (!process_.hProcess) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 5000);
    CloseHandle(process_.hProcess);
    process_.hProcess = nullptr;
  }

  // The parameter texts and their verdicts, through EvaluateProcess.
  void RunPatterns() {
    std::wstring folderNoDrive = folder_.substr(2);
    const struct {
      std::wstring text;
      LONG verdict;
    } cases[] = {
        {name_, 1},
        {Upper(name_), 1},
        {L"  " + name_, 1},
        {name_ + L",ignored", 1},
        {L"kesisleep*", 1},
        {L"KESISLEEP" + std::to_wstring(GetCurrentProcessId()) + L".e?e", 1},
        {path_, 1},
        {Upper(path_), 1},
        {L"Z:" + folderNoDrive + L"\\" + name_, 1},  // the drive is not compared
        {folderNoDrive + L"\\" + name_, 1},
        {L"%KESI_PROCCHECK_DIR%\\" + name_, 1},
        {L"%KESI_PROCCHECK_DIR%\\kesisleep*.exe", 1},
        {folder_ + L"\\other\\" + name_, 0},
        {L"C:\\windows\\" + name_, 0},
        {L"nosuch" + name_, 0},
        {L"kesisleep", 0},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(Narrow(c.text));
      LONG verdict = 7;
      EXPECT_EQ(0, EvaluateProcess(c.text.c_str(), &verdict));
      EXPECT_EQ(c.verdict, verdict);
    }
  }

  std::wstring folder_, name_, path_;
  PROCESS_INFORMATION process_ = {};
};

TEST_F(ProcessCheck, SnapshotRoute) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", folder_.c_str()));
  g_processStatusCalls = 0;
  ProcessSearchSystem().processStatus = &CountedFailingRoute;
  RunPatterns();
  EXPECT_EQ(0, g_processStatusCalls) << "the process-status route runs only when the snapshot fails";
  SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", nullptr);
}

TEST_F(ProcessCheck, ProcessStatusRouteWhenTheSnapshotFails) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", folder_.c_str()));
  ProcessSearchSystem().snapshot = &FailingRoute;
  RunPatterns();
  SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", nullptr);
}

// Within a run every pattern is answered from the run's one list, with the same verdicts.
TEST_F(ProcessCheck, SameVerdictsWithinARun) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", folder_.c_str()));
  for (bool snapshotFails : {false, true}) {
    SCOPED_TRACE(snapshotFails ? "process-status route" : "snapshot route");
    if (snapshotFails) ProcessSearchSystem().snapshot = &FailingRoute;
    EvaluationRun run;
    RunPatterns();
  }
  SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", nullptr);
}

TEST_F(ProcessCheck, EndedProcessIsNotFound) {
  StopSleeper();
  for (auto route : {&FindProcessBySnapshot, &FindProcessByProcessStatus}) {
    LONG found = 7;
    EXPECT_EQ(0u, route(name_.c_str(), &found));
    EXPECT_EQ(0, found);
  }
  LONG verdict = 7;
  EXPECT_EQ(0, EvaluateProcess(name_.c_str(), &verdict));
  EXPECT_EQ(0, verdict);
}

TEST_F(ProcessCheck, BothRoutesFailing) {
  ProcessSearchSystem().snapshot = &FailingRoute;
  ProcessSearchSystem().processStatus = &FailingRoute;
  LONG found = 7;
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), FindProcess(name_.c_str(), &found));
  EXPECT_EQ(0, found);
  LONG verdict = 7;
  EXPECT_EQ(0, EvaluateProcess(name_.c_str(), &verdict));  // the route's failure is not the check's
  EXPECT_EQ(0, verdict);
}

TEST(ProcessCheckInput, MissingAndOverlongPatterns) {
  const struct {
    const wchar_t* text;
    LONG status;
  } cases[] = {{L"", -503}, {L",", -503}, {L" ,x", 0}, {L"\"\"", -503}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    LONG verdict = 0;
    EXPECT_EQ(c.status, EvaluateProcess(c.text, &verdict));
    EXPECT_EQ(0, verdict);
  }
  LONG verdict = 7;
  EXPECT_EQ(-503, EvaluateProcess(nullptr, &verdict));
  EXPECT_EQ(7, verdict);
  for (const std::wstring& pattern : {std::wstring(5000, L'p'), L"C:\\" + std::wstring(5000, L'd') + L"\\x.exe",
                                      std::wstring(300, L'*') + L"x"}) {
    verdict = 7;
    EXPECT_EQ(0, EvaluateProcess(pattern.c_str(), &verdict));
    EXPECT_EQ(0, verdict);
  }
}

}  // namespace
