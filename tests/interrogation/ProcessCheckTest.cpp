// The process check against sleeper processes that the test starts under names of its own, through both
// enumeration routes.
#include <gtest/gtest.h>

#include <string>

#include "Checks.h"
#include "EvaluationRun.h"
#include "HostChecks.h"
#include "ProcessRoutes.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::ChildProcess;
using kesi::test::ForcedProcessRoute;
using kesi::test::Narrow;
using kesi::test::ProcessRoute;
using kesi::test::RouteName;
using kesi::test::StartSleeperAs;

std::wstring Upper(std::wstring text) {
  CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

const std::wstring kPid = std::to_wstring(GetCurrentProcessId());

int g_processStatusCalls = 0;
DWORD CountedFailingRoute(const wchar_t*, LONG*) {
  ++g_processStatusCalls;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

struct PatternCase {
  std::wstring text;
  LONG verdict;
};

// Each pattern through EvaluateProcess: status 0 and the case's verdict, or a list of those that differ.
::testing::AssertionResult Verdicts(const PatternCase* cases, size_t count) {
  std::string wrong;
  for (size_t i = 0; i < count; ++i) {
    LONG verdict = 7;
    const LONG status = EvaluateProcess(cases[i].text.c_str(), &verdict);
    if (status != 0 || verdict != cases[i].verdict)
      wrong += "\n  " + Narrow(cases[i].text) + ": status " + std::to_string(status) + ", verdict " +
               std::to_string(verdict) + " (expected " + std::to_string(cases[i].verdict) + ")";
  }
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "patterns answered otherwise:" << wrong;
}

// One sleeper, copied into a folder of this test process under the name kesisleep<pid>.exe and started;
// the folder is also in KESI_PROCCHECK_DIR.
class ProcessCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Created());
    ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", folder_.Path().c_str()));
    name_ = L"kesisleep" + kPid + L".exe";
    path_ = folder_ / name_;
    ASSERT_TRUE(StartSleeperAs(path_, &sleeper_));
  }
  void TearDown() override {
    ResetProcessSearchRoutes();
    SetEnvironmentVariableW(L"KESI_PROCCHECK_DIR", nullptr);
  }

  // The parameter texts and their verdicts.
  ::testing::AssertionResult PatternsGiveTheirVerdicts() {
    const std::wstring folderNoDrive = folder_.Path().substr(2);
    const PatternCase cases[] = {
        {name_, 1},
        {Upper(name_), 1},
        {L"  " + name_, 1},
        {name_ + L",ignored", 1},
        {L"kesisleep*", 1},
        {L"KESISLEEP" + kPid + L".e?e", 1},
        {path_, 1},
        {Upper(path_), 1},
        {L"Z:" + folderNoDrive + L"\\" + name_, 1},  // the drive is not compared
        {folderNoDrive + L"\\" + name_, 1},
        {L"%KESI_PROCCHECK_DIR%\\" + name_, 1},
        {L"%KESI_PROCCHECK_DIR%\\kesisleep*.exe", 1},
        {folder_ / (L"other\\" + name_), 0},
        {L"C:\\windows\\" + name_, 0},
        {L"nosuch" + name_, 0},
        {L"kesisleep", 0},
    };
    return Verdicts(cases, sizeof(cases) / sizeof(cases[0]));
  }

  kesi::test::TempFolder folder_{L"proccheck"};
  std::wstring name_, path_;
  ChildProcess sleeper_;  // ended before its folder goes
};

TEST_F(ProcessCheck, SnapshotRoute) {
  g_processStatusCalls = 0;
  ProcessSearchSystem().processStatus = &CountedFailingRoute;
  EXPECT_TRUE(PatternsGiveTheirVerdicts());
  EXPECT_EQ(0, g_processStatusCalls) << "the process-status route runs only when the snapshot fails";
}

TEST_F(ProcessCheck, ProcessStatusRouteWhenTheSnapshotFails) {
  ForcedProcessRoute forced(ProcessRoute::kProcessStatus);
  EXPECT_TRUE(PatternsGiveTheirVerdicts());
}

// Within a run every pattern is answered from the run's one list, with the same verdicts.
TEST_F(ProcessCheck, SameVerdictsWithinARun) {
  for (ProcessRoute route : {ProcessRoute::kSnapshot, ProcessRoute::kProcessStatus}) {
    SCOPED_TRACE(RouteName(route));
    ForcedProcessRoute forced(route);
    EvaluationRun run;
    EXPECT_TRUE(PatternsGiveTheirVerdicts());
  }
}

// A comma in a process's name or folder is written "_RQ_COMMA_" in the pattern (or the pattern is quoted):
// a bare comma ends the pattern's field.
TEST_F(ProcessCheck, EscapedCommaMatchesANameWithAComma) {
  const std::wstring folder = folder_ / L"dir,x";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring name = L"kesi,comma" + kPid + L".exe";
  ChildProcess comma;
  ASSERT_TRUE(StartSleeperAs(folder + L"\\" + name, &comma));
  const std::wstring escaped = L"kesi_RQ_COMMA_comma" + kPid + L".exe";
  const PatternCase cases[] = {
      {escaped, 1},
      {L"KESI_RQ_COMMA_COMMA*", 1},
      {L"%KESI_PROCCHECK_DIR%\\dir_RQ_COMMA_x\\" + escaped, 1},
      {L"%KESI_PROCCHECK_DIR%\\dir,x\\" + escaped, 0},  // the field ends at the folder's comma
      {L"%KESI_PROCCHECK_DIR%\\other_RQ_COMMA_x\\" + escaped, 0},
      {L"\"" + name + L"\"", 1},                        // a quoted field keeps its comma
      {name, 0},                                        // "kesi" alone names no process
      {L"kesi_RQ_COMMA_", 0},
  };
  for (ProcessRoute route : {ProcessRoute::kSnapshot, ProcessRoute::kProcessStatus}) {
    SCOPED_TRACE(RouteName(route));
    ForcedProcessRoute forced(route);
    EXPECT_TRUE(Verdicts(cases, sizeof(cases) / sizeof(cases[0])));
  }
}

TEST_F(ProcessCheck, EndedProcessIsNotFound) {
  sleeper_.Stop();
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
  ProcessSearchSystem().snapshot = &kesi::test::FailingProcessRoute;
  ProcessSearchSystem().processStatus = &kesi::test::FailingProcessRoute;
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
