// The proxy agent's clean-up before the library's product goes: which agent is run (version 8.8, signed,
// not running), the file held against replacement from the checks to the start, the time-out, and which
// outcomes delete its files (only an agent that ended in time with 0).
#include <shlobj.h>

#include "NativeFileSystem.h"
#include "ProcessList.h"
#include "UninstallTestSupport.h"

namespace kesi::uninstall::test {
namespace {

using kesi::test::FixturePath;
using kesi::test::PathExists;

const wchar_t* const kAgentFiles[] = {
    L"qolma\\korsp.inf",    L"qolma\\korsp.ver",    L"qolma\\qolma.inf",  L"qolma\\lwptdi.sys",
    L"qolma\\redirect.pac", L"qolma\\lwdirect.pac", L"qolma\\lumenway.ver", L"qolma\\lwwin.dll",
    L"LogFiles\\qolma.log", L"LogFiles\\lwtdi.log",
};

std::wstring VelmoraFolder() {
  wchar_t folder[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  return std::wstring(folder) + L"\\Velmora\\";
}
std::wstring AgentPath() { return VelmoraFolder() + L"qolma\\qolma.exe"; }
std::wstring DriverPath() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\Drivers\\lwptdi.sys";
}
bool DriverExists() {
  NativeFileSystem native;
  return PathExists(DriverPath());
}

// No process of the agent's name is left.
bool AgentGone() {
  std::vector<ProcessEntry> processes;
  ListProcesses(&processes);
  for (const ProcessEntry& p : processes)
    if (_wcsicmp(p.exeName.c_str(), L"qolma.exe") == 0) return false;
  return true;
}

class UninstallAgent : public UninstallTest {
 protected:
  void SetUp() override {
    UninstallTest::SetUp();
    RemoveAgent();
    SetEnvironmentVariableW(L"KESI_QOLMA_JOURNAL", journal_.c_str());
    DeleteFileW(journal_.c_str());
  }
  void TearDown() override {
    running_.Stop();
    kesi::test::WaitUntil(AgentGone, 10000);
    RemoveAgent();
    SetEnvironmentVariableW(L"KESI_QOLMA_JOURNAL", nullptr);
    SetEnvironmentVariableW(L"KESI_QOLMA_MODE", nullptr);
    DeleteFileW(journal_.c_str());
    UninstallTest::TearDown();
  }

  static void RemoveAgent() {
    kesi::test::RemoveTree(VelmoraFolder() + L"qolma");
    DeleteFileW((VelmoraFolder() + L"LogFiles\\qolma.log").c_str());
    DeleteFileW((VelmoraFolder() + L"LogFiles\\lwtdi.log").c_str());
    NativeFileSystem native;
    DeleteFileW(DriverPath().c_str());
  }

  // The agent variant (a folder of tests/fixtures/qolma) with its files, one of them read-only, and the
  // driver file; the list holds the library's product.
  ::testing::AssertionResult Plant(const wchar_t* variant) {
    const std::wstring base = VelmoraFolder();
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW((base + L"qolma").c_str(), nullptr);
    CreateDirectoryW((base + L"LogFiles").c_str(), nullptr);
    if (!CopyFileW(FixturePath(std::wstring(L"qolma\\") + variant + L"\\qolma.exe").c_str(), AgentPath().c_str(), FALSE))
      return ::testing::AssertionFailure() << "cannot copy the agent " << Narrow(variant) << ": " << GetLastError();
    for (const wchar_t* file : kAgentFiles) {
      auto written = kesi::test::WriteWholeFile(base + file, "agent file\r\n");
      if (!written) return written;
    }
    SetFileAttributesW((base + kAgentFiles[0]).c_str(), FILE_ATTRIBUTE_READONLY);
    {
      NativeFileSystem native;
      auto written = kesi::test::WriteWholeFile(DriverPath(), "driver");
      if (!written) return written;
    }
    return WriteList(HKEY_LOCAL_MACHINE, {{L"KESI", kLibrary}});
  }

  bool AgentRan() const { return PathExists(journal_); }
  std::wstring AgentCommandLine() const {
    const std::string bytes = kesi::test::ReadWholeFile(journal_);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  }
  // Every file of the agent, and the driver file, still there (true) or all gone (false); anything else
  // fails the test.
  ::testing::AssertionResult FilesStay(bool expected) {
    const std::wstring base = VelmoraFolder();
    std::vector<std::wstring> all = {AgentPath()};
    for (const wchar_t* file : kAgentFiles) all.push_back(base + file);
    for (const std::wstring& path : all)
      if (PathExists(path) != expected)
        return ::testing::AssertionFailure() << Narrow(path) << (expected ? " is gone" : " is still there");
    if (DriverExists() != expected)
      return ::testing::AssertionFailure() << "the driver file " << (expected ? "is gone" : "is still there");
    if (kesi::test::IsFolder(base + L"qolma") != expected)
      return ::testing::AssertionFailure() << "the agent's folder " << (expected ? "is gone" : "is still there");
    if (!kesi::test::IsFolder(base + L"LogFiles")) return ::testing::AssertionFailure() << "the log folder is gone";
    return ::testing::AssertionSuccess();
  }
  bool LibraryRemoved() const { return Attempted() == std::vector<std::wstring>{kLibrary}; }

  std::wstring journal_ = kesi::test::BuildTestsFolder() + L"uninstaller\\qolma-journal-" +
                          std::to_wstring(GetCurrentProcessId()) + L".txt";
  kesi::test::ChildProcess running_;
};

// What each agent leads to: whether it runs, whether its files go, whether the library's product goes.
TEST_F(UninstallAgent, WhichAgentRunsAndWhatGoes) {
  const struct {
    const char* what;
    const wchar_t* variant;
    const wchar_t* mode;  // KESI_QOLMA_MODE
    bool ran, filesStay, libraryRemoved;
  } cases[] = {
      {"8.8, signed, ends with 0", L"88\\signed", L"", true, false, true},
      {"8.9", L"89\\signed", L"", false, true, true},
      {"8.8 unsigned", L"88\\unsigned", L"", false, true, true},
      {"8.8 ending with 3", L"88\\signed", L"fail", true, true, true},
      {"8.8 hung", L"88\\signed", L"hang", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveAgent();
    DeleteFileW(journal_.c_str());
    g_msi.attempts.clear();
    ASSERT_TRUE(Plant(c.variant));
    SetEnvironmentVariableW(L"KESI_QOLMA_MODE", c.mode);
    UninstallSystem system = CurrentUninstallSystem();
    system.agentWaitMs = 1000;
    SetUninstallSystem(system);
    RunUninstaller(UninstallerMessages());
    EXPECT_EQ(c.ran, AgentRan());
    if (c.ran) {
      EXPECT_EQ(L"\"" + AgentPath() + L"\" /UnregServer", AgentCommandLine());
    }
    EXPECT_TRUE(FilesStay(c.filesStay));
    EXPECT_EQ(c.libraryRemoved, LibraryRemoved());
    EXPECT_TRUE(kesi::test::WaitUntil(AgentGone, 5000)) << "the agent is still running";
  }
}

// The answers themselves: 0, and the wait's time-out code when the agent had to be ended.
TEST_F(UninstallAgent, AnswerOfAHungAgentIsTheTimeout) {
  ASSERT_TRUE(Plant(L"88\\signed"));
  SetEnvironmentVariableW(L"KESI_QOLMA_MODE", L"hang");
  UninstallSystem system = CurrentUninstallSystem();
  system.agentWaitMs = 300;
  SetUninstallSystem(system);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), CleanUpProxyAgent());
  EXPECT_TRUE(kesi::test::WaitUntil(AgentGone, 5000)) << "the hung agent was not ended";
  EXPECT_TRUE(FilesStay(true));
  EXPECT_EQ(kAgentWaitMs, DefaultUninstallSystem().agentWaitMs);
}

// A process of the agent's name (any folder) keeps the agent from running and its files in place.
TEST_F(UninstallAgent, RunningAgentKeepsItsFiles) {
  ASSERT_TRUE(Plant(L"88\\signed"));
  kesi::test::TempFolder elsewhere(L"uninstall-qolma");
  const std::wstring copy = elsewhere / L"qolma.exe";
  ASSERT_TRUE(CopyFileW(kesi::test::SleeperPath().c_str(), copy.c_str(), FALSE));
  ASSERT_TRUE(running_.Start(copy));
  ASSERT_TRUE(kesi::test::WaitUntil([] { return !AgentGone(); }, 5000));
  EXPECT_EQ(0u, CleanUpProxyAgent());
  EXPECT_FALSE(AgentRan());
  EXPECT_TRUE(FilesStay(true));
  running_.Stop();
}

// From the version check to the start the agent cannot be rewritten, replaced or deleted; the file the
// signature check reads is the one open.
const std::wstring* g_agent = nullptr;
struct HeldSeen {
  int checks = 0;
  DWORD writeError = 0, deleteError = 0, moveError = 0;
  bool sameFile = false;
} g_held;

LONG CheckWhileHeld(HANDLE file, const wchar_t* path) {
  ++g_held.checks;
  g_held.sameFile = path && *g_agent == path;
  HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  g_held.writeError = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  g_held.deleteError = DeleteFileW(path) ? 0 : GetLastError();
  const std::wstring aside = std::wstring(path) + L".aside";
  g_held.moveError = MoveFileW(path, aside.c_str()) ? 0 : GetLastError();
  if (g_held.moveError == 0) MoveFileW(aside.c_str(), path);
  // The handle reads the file's first bytes, the image's signature.
  char mz[2] = {};
  DWORD read = 0;
  if (!ReadFile(file, mz, 2, &read, nullptr) || read != 2 || mz[0] != 'M' || mz[1] != 'Z') return TRUST_E_NOSIGNATURE;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  return 0;
}

TEST_F(UninstallAgent, HeldFromTheChecksToTheStart) {
  ASSERT_TRUE(Plant(L"88\\signed"));
  const std::wstring agent = AgentPath();
  g_agent = &agent;
  g_held = HeldSeen();
  UninstallSystem system = CurrentUninstallSystem();
  system.verifyTrust = &CheckWhileHeld;
  SetUninstallSystem(system);
  EXPECT_EQ(0u, CleanUpProxyAgent());
  EXPECT_EQ(1, g_held.checks);
  EXPECT_TRUE(g_held.sameFile);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_held.writeError);
  EXPECT_NE(0u, g_held.deleteError);
  EXPECT_NE(0u, g_held.moveError);
  EXPECT_TRUE(AgentRan()) << "the agent held open could not be started";
  EXPECT_TRUE(FilesStay(false)) << "the handle was still open when the files were deleted";
}

}  // namespace
}  // namespace kesi::uninstall::test
