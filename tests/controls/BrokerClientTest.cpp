// The library's end of the broker pipe against a broker stand-in (brokerdouble/) put at the broker's
// place: what goes over the pipe, the reply, the bounded waits, and who may take a command. Wine stores a
// pipe's DACL without enforcing it, so the instance's descriptor is read back; who gets a command is
// decided by the client's identity, which these cases try with clients that are not the broker.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "BrokerClient.h"
#include "BrokerCommand.h"
#include "BrokerPipe.h"
#include "ControlsSystem.h"
#include "Handles.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

using test::Narrow;

// The message the library must send for line, spelled out here rather than taken from the encoder.
std::string ExpectedFrame(const std::wstring& line) {
  const size_t bytes = line.size() * 2;
  std::string frame;
  for (int shift = 0; shift < 32; shift += 8) frame += static_cast<char>((bytes >> shift) & 0xFF);
  for (wchar_t c : line) {
    frame += static_cast<char>(c & 0xFF);
    frame += static_cast<char>((c >> 8) & 0xFF);
  }
  return frame;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

DWORD ImageElsewhere(DWORD, std::wstring* path) {
  *path = L"C:\\elsewhere\\kesivista.exe";
  return 0;
}

class BrokerClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Created());
    ASSERT_TRUE(log_.Opened());
    ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_BROKER_DOUBLE", folder_.Path().c_str()));
    ASSERT_EQ(0u, BrokerProgramPath(&brokerPath_));
    kesiFolder_ = brokerPath_.substr(0, brokerPath_.find_last_of(L'\\'));
    velmoraFolder_ = kesiFolder_.substr(0, kesiFolder_.find_last_of(L'\\'));
    CreateDirectoryW(velmoraFolder_.c_str(), nullptr);
    CreateDirectoryW(kesiFolder_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((test::BuildTestsFolder() + L"controls\\kesibrokerdouble.exe").c_str(), brokerPath_.c_str(),
                          FALSE))
        << GetLastError();
    saved_ = CurrentControlsSystem();
    ControlsSystem bounded = saved_;
    bounded.brokerConnectMs = 20000;
    bounded.brokerReplyMs = 20000;
    bounded.brokerUpdateMs = 20000;
    SetControlsSystem(bounded);
  }

  void TearDown() override {
    SetControlsSystem(saved_);
    EndDoubles();
    DeleteFileW(brokerPath_.c_str());
    RemoveDirectoryW(kesiFolder_.c_str());  // only when nothing else is in them
    RemoveDirectoryW(velmoraFolder_.c_str());
    SetEnvironmentVariableW(L"KESI_BROKER_DOUBLE", nullptr);
  }

  // Ends every double this test started that still runs (each wrote its id; the path check keeps a
  // reused id safe).
  void EndDoubles() {
    const std::string ids = test::ReadWholeFile(folder_ / L"pids.txt");
    for (size_t at = 0; at < ids.size();) {
      const size_t end = ids.find('\n', at);
      const DWORD id = strtoul(ids.substr(at, end - at).c_str(), nullptr, 10);
      at = end == std::string::npos ? ids.size() : end + 1;
      UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
      if (!process) continue;
      wchar_t image[MAX_PATH];
      DWORD chars = MAX_PATH;
      if (!QueryFullProcessImageNameW(process.get(), 0, image, &chars) ||
          CompareStringOrdinal(image, -1, brokerPath_.c_str(), -1, TRUE) != CSTR_EQUAL)
        continue;
      TerminateProcess(process.get(), 0);
      WaitForSingleObject(process.get(), 10000);
    }
  }

  void Control(const std::string& line) { ASSERT_TRUE(test::WriteWholeFile(folder_ / L"control.txt", line)); }
  std::string Received() { return test::ReadWholeFile(folder_ / L"received.bin"); }
  bool DoubleStarted() { return test::PathExists(folder_ / L"pids.txt"); }
  void Bounds(DWORD connectMs, DWORD replyMs) {
    ControlsSystem system = CurrentControlsSystem();
    system.brokerConnectMs = connectMs;
    system.brokerReplyMs = replyMs;
    SetControlsSystem(system);
  }

  test::TempFolder folder_{L"brokerclient"};
  test::TestLogFile log_{L"brokerclient"};
  std::wstring brokerPath_;
  std::wstring kesiFolder_;
  std::wstring velmoraFolder_;
  ControlsSystem saved_{};
};

TEST_F(BrokerClient, CommandTravelsFramedAndTheCredentialIsNotLogged) {
  Control("reply 0");
  std::wstring line;
  ASSERT_TRUE(BuildInterrogationCommand(L"Tk9Fsecret", L"", L"p q", &line));
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(line, &result, log_.Log()));
  EXPECT_EQ(0u, result);

  // 1 Tk9Fsecret "" "p q": 21 characters, 42 bytes.
  const std::string pinned("\x2a\0\0\0" "1\0 \0T\0k\0" "9\0F\0s\0e\0c\0r\0e\0t\0 \0\"\0\"\0 \0\"\0p\0 \0q\0\"\0", 46);
  EXPECT_EQ(test::ToHex(pinned.data(), pinned.size()), test::ToHex(Received().data(), Received().size()));

  const std::string logged = log_.Text();
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt KesiVista started")) << logged;
  EXPECT_NE(std::string::npos, logged.find("kesiVista::pipeThread - Named Pipe server: Waiting for client connection"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt named pipe connection established"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt cmdLine length 42"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt commandLine 1 Tk9F***(10) \"\" \"p q\""));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt wrote length on named pipe"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt - Wrote 42 bytes of data to client"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt wrote data on named pipe"));
  EXPECT_NE(std::string::npos, logged.find("KESInterrogator::remoteIt - Named Pipe ReadFile() was successful."));
  EXPECT_EQ(std::string::npos, logged.find("secret")) << logged;
}

TEST_F(BrokerClient, LongestCommandArrivesWhole) {
  Control("reply 0");
  std::wstring line;
  ASSERT_TRUE(BuildMsiInstallCommand(L"c", std::wstring(kBrokerCommandChars - 10, L'x'), L"s", L"m", &line));
  ASSERT_EQ(kBrokerCommandChars, line.size());
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(line, &result, log_.Log()));
  EXPECT_EQ(0u, result);
  EXPECT_TRUE(Received() == ExpectedFrame(line)) << Received().size() << " bytes received";
}

TEST_F(BrokerClient, ReplyIsReadAsTheResult) {
  struct Case {
    const char* control;
    DWORD result;
  };
  const std::string overlong = "raw " + Repeat("30", 1500) + "00";
  const Case cases[] = {
      {"reply 3", 3},
      {"reply -2147024891", 0x80070005},
      {"reply 4294967295", 0xFFFFFFFF},
      {"raw 3132", ERROR_INVALID_DATA},      // "12" without its NUL
      {"raw 61626300", ERROR_INVALID_DATA},  // "abc"
      {overlong.c_str(), ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    Control(c.control);
    DWORD result = 0xABCD;
    EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log())) << std::string(c.control).substr(0, 20);
    EXPECT_EQ(c.result, result) << std::string(c.control).substr(0, 20);
    EndDoubles();
  }
  EXPECT_NE(std::string::npos, log_.Text().find("KESInterrogator::remoteIt - the reply is not a result code (1024 bytes and more)"));
}

TEST_F(BrokerClient, UpdatingBrokerGetsTheCommandAgainAtMostThreeTimes) {
  struct Case {
    const char* control;
    DWORD result;
    int commands;
  };
  const Case cases[] = {
      {"reply 1051 0", 0, 2},
      {"reply 1051 1051 1051 7", 7, 4},
      {"reply 1051 1051 1051 1051 1051", 1051, 4},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(test::WriteWholeFile(folder_ / L"received.bin", ""));
    Control(c.control);
    DWORD result = 0xABCD;
    EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log())) << c.control;
    EXPECT_EQ(c.result, result) << c.control;
    EXPECT_TRUE(Received() == Repeat(ExpectedFrame(L"1 a b c"), c.commands))
        << c.control << ": " << Received().size() << " bytes received";
    EndDoubles();
  }
}

TEST_F(BrokerClient, NoBrokerAfterTheUpdateEndsWithTheBound) {
  ControlsSystem system = CurrentControlsSystem();
  system.brokerUpdateMs = 300;
  SetControlsSystem(system);
  Control("reply 1051");
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), result);
  EXPECT_TRUE(Received() == ExpectedFrame(L"1 a b c"));
}

TEST_F(BrokerClient, BrokerThatExitsWithoutConnectingEndsTheWaitAtOnce) {
  // A bound far beyond the test's time-out: only the broker's exit can end this wait in time.
  Bounds(10 * 60 * 1000, 20000);
  Control("exit 0");
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED), result);
  EXPECT_NE(std::string::npos, log_.Text().find("kesiVista::pipeThread - Error occurred on client connection: 233"));
}

TEST_F(BrokerClient, BrokerThatNeverAnswersEndsWithTheBound) {
  Bounds(20000, 500);
  Control("hang");
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), result);
  EXPECT_NE(std::string::npos, log_.Text().find("KESInterrogator::remoteIt - Error occurred while reading from the client: 1460"));
}

TEST_F(BrokerClient, MissingBrokerGivesTheStartError) {
  ASSERT_TRUE(DeleteFileW(brokerPath_.c_str()));
  DWORD result = 0xABCD;
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), RemoteIt(L"1 a b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), result);
  EXPECT_NE(std::string::npos, log_.Text().find("KESInterrogator::remoteIt - CreateProcess Failed with error val [2]}"));
}

TEST_F(BrokerClient, OverlongCommandStartsNothing) {
  const std::wstring line = L"1 a b " + std::wstring(kBrokerCommandChars - 5, L'c');
  DWORD result = 0xABCD;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RemoteIt(line, &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), result);
  result = 0xABCD;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), SendToRunningBroker(line, &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), result);
  EXPECT_FALSE(DoubleStarted());
  EXPECT_FALSE(WaitNamedPipeW(kBrokerPipeName, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(std::string::npos, log_.Text().find("Waiting for client connection"));
}

TEST_F(BrokerClient, RunningBrokerIsKnownByItsProgram) {
  Control("reply 5");
  test::ChildProcess broker;
  ASSERT_TRUE(broker.Start(brokerPath_));
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, SendToRunningBroker(L"1 junk b c", &result, log_.Log()));
  EXPECT_EQ(5u, result);
  EXPECT_TRUE(Received() == ExpectedFrame(L"1 junk b c"));
}

TEST_F(BrokerClient, NoRunningBrokerEndsWithTheBound) {
  Bounds(300, 20000);
  DWORD result = 0xABCD;
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), SendToRunningBroker(L"1 junk b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), result);
  EXPECT_NE(std::string::npos, log_.Text().find("kesiVista::pipeThread - Error occurred on client connection: 1460"));
}

TEST_F(BrokerClient, ProgramElsewhereIsNotTheBroker) {
  Bounds(1500, 20000);
  ControlsSystem system = CurrentControlsSystem();
  system.processImagePath = ImageElsewhere;
  SetControlsSystem(system);
  Control("reply 0");
  test::ChildProcess broker;
  ASSERT_TRUE(broker.Start(brokerPath_));
  DWORD result = 0xABCD;
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), SendToRunningBroker(L"1 junk b c", &result, log_.Log()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), result);
  EXPECT_EQ("", Received());
  EXPECT_NE(std::string::npos, log_.Text().find("is not the broker; disconnected"));
}

// A process that connects to the library's instance before the broker it started: it is disconnected
// without reading anything, and the broker still gets the command.
TEST_F(BrokerClient, ClientThatIsNotTheStartedBrokerGetsNothing) {
  Control("gate reply 0");
  DWORD squatterRead = 0;
  DWORD squatterError = 0;
  bool squatterConnected = false;
  std::thread squatter([&] {
    const ULONGLONG deadline = GetTickCount64() + 20000;
    UniqueFile pipe;
    while (!pipe && GetTickCount64() < deadline) {
      pipe.reset(CreateFileW(kBrokerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!pipe) Sleep(5);
    }
    squatterConnected = static_cast<bool>(pipe);
    if (pipe) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
      char buffer[8192];
      if (!ReadFile(pipe.get(), buffer, sizeof buffer, &squatterRead, nullptr)) squatterError = GetLastError();
    }
    test::WriteWholeFile(folder_ / L"go", "");  // now the broker may connect
  });
  DWORD result = 0xABCD;
  EXPECT_EQ(0u, RemoteIt(L"1 a b c", &result, log_.Log()));
  squatter.join();
  EXPECT_TRUE(squatterConnected);
  EXPECT_EQ(0u, squatterRead);
  EXPECT_NE(0u, squatterError);
  EXPECT_EQ(0u, result);
  EXPECT_TRUE(Received() == ExpectedFrame(L"1 a b c"));
  const std::string refused = "pipe client (process " + std::to_string(GetCurrentProcessId()) + ") is not the broker";
  EXPECT_NE(std::string::npos, log_.Text().find(refused)) << log_.Text();
}

// Wine keeps the descriptor without enforcing it: what is checked is the descriptor itself.
TEST(BrokerPipe, InstanceAdmitsOnlyTheUserAndSystem) {
  UniqueFile pipe;
  ASSERT_EQ(0u, CreateBrokerPipeInstance(kBrokerPipeBufferBytes, &pipe));

  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(pipe.get(), &flags));
  EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);
  DWORD type = 0, outBytes = 0, inBytes = 0, instances = 0;
  ASSERT_TRUE(GetNamedPipeInfo(pipe.get(), &type, &outBytes, &inBytes, &instances));
  EXPECT_EQ(static_cast<DWORD>(PIPE_TYPE_MESSAGE | PIPE_SERVER_END), type);
  EXPECT_EQ(1024u, outBytes);
  EXPECT_EQ(1024u, inBytes);
  // Unlimited: Windows reports PIPE_UNLIMITED_INSTANCES (255), Wine ~0.
  EXPECT_TRUE(instances == PIPE_UNLIMITED_INSTANCES || instances == 0xFFFFFFFF) << instances;

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor));
  UniqueLocal owned(descriptor);
  ASSERT_NE(nullptr, dacl) << "a null DACL admits everyone";
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);

  UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
  BYTE userBuffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, userBuffer, sizeof userBuffer, &size));
  PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD systemSize = sizeof system;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));

  ASSERT_EQ(2u, dacl->AceCount);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, header->AceType) << i;
    ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    EXPECT_TRUE(EqualSid(sid, i == 0 ? user : static_cast<PSID>(system))) << i;
    EXPECT_EQ(static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE), ace->Mask) << i;
  }
}

}  // namespace
}  // namespace kesi::controls
