// Which processes count as "ours" (same program, same session, same user) and the bounded wait for them.
#include <gtest/gtest.h>

#include <algorithm>

#include "ProcessList.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace kesi {
namespace {

bool Contains(const std::vector<DWORD>& ids, DWORD id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

// The identity the seam reports for the one process under test; every other process is real.
DWORD g_strangerId = 0;
DWORD g_strangerSession = 0;
std::wstring g_strangerUser;

DWORD StrangerSession(DWORD processId, DWORD* session) {
  if (processId == g_strangerId) return *session = g_strangerSession, 0;
  return DefaultProcessIdentitySystem().sessionOf(processId, session);
}
DWORD StrangerUser(DWORD processId, std::wstring* sid) {
  if (processId == g_strangerId) return g_strangerUser.empty() ? ERROR_ACCESS_DENIED : (*sid = g_strangerUser, 0);
  return DefaultProcessIdentitySystem().userOf(processId, sid);
}

class ProcessListTest : public ::testing::Test {
 protected:
  void TearDown() override { SetProcessIdentitySystem(DefaultProcessIdentitySystem()); }
};

TEST_F(ProcessListTest, FindsOnlyOwnSessionAndUser) {
  test::ChildProcess sleeper;
  ASSERT_TRUE(sleeper.Start(test::SleeperPath(), L"20000"));
  const DWORD id = GetProcessId(sleeper.Handle());

  std::vector<DWORD> found;
  ASSERT_EQ(0u, FindOwnSessionProcesses(L"KESISLEEPER.EXE", &found));
  EXPECT_TRUE(Contains(found, id)) << "name compared without regard to case";
  ASSERT_EQ(0u, FindOwnSessionProcesses(L"kesisleeper.ex", &found));
  EXPECT_FALSE(Contains(found, id)) << "whole names only";

  std::wstring ownUser;
  ASSERT_EQ(0u, DefaultProcessIdentitySystem().userOf(GetCurrentProcessId(), &ownUser));
  DWORD ownSession = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &ownSession));
  struct Case {
    const char* name;
    DWORD session;
    std::wstring user;
    bool counted;
  } cases[] = {
      {"same session and user", ownSession, ownUser, true},
      {"another session", ownSession + 1, ownUser, false},
      {"another user", ownSession, L"S-1-5-21-1-2-3-1001", false},
      {"user unreadable", ownSession, L"", false},
  };
  for (const Case& c : cases) {
    g_strangerId = id;
    g_strangerSession = c.session;
    g_strangerUser = c.user;
    SetProcessIdentitySystem({StrangerSession, StrangerUser});
    ASSERT_EQ(0u, FindOwnSessionProcesses(L"kesisleeper.exe", &found)) << c.name;
    EXPECT_EQ(c.counted, Contains(found, id)) << c.name;
    EXPECT_EQ(c.counted, IsOwnSessionAndUser(id)) << c.name;
  }
  std::vector<DWORD> self;
  ASSERT_EQ(0u, FindOwnSessionProcesses(L"core_tests.exe", &self));
  EXPECT_FALSE(Contains(self, GetCurrentProcessId())) << "the caller itself is never listed";
}

TEST_F(ProcessListTest, WaitIsBoundedAndEndsWithTheProcesses) {
  test::ChildProcess first, second;
  ASSERT_TRUE(first.Start(test::SleeperPath(), L"20000"));
  ASSERT_TRUE(second.Start(test::SleeperPath(), L"20000"));
  std::vector<UniqueHandle> handles =
      OpenProcessesForWait({GetProcessId(first.Handle()), GetProcessId(second.Handle()), 0xFFFFFFF0u});
  ASSERT_EQ(2u, handles.size()) << "a process that is not there is left out";
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), WaitForProcessesExit(handles, 200));
  first.Stop();
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), WaitForProcessesExit(handles, 200)) << "one still runs";
  second.Stop();
  EXPECT_EQ(0u, WaitForProcessesExit(handles, 200));
}

}  // namespace
}  // namespace kesi
