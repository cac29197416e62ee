// The broker program itself (kesivista.exe at its place in the user's application-data folder, the
// launcher stand-in at the launcher's): one command per connection, what it refuses, what it leaves
// behind over many commands, and how a starting broker replaces the running one.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "BrokerTesting.h"
#include "ControlsSystem.h"
#include "ProcessCounts.h"
#include "TestLogFile.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace kesi::broker {
namespace {

using test::TestInstance;

class BrokerProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    // A broker that never answers fails the case with the command's number instead of holding it.
    controls::ControlsSystem bounded = controls::DefaultControlsSystem();
    bounded.brokerWriteMs = bounded.brokerReplyMs = 20000;
    previous_ = controls::SetControlsSystem(bounded);
    test::EndBrokers();
    ASSERT_TRUE(folder_.Created());
    ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_LAUNCHER_DOUBLE", folder_.Path().c_str()));
    const std::wstring programs = test::ProgramFolder();
    brokerPath_ = programs + L"\\kesivista.exe";
    launcherPath_ = programs + L"\\ozmInstaller.exe";
    ASSERT_TRUE(CopyFileW(test::BuiltBroker().c_str(), brokerPath_.c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(CopyFileW(test::LauncherDouble().c_str(), launcherPath_.c_str(), FALSE)) << GetLastError();
  }
  void TearDown() override {
    test::EndBrokers();
    DeleteFileW(brokerPath_.c_str());
    DeleteFileW(launcherPath_.c_str());
    SetEnvironmentVariableW(L"KESI_LAUNCHER_DOUBLE", nullptr);
    controls::SetControlsSystem(previous_);
  }

  // Starts a broker; 0 when it could not be started.
  DWORD StartBroker(test::ChildProcess* broker, const std::wstring& arguments = L"") {
    if (!broker->Start(brokerPath_, arguments)) return 0;
    return GetProcessId(broker->Handle());
  }
  // One command to the broker processId over a fresh instance: the reply, or the failing step's error
  // with 0x40000000 added.
  DWORD Send(DWORD processId, HANDLE process, const std::wstring& line, DWORD* answeredBy = nullptr) {
    TestInstance instance;
    if (!instance.Accept(processId, process)) return 0x40000000 | ERROR_TIMEOUT;
    if (answeredBy) *answeredBy = instance.Client();
    DWORD result = 0;
    const DWORD error = instance.Exchange(line, &result);
    return error ? 0x40000000 | error : result;
  }
  void LauncherExits(const char* code) { ASSERT_TRUE(test::WriteWholeFile(folder_ / L"exit.txt", code)); }
  std::string LauncherLines() { return test::ReadWholeFile(folder_ / L"lines.txt"); }

  controls::ControlsSystem previous_{};
  test::TempFolder folder_{L"brokerprogram"};
  std::wstring brokerPath_;
  std::wstring launcherPath_;
};

// Every request thread is joined and every handle closed: the broker holds as much after 1,000 commands as
// after 100, launcher runs included.
TEST_F(BrokerProgram, ThousandCommandsLeaveNothingBehind) {
  LauncherExits("42");
  test::ChildProcess broker;
  const DWORD id = StartBroker(&broker);
  ASSERT_NE(0u, id);
  long handles = 0, threads = 0;
  for (int i = 1; i <= 1000; ++i) {
    const bool launcher = i % 50 == 0;
    const DWORD result = Send(id, broker.Handle(), launcher ? L"install-this a b" : L"x y");
    ASSERT_EQ(launcher ? 42u : 3u, result) << "command " << i;
    if (i == 100) {
      handles = test::HandleCountOf(id);
      threads = test::ThreadCountOf(id);
      ASSERT_GT(handles, 0);
      ASSERT_GT(threads, 0);
    }
  }
  // The last request's thread ends just after its sender has closed: a leak stays, that thread goes.
  EXPECT_TRUE(test::WaitUntil([&] { return test::HandleCountOf(id) <= handles + 2; }))
      << "handles after 100: " << handles << ", now " << test::HandleCountOf(id);
  EXPECT_TRUE(test::WaitUntil([&] { return test::ThreadCountOf(id) <= threads; }))
      << "threads after 100: " << threads << ", now " << test::ThreadCountOf(id);
  EXPECT_EQ(20u, test::Lines(LauncherLines()).size());
}

// A length the broker cannot take is answered 87 (or the connection dropped) without reading on, and the
// broker serves the next sender; the longest command the objects build is taken whole.
TEST_F(BrokerProgram, RefusedLengthsLeaveTheBrokerServing) {
  test::ChildProcess broker;
  const DWORD id = StartBroker(&broker);
  ASSERT_NE(0u, id);
  const std::string text("x\0 \0y\0", 6);
  const struct {
    const char* name;
    std::string first;
    std::string second;  // sent as a second message when not empty
    const char* reply;   // null: the broker drops the connection without a reply
  } cases[] = {
      {"0xFFFFFFFF", test::LengthField(0xFFFFFFFF), std::string(8, 'x'), "87"},
      {"65,536", test::LengthField(65536), std::string(65536, 'x'), "87"},
      {"odd", test::LengthField(5), std::string("x\0 \0y", 5), "87"},
      {"zero", test::LengthField(0), "", "87"},
      {"4,097 characters", test::LengthField(8194), std::string(8194, 'x'), "87"},
      {"NUL inside", test::LengthField(6), std::string("x\0\0\0y\0", 6), "87"},
      {"longer than sent", test::LengthField(100), text, nullptr},
      {"length and text in one message", test::LengthField(6) + text, "", "3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TestInstance instance;
      ASSERT_TRUE(instance.Accept(id, broker.Handle()));
      ASSERT_EQ(0u, instance.Write(c.first));
      if (!c.second.empty()) instance.Write(c.second, 2000);  // the broker may have stopped reading
      std::string reply;
      if (c.reply) {
        EXPECT_EQ(0u, instance.Read(&reply));
        EXPECT_EQ(test::ReplyOf(c.reply), reply);
      }
      // Closing here ends the text the broker still waits for.
    }
    EXPECT_EQ(3u, Send(id, broker.Handle(), L"x y"));
  }
  // 4,096 characters: read whole, then split into two words (too few: 3, not 87).
  const std::wstring longest = L"x " + std::wstring(4094, L'y');
  EXPECT_EQ(3u, Send(id, broker.Handle(), longest));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(broker.Handle(), 0));
}

// A pipe server that turns the broker away (the library does so to a broker that is not the one it
// started) disconnects it at once; the broker looks for the next instance instead of ending.
TEST_F(BrokerProgram, TurnedAwayByAServerTheBrokerGoesOnServing) {
  test::ChildProcess broker;
  const DWORD id = StartBroker(&broker);
  ASSERT_NE(0u, id);
  for (int i = 0; i < 5; ++i) {
    TestInstance refusing;
    EXPECT_FALSE(refusing.Accept(id + 1, nullptr, 1000)) << "attempt " << i;
    refusing.Close();
    EXPECT_EQ(3u, Send(id, broker.Handle(), L"x y")) << "attempt " << i;
  }
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(broker.Handle(), 0));
}

// Too few words for its command is answered 3 before anything runs; any other command goes whole to the
// launcher, whose exit code is the reply.
TEST_F(BrokerProgram, WordCountsAndTheLauncherRoute) {
  LauncherExits("17");
  test::ChildProcess broker;
  const DWORD id = StartBroker(&broker);
  ASSERT_NE(0u, id);
  const wchar_t* tooFew[] = {
      L"x",
      L"x y",
      L"1 a b",
      L"5 a b c",
      L"5 cred \"C:\\dir\\\" 10.0.0.1 https://gw/a.msi",  // a final backslash swallows the rest of the line
      L"4 a b c d",
      L"2 a b c d e f",
      L"3 a b c d e f",
      L"7 a",
  };
  for (const wchar_t* line : tooFew) EXPECT_EQ(3u, Send(id, broker.Handle(), line)) << test::Narrow(line);
  EXPECT_EQ("", LauncherLines());

  EXPECT_EQ(17u, Send(id, broker.Handle(), L"setup \"a b\" c"));
  EXPECT_EQ("setup \"a b\" c\n", LauncherLines());
}

// A starting broker stops the running one of its session: the old one answers the stop request and
// exits, and only the new one takes commands from then on. "Kill" stops it and ends.
TEST_F(BrokerProgram, NewBrokerReplacesTheRunningOne) {
  test::ChildProcess first;
  const DWORD firstId = StartBroker(&first);
  ASSERT_NE(0u, firstId);
  DWORD answeredBy = 0;
  ASSERT_EQ(3u, Send(firstId, first.Handle(), L"x y", &answeredBy));
  ASSERT_EQ(firstId, answeredBy);

  test::ChildProcess second;
  const DWORD secondId = StartBroker(&second);
  ASSERT_NE(0u, secondId);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.Handle(), 20000)) << "the old broker still runs";
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(first.Handle(), &code));
  EXPECT_EQ(0u, code);
  // Any broker program may connect now: the one that does must be the new one.
  for (int i = 0; i < 5; ++i) {
    TestInstance instance;
    ASSERT_TRUE(instance.Accept(0, nullptr, 20000, brokerPath_)) << i;
    EXPECT_EQ(secondId, instance.Client()) << i;
  }

  test::ChildProcess killer;
  ASSERT_NE(0u, StartBroker(&killer, L"Kill"));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(killer.Handle(), 20000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.Handle(), 20000));
  EXPECT_TRUE(GetExitCodeProcess(killer.Handle(), &code));
  EXPECT_EQ(0u, code);

  // With no broker running, "Kill" ends at once.
  test::ChildProcess alone;
  ASSERT_NE(0u, StartBroker(&alone, L"Kill"));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(alone.Handle(), 20000));
}

}  // namespace
}  // namespace kesi::broker
