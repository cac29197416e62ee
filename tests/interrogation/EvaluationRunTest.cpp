// What the checks keep for one evaluation run, and that they keep it for that run only: a process
// started during a run is not in that run's list but is in the next run's, through either enumeration
// route and on both routes that open a run (the engine's EvaluateAll, the configuration route's Run);
// the equipment identifier's sources are asked once per run, counted through their seam.
#include <gtest/gtest.h>
#include <wbemcli.h>

#include <algorithm>
#include <string>
#include <vector>
#include <thread>

#include "Checks.h"
#include "ConfigText.h"
#include "ConfigurationRoute.h"
#include "EquipmentId.h"
#include "EvaluationRun.h"
#include "HostChecks.h"
#include "ItemQueue.h"
#include "ProcessRoutes.h"
#include "RQString.h"
#include "SignedConfiguration.h"
#include "SystemInterrogator.h"
#include "TestEngine.h"
#include "TestFiles.h"
#include "TestProcess.h"

using namespace kesi;

namespace {

using kesi::test::ChildProcess;
using kesi::test::ForcedProcessRoute;
using kesi::test::ProcessRoute;
using kesi::test::RouteName;
using kesi::test::TestEngine;

// Whether a process named name runs, asked on a thread of its own: that thread has no run open, so it
// sees the processes as they are now whatever run the calling thread is in.
bool RunningNow(const std::wstring& name) {
  LONG found = 0;
  std::thread([&] { FindProcess(name.c_str(), &found); }).join();
  return found != 0;
}

// A sleeper copied under a name of this test process (kesirun<pid>.exe), started on demand and ended
// with the object.
class Sleeper {
 public:
  Sleeper() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    name_ = L"kesirun" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    path_ = std::wstring(temp) + name_;
  }
  ~Sleeper() {
    Stop();
    DeleteFileW(path_.c_str());
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  // Starts it and waits until both routes list it with its folder.
  ::testing::AssertionResult Start() { return kesi::test::StartSleeperAs(path_, &process_); }
  void Stop() { process_.Stop(); }
  const std::wstring& Name() const { return name_; }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring name_, path_;
  ChildProcess process_;
};

// Within a run both the bare name and the full path are answered from the list the run took first; the
// next run takes a new one. Through each route, and with a nested scope that joins the open run.
TEST(EvaluationRun, ProcessListIsTakenOncePerRun) {
  for (ProcessRoute route : {ProcessRoute::kSnapshot, ProcessRoute::kProcessStatus}) {
    SCOPED_TRACE(RouteName(route));
    ForcedProcessRoute forced(route);
    Sleeper sleeper;
    const std::wstring patterns[] = {sleeper.Name(), sleeper.Path(), L"kesirun*.exe"};
    {
      EvaluationRun run;
      EXPECT_EQ(&run, EvaluationRun::Current());
      for (const std::wstring& pattern : patterns) {
        LONG verdict = 7;
        EXPECT_EQ(0, EvaluateProcess(pattern.c_str(), &verdict));
        EXPECT_EQ(0, verdict);
      }
      ASSERT_TRUE(sleeper.Start());
      ASSERT_TRUE(RunningNow(sleeper.Name()));
      {
        EvaluationRun inner;  // joins the open run
        EXPECT_EQ(&run, EvaluationRun::Current());
        for (const std::wstring& pattern : patterns) {
          LONG verdict = 7;
          EXPECT_EQ(0, EvaluateProcess(pattern.c_str(), &verdict));
          EXPECT_EQ(0, verdict) << "seen within the run that began before it started";
        }
      }
      EXPECT_EQ(&run, EvaluationRun::Current());
    }
    EXPECT_EQ(nullptr, EvaluationRun::Current());
    for (const std::wstring& pattern : patterns) {
      LONG verdict = 7;
      EXPECT_EQ(0, EvaluateProcess(pattern.c_str(), &verdict));
      EXPECT_EQ(1, verdict) << "outside a run every check asks afresh";
    }
    {
      EvaluationRun next;
      for (const std::wstring& pattern : patterns) {
        LONG verdict = 7;
        EXPECT_EQ(0, EvaluateProcess(pattern.c_str(), &verdict));
        EXPECT_EQ(1, verdict) << "the next run takes its own list";
      }
    }
  }
}

// A run's failed listing is that run's answer; the routes' seam is still what FindProcess calls.
TEST(EvaluationRun, RoutesStayBehindTheirSeamWithinARun) {
  EvaluationRun run;
  ProcessSearchSystem().snapshot = &kesi::test::FailingProcessRoute;
  ProcessSearchSystem().processStatus = &kesi::test::FailingProcessRoute;
  LONG found = 7;
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), FindProcess(L"winedevice.exe", &found));
  EXPECT_EQ(0, found);
  ResetProcessSearchRoutes();
  EXPECT_EQ(0u, FindProcess(L"winedevice.exe", &found));
  EXPECT_EQ(1, found);
}

// The engine opens one run per EvaluateAll: the next EvaluateAll sees a process started or ended in
// between.
TEST(EvaluationRun, EachEvaluateAllIsOneRun) {
  Sleeper sleeper;
  TestEngine engine;
  const std::wstring byName = L"P1=PROCESS,byName," + sleeper.Name();
  const std::wstring byPath = L"P2=PROCESS,byPath," + sleeper.Path();
  ASSERT_EQ(0u, engine->AddLiteral(byName.c_str()));
  ASSERT_EQ(0u, engine->AddLiteral(byPath.c_str()));
  using Results = std::vector<std::string>;

  engine->EvaluateAll();
  EXPECT_EQ((Results{"byPath=0", "byName=0"}), engine.Results());
  ASSERT_TRUE(sleeper.Start());
  engine->EvaluateAll();
  EXPECT_EQ((Results{"byPath=1", "byName=1"}), engine.Results());
  EXPECT_EQ(nullptr, EvaluationRun::Current());
  sleeper.Stop();
  engine->EvaluateAll();
  EXPECT_EQ((Results{"byPath=0", "byName=0"}), engine.Results());
}

// The configuration route's Run is a run of its own too.
TEST(EvaluationRun, EachConfigurationRunIsOneRun) {
  Sleeper sleeper;
  const std::wstring body = L"[InterrogationLiterals]\n"
                            L"Literal1=PROCESS,byName," + sleeper.Name() + L"\n"
                            L"Literal2=PROCESS,byPath," + sleeper.Path() + L"\n";
  const std::wstring text = kesi::test::Signed(body);

  ConfigurationRoute route;
  auto run = [&route, &text] {
    EXPECT_TRUE(route.SetConfigurationText(text.c_str()));
    LONG code = 7;
    EXPECT_EQ(S_OK, route.Run(&code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(nullptr, EvaluationRun::Current());
    std::string out;
    for (const ConfigLiteral* l = route.FirstLiteral(); l; l = l->Next())
      out += std::to_string(l->Value()) + "/" + std::to_string(l->CheckCode()) + " ";
    return out;
  };
  EXPECT_EQ("0/0 0/0 ", run());
  ASSERT_TRUE(sleeper.Start());
  EXPECT_EQ("1/0 1/0 ", run());
}

// Counts the model queries of the equipment identifier's WMI source on their way to the real one.
int g_modelQueries = 0;
HRESULT CountedQuery(IWbemServices* services, int round, const wchar_t* query, const wchar_t* property,
                     VARIANT* value) {
  if (round == 1) ++g_modelQueries;
  return QueryWmiProperty(services, round, query, property, value);
}

// Every EQUIPMENTID literal of a run gets the answer the sources gave the first one (status, verdict,
// item, identifier), and the sources are asked once per run; outside a run, once per check.
TEST(EvaluationRun, EquipmentSourcesAreAskedOncePerRun) {
  EquipmentIdSystem().queryProperty = &CountedQuery;
  g_modelQueries = 0;
  ItemQueue alone;
  RQString identifier;
  LONG verdict = 7;
  const LONG status = EvaluateEquipmentID(nullptr, &verdict, &alone, &identifier);
  EXPECT_EQ(1, g_modelQueries);

  TestEngine engine;
  for (const wchar_t* line : {L"E1=EQUIPMENTID,first,", L"E2=EQUIPMENTID,second,", L"E3=EQUIPMENTID,third,"})
    ASSERT_EQ(0u, engine->AddLiteral(line));
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("EvaluateAll " + std::to_string(round));
    g_modelQueries = 0;
    engine->EvaluateAll();
    EXPECT_EQ(1, g_modelQueries);
    for (LiteralSI* l = engine->FirstLiteral(); l; l = l->Next()) {
      EXPECT_TRUE(l->CheckRan());
      EXPECT_EQ(status, l->CheckStatus());
      EXPECT_EQ(verdict, l->Value());
      EXPECT_EQ(alone.Count(), l->Result()->Items()->Count());
    }
    EXPECT_TRUE(engine->EquipmentId() == identifier);
  }
  ResetEquipmentIdCalls();
}

}  // namespace
