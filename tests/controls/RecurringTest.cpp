// The recurring interrogation against appliance simulator instances. Each case logs on, fetches the list,
// evaluates it and posts the results as the logon flow does, then starts the thread; when procedure 21
// went is read from the simulator's journal.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ComFrame.h"
#include "ControlsSystem.h"
#include "Handles.h"
#include "LogTail.h"
#include "LogFolder.h"
#include "LogonRoute.h"
#include "ProcessCounts.h"
#include "Recurring.h"
#include "SimulatorClient.h"
#include "SystemInterrogator.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestProcess.h"

namespace kesi::controls {
namespace {

using test::Appliance;

constexpr wchar_t kRepcEvent[] = L"Global\\REPC_EVENT";

// A list that evaluates at once, with one result that is TRUE on any system.
const std::string kQuickList = R"("interrogation_list": ["[InterrogationLiterals]", "L1=OSVERSION,AnyWindows,>=,5.0"])";

std::string Scenario(const std::string& rest) { return "{" + kQuickList + ", " + rest + "}"; }

// The notices shown through the prompt seam (written by the recurring thread, read after it ended).
std::atomic<int> g_notices{0};
int WINAPI CountNotice(HWND, const wchar_t*, const wchar_t*, UINT) {
  ++g_notices;
  return IDOK;
}

// The hash (fourth parameter) of a procedure 21 journal line.
std::string HashOf(const std::string& line) {
  const std::string args = Appliance::Args(line);
  size_t at = 0;
  for (int quote = 0; quote < 5 && at != std::string::npos; ++quote) at = args.find('"', at + 1);
  if (at == std::string::npos) return "<no hash in " + args + ">";
  const size_t end = args.find('"', at + 1);
  return args.substr(at + 1, end - at - 1);
}

bool EventSignalled(const wchar_t* name) {
  UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
  return event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}


class Recurring : public ::testing::Test {
 protected:
  void SetUp() override {
    g_notices = 0;
    ControlsSystem system = DefaultControlsSystem();
    system.prompt = CountNotice;
    SetControlsSystem(system);
  }
  void TearDown() override {
    StopRecurringInterrogation();
    if (appliance_) appliance_->Stop();
    SetControlsSystem(DefaultControlsSystem());
    SetRecurringIntervalSeconds(0);
  }

  // Logs on to a new appliance of scenario with team as the session text, fetches the list, evaluates it
  // and posts the results, takes the appliance's interval as the process-wide one, and starts the thread
  // as the logon flow does (the events first).
  ::testing::AssertionResult LogOnAndStart(const std::string& scenario, const wchar_t* team = L"TEAM-1") {
    appliance_ = std::make_unique<Appliance>(scenario);
    if (!appliance_->Error().empty()) return ::testing::AssertionFailure() << appliance_->Error();
    server_ = appliance_->Server();
    agent_.attach(new LogonAgent());
    engine_.attach(new SystemInterrogator());
    if (DWORD rc = agent_->Connect(server_.c_str(), nullptr, team, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0))
      return ::testing::AssertionFailure() << "connect: " << rc;
    if (DWORD rc = FetchInterrogationList(agent_.get(), engine_.get()))
      return ::testing::AssertionFailure() << "list: " << rc;
    engine_->EvaluateAll();
    BOOL proceed = FALSE;
    RQString zone;
    RQStringMZ commands;
    if (DWORD rc = PostInterrogationResults(agent_.get(), engine_.get(), &proceed, &zone, &commands))
      return ::testing::AssertionFailure() << "post: " << rc;
    SetRecurringIntervalSeconds(engine_->RecurringInterval());
    return Start(team);
  }

  ::testing::AssertionResult Start(const wchar_t* team) {
    PrepareRecurringEvents(nullptr);
    RecurringSession session;
    session.agent = agent_.get();
    session.teamCredential = team;
    session.serverName = server_.c_str();
    if (!StartRecurringInterrogation(session, nullptr)) return ::testing::AssertionFailure() << "no thread";
    thread_.reset(DuplicateRecurringThread());
    if (!thread_) return ::testing::AssertionFailure() << "no thread handle";
    return ::testing::AssertionSuccess();
  }

  // The thread's exit code once it ended within ms, else STILL_ACTIVE.
  DWORD ExitCodeWithin(DWORD ms) {
    if (WaitForSingleObject(thread_.get(), ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(thread_.get(), &code);
    return code;
  }

  std::unique_ptr<Appliance> appliance_;
  std::wstring server_;
  ComPtr<LogonAgent> agent_;
  ComPtr<SystemInterrogator> engine_;
  UniqueHandle thread_;
};

// An interval of 5 s is waited as three steps of 2 s: the first procedure 21 goes 6 s after the post,
// plus the list and the evaluation. The log tells each step in its known words.
TEST_F(Recurring, FirstCycleAfterTheIntervalInWholeSteps) {
  test::LogTail log(kInterrogatorLogName);
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 5, "subsequent": [{"classification": 1, "interval": 0}])")));
  ASSERT_EQ(0u, ExitCodeWithin(15000));
  const std::vector<double> posts = appliance_->CallTimes(11);
  const std::vector<double> cycles = appliance_->CallTimes(21);
  ASSERT_EQ(1u, posts.size());
  ASSERT_EQ(1u, cycles.size());
  EXPECT_GE(cycles[0] - posts[0], 6.0);
  EXPECT_LE(cycles[0] - posts[0], 8.0);
  // Version, team credential, the zone (none yet), the hash: the first result was TRUE.
  EXPECT_EQ(R"([15,"TEAM-1","","1",[["AnyWindows",true,[]]]])", Appliance::Args(appliance_->Calls(21).at(0)));
  EXPECT_EQ(2u, appliance_->Calls(10).size());

  const std::vector<std::string> expected = {
      "KESInterrogator ::subsequent epc: Recur epc interval is 5000",
      "KESInterrogator ::subsequent epc: REPC event openEvent",
      "KESInterrogator ::subsequent epc: While m_REPC 1",
      "KESInterrogator ::subsequent epc: Timer Started 5000",
      "KESInterrogator ::subsequent epc: system interrogation list fetch succeeded",
      "KESInterrogator ::subsequent epc: classificationResult 1",
      "KESInterrogator ::subsequent epc: Result is set in epcCheckResult",
      "KESInterrogator ::subsequent epc: RECLASSIFY : Result epcCheckResult",
      "KESInterrogator ::subsequent epc: classificationResult : 1",
      "KESInterrogator ::subsequent epc: SetResultHash : SetSubsequentInterrogationResult",
      "KESInterrogator ::subsequent epc: After classificationResult : 1",
      "KESInterrogator ::subsequent epc: SetResultHash : Get New Interval",
      "KESInterrogator ::subsequent epc: New Interval: 0",
  };
  EXPECT_EQ(expected, log.Messages());
}

// "Re-classify" runs the next cycle at once with the hash "JUST_CLASSIFIED"; a second one in a row waits a
// step first, and so does every further one, so that an appliance that keeps asking gets no tight loop.
TEST_F(Recurring, ReclassifyRunsOneCycleAtOnce) {
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 1, "subsequent": [{"classification": 3}, {"classification": 3},
      {"classification": 3}, {"classification": 1, "interval": 0}])")));
  ASSERT_EQ(0u, ExitCodeWithin(20000));
  const std::vector<double> cycles = appliance_->CallTimes(21);
  const std::vector<std::string> calls = appliance_->Calls(21);
  ASSERT_EQ(4u, cycles.size());
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ("1", HashOf(calls[0]));
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ("JUST_CLASSIFIED", HashOf(calls[i])) << "cycle " << i;
  EXPECT_LT(cycles[1] - cycles[0], 2.0) << "the first re-classification waited";
  EXPECT_GE(cycles[2] - cycles[1], 2.0) << "the second re-classification in a row did not wait";
  EXPECT_GE(cycles[3] - cycles[2], 2.0) << "the third re-classification in a row did not wait";
}

// A terminated connection signals the machine-wide event and shows the notice once; with an interval of 0
// the thread just ends, without either.
TEST_F(Recurring, TerminatedConnection) {
  const struct {
    const char* subsequent;
    bool ended;
  } cases[] = {
      {R"({"classification": 2})", true},
      {R"({"classification": 2, "interval": 0})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subsequent);
    g_notices = 0;
    ASSERT_TRUE(LogOnAndStart(Scenario(std::string(R"("interval": 1, "subsequent": [)") + c.subsequent + "]")));
    ASSERT_EQ(0u, ExitCodeWithin(10000));
    EXPECT_EQ(1u, appliance_->Calls(21).size());
    EXPECT_EQ(c.ended, EventSignalled(kRepcEvent));
    EXPECT_EQ(c.ended ? 1 : 0, g_notices.load());
    appliance_->Stop();
  }
}

// Anyone on the machine may end the session: the thread sees the signal at its next wait step. While it
// runs it holds the module (the library that carries it may not be unloaded).
TEST_F(Recurring, OutsideSignalEndsTheThread) {
  const LONG locks = ModuleLockCount();
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 5)")));
  EXPECT_EQ(locks + 1, ModuleLockCount());
  {
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kRepcEvent));
    ASSERT_TRUE(event);
    ASSERT_TRUE(SetEvent(event.get()));
  }
  EXPECT_EQ(1u, ExitCodeWithin(2500));
  EXPECT_TRUE(appliance_->Calls(21).empty());
  EXPECT_EQ(0, g_notices.load());
  EXPECT_EQ(locks, ModuleLockCount());
}

// Another kind of object squatting the event's name: the event cannot be made or opened, and the thread
// still waits its interval between cycles (by sleeping) instead of running them back to back.
TEST_F(Recurring, WithoutTheEventTheIntervalIsStillWaited) {
  UniqueHandle squatter(CreateMutexW(nullptr, FALSE, kRepcEvent));
  ASSERT_TRUE(squatter);
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 2)")));
  ASSERT_TRUE(test::WaitUntil([&] { return !appliance_->CallTimes(21).empty(); }, 10000));
  Sleep(1500);
  EXPECT_EQ(1u, appliance_->CallTimes(21).size());
  // And a new logon still stops it.
  StopRecurringInterrogation();
  EXPECT_NE(static_cast<DWORD>(STILL_ACTIVE), ExitCodeWithin(0));
}

// An interval whose milliseconds do not fit in 32 bits is a long wait, not none and not the end.
TEST_F(Recurring, HugeIntervalIsAWait) {
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 2200000)")));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), ExitCodeWithin(2500));
  EXPECT_TRUE(appliance_->Calls(21).empty());
}

// The starter's texts and its agent reference may go the moment the start returns: the thread works on
// its own copies and its own reference.
TEST_F(Recurring, StarterMayGoAtOnce) {
  std::wstring team = L"TEAM-OWNED-BY-THE-STARTER";
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 1, "subsequent": [{"classification": 1, "interval": 0}])"),
                            team.c_str()));
  team.assign(team.size(), L'X');
  team.clear();
  team.shrink_to_fit();
  server_.assign(server_.size(), L'X');
  agent_.reset();
  engine_.reset();
  ASSERT_EQ(0u, ExitCodeWithin(10000));
  const std::vector<std::string> calls = appliance_->Calls(21);
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(0u, Appliance::Args(calls[0]).find(R"([15,"TEAM-OWNED-BY-THE-STARTER",)")) << calls[0];
}

// Each logon of a process stops the thread of the previous one: after 50 there is one thread, and the
// process holds no more threads or handles than after the second.
TEST_F(Recurring, FiftyStartsLeaveOneThread) {
  ASSERT_TRUE(LogOnAndStart(Scenario(R"("interval": 5)")));
  UniqueHandle previous(thread_.release());
  ASSERT_TRUE(Start(L"TEAM-1"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(previous.get(), 0)) << "start 2 left start 1's thread running";
  previous.reset();
  thread_.reset();
  const long threads = test::OwnThreadCount();
  const long handles = test::OwnHandleCount();
  ASSERT_GT(threads, 0);
  ASSERT_GT(handles, 0);
  for (int start = 3; start <= 50; ++start) {
    ASSERT_TRUE(Start(L"TEAM-1")) << "start " << start;
    if (previous) {
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(previous.get(), 0)) << "start " << start << " left one running";
    }
    previous.reset(thread_.release());
  }
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(previous.get(), 0)) << "the last thread is not running";
  previous.reset();
  EXPECT_EQ(threads, test::OwnThreadCount());
  EXPECT_LE(test::OwnHandleCount(), handles + 2);
  EXPECT_TRUE(appliance_->Calls(21).empty());
}

}  // namespace
}  // namespace kesi::controls
