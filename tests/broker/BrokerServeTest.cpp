// The broker's request handling in the test's own process, with its seams: the update hand-off, the
// installer commands, the launcher's bound, a sender that stalls and a pipe server of another user.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Broker.h"
#include "kesi_idl.h"
#include "BrokerTesting.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestProcess.h"

namespace kesi::broker {
namespace {

using test::TestInstance;

std::atomic<int> g_interrogations{0};
DWORD g_interrogationResult = 0;
std::wstring g_folder;

DWORD CountedInterrogation(const std::wstring&, const std::wstring&, const std::wstring&, LogFile*) {
  ++g_interrogations;
  return g_interrogationResult;
}

DWORD TestFolder(std::wstring* folder) {
  *folder = g_folder;
  return 0;
}

// An installer that records what it was given and answers 0 with result 1234.
class RecordingInstaller final : public IKESInstaller {
 public:
  static std::wstring credential, configuration, call;
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_IKESInstaller) return *out = nullptr, E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP Install3rdPartyComponent(BSTR a, BSTR b, BSTR c, BSTR d, BSTR e, ULONG* result) override {
    return Record(L"2", {a, b, c, d, e}, result);
  }
  STDMETHODIMP InstallComponent(BSTR a, BSTR b, BSTR c, BSTR d, BSTR e, ULONG* result) override {
    return Record(L"3", {a, b, c, d, e}, result);
  }
  STDMETHODIMP InstallComponentVer(BSTR a, BSTR b, BSTR c, ULONG* result) override { return Record(L"4", {a, b, c}, result); }
  STDMETHODIMP IsComponentMsiInstalled(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP InstallComponentMsi(BSTR a, BSTR b, ULONG* result) override { return Record(L"5", {a, b}, result); }
  STDMETHODIMP get_ConfigurationString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ConfigurationString(BSTR value) override {
    configuration = value ? value : L"(null)";
    return S_OK;
  }
  STDMETHODIMP get_AuthCredential(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_AuthCredential(BSTR value) override {
    credential = value ? value : L"(null)";
    return S_OK;
  }

 private:
  HRESULT Record(const wchar_t* command, std::initializer_list<BSTR> words, ULONG* result) {
    call = command;
    for (BSTR word : words) call += L"|" + std::wstring(word ? word : L"(null)");
    *result = 1234;
    return S_OK;
  }
  ULONG refs_ = 0;
};
std::wstring RecordingInstaller::credential, RecordingInstaller::configuration, RecordingInstaller::call;

HRESULT CreateRecordingInstaller(REFIID riid, void** out) { return (new RecordingInstaller())->QueryInterface(riid, out); }
HRESULT InstallerNotRegistered(REFIID, void** out) {
  *out = nullptr;
  return REGDB_E_CLASSNOTREG;
}

DWORD g_foreignServer = 0;
DWORD SessionOfForeignServer(DWORD processId, DWORD* session) {
  if (processId == g_foreignServer) return *session = 99, 0;
  return DefaultProcessIdentitySystem().sessionOf(processId, session);
}

class BrokerServe : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EndBrokers();
    ASSERT_TRUE(folder_.Created());
    g_folder = folder_.Path();
    g_interrogations = 0;
    g_interrogationResult = 0;
    ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_LAUNCHER_DOUBLE", folder_.Path().c_str()));
    ASSERT_TRUE(CopyFileW(test::LauncherDouble().c_str(), (folder_ / L"ozmInstaller.exe").c_str(), FALSE));
    saved_ = CurrentBrokerSystem();
    BrokerSystem system = saved_;
    system.interrogate = CountedInterrogation;
    system.programFolder = TestFolder;
    system.requestMs = 2000;
    SetBrokerSystem(system);
    ended_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  void TearDown() override {
    if (broker_.joinable()) {
      if (WaitForSingleObject(ended_.get(), 0) != WAIT_OBJECT_0) Stop();
      broker_.join();
    }
    SetBrokerSystem(saved_);
    SetProcessIdentitySystem(DefaultProcessIdentitySystem());
    test::EndBrokers(L"ozmInstaller.exe");
    SetEnvironmentVariableW(L"KESI_LAUNCHER_DOUBLE", nullptr);
  }

  // The broker's serving loop on a thread of this process.
  void Serve() {
    broker_ = std::thread([this] {
      ServeRequests(log_.Log());
      SetEvent(ended_.get());
    });
  }
  DWORD Send(const std::wstring& line) {
    TestInstance instance;
    if (!instance.Accept(GetCurrentProcessId())) return 0x40000000 | ERROR_TIMEOUT;
    DWORD result = 0;
    const DWORD error = instance.Exchange(line, &result);
    return error ? 0x40000000 | error : result;
  }
  // The stop request, as a starting broker sends it: this process's id, then "0".
  void Stop() {
    TestInstance instance;
    ASSERT_TRUE(instance.Accept(GetCurrentProcessId()));
    const std::string message = controls::EncodeBrokerMessage(kStopCommand);
    ASSERT_EQ(0u, instance.Write(message.substr(0, 4)));
    ASSERT_EQ(0u, instance.Write(message.substr(4)));
    std::string answer;
    ASSERT_EQ(0u, instance.Read(&answer));
    EXPECT_EQ(controls::EncodeStopReply(GetCurrentProcessId()), answer);
    ASSERT_EQ(0u, instance.Read(&answer));
    EXPECT_EQ(test::ReplyOf("0"), answer);
  }
  bool Ended(DWORD timeoutMs = 20000) { return WaitForSingleObject(ended_.get(), timeoutMs) == WAIT_OBJECT_0; }

  test::TempFolder folder_{L"brokerserve"};
  test::TestLogFile log_{L"brokerserve"};
  BrokerSystem saved_{};
  UniqueHandle ended_;
  std::thread broker_;
};

// An interrogation that ends in 1051 hands the broker's update to the launcher ("6" alone), is answered
// 1051, and the broker ends: the next page call must meet the new broker, not this one.
TEST_F(BrokerServe, UpdateGoesToTheLauncherAndTheBrokerEnds) {
  g_interrogationResult = 1051;
  Serve();
  EXPECT_EQ(1051u, Send(L"1 cred https://gw/cfg https://gw/post"));
  EXPECT_TRUE(Ended()) << "the broker still serves";
  EXPECT_TRUE(test::WaitUntil([&] { return !test::ReadWholeFile(folder_ / L"lines.txt").empty(); }, 20000));
  EXPECT_EQ("6\n", test::ReadWholeFile(folder_ / L"lines.txt"));
  EXPECT_TRUE(log_.Contains("KESInterrogator::updateOZM ozmInstaller started")) << log_.Text();
  EXPECT_EQ(1, g_interrogations.load());
}

// The installer commands reach the installer word for word, the configuration with its double quotes
// back; an installer that cannot be made is a failure, never 0.
TEST_F(BrokerServe, InstallCommandsReachTheInstaller) {
  BrokerSystem system = CurrentBrokerSystem();
  system.createInstaller = CreateRecordingInstaller;
  SetBrokerSystem(system);
  Serve();
  const std::wstring configuration = L"[Setup]\r\nName=\"a b\"\r\nDir=C:\\x\\";
  std::wstring line;
  ASSERT_TRUE(controls::BuildMsiInstallCommand(L"s e c", configuration, L"10.0.0.1", L"https://gw/a.msi", &line));
  EXPECT_EQ(1234u, Send(line));
  EXPECT_EQ(L"s e c", RecordingInstaller::credential);
  EXPECT_EQ(configuration, RecordingInstaller::configuration);
  EXPECT_EQ(L"5|10.0.0.1|https://gw/a.msi", RecordingInstaller::call);
  ASSERT_TRUE(controls::BuildInstallCommand(L"2", L"c", L"x", {L"cab", L"f", L"{id}", L"1,0", L"C:\\A B"}, &line));
  EXPECT_EQ(1234u, Send(line));
  EXPECT_EQ(L"2|cab|f|{id}|1,0|C:\\A B", RecordingInstaller::call);
  ASSERT_TRUE(controls::BuildInstallCommand(L"4", L"c", L"x", {L"cab", L"1,0", L"loc"}, &line));
  EXPECT_EQ(1234u, Send(line));
  EXPECT_EQ(L"4|cab|1,0|loc", RecordingInstaller::call);

  system.createInstaller = InstallerNotRegistered;
  SetBrokerSystem(system);
  const wchar_t* lines[] = {L"5 c x ip url", L"2 c x a b c d e", L"3 c x a b c d e", L"4 c x a b c"};
  for (const wchar_t* command : lines)
    EXPECT_EQ(static_cast<DWORD>(REGDB_E_CLASSNOTREG), Send(command)) << test::Narrow(command);
  EXPECT_TRUE(log_.Contains("kesiVista::doInstallComponentMsi installer instance creation failed"));
  EXPECT_TRUE(log_.Contains("kesiVista::doInstall3rdPartyComponent installer instance creation failed"));
  EXPECT_FALSE(log_.Contains("s e c")) << "the credential is logged";
}

// A launcher still running at the bound is a time-out (1460), not its "still active" exit code 259.
TEST_F(BrokerServe, LauncherPastItsBoundIsATimeOut) {
  BrokerSystem system = CurrentBrokerSystem();
  system.launcherMs = 300;
  SetBrokerSystem(system);
  ASSERT_TRUE(test::WriteWholeFile(folder_ / L"exit.txt", "hang"));
  Serve();
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), Send(L"setup a b"));
  EXPECT_TRUE(log_.Contains("kesiVista::doInstall timed out attempting to start process"));
}

// A sender that says more than it sends and then stalls holds the broker only for the bound.
TEST_F(BrokerServe, StalledSenderIsDroppedAtTheBound) {
  Serve();
  {
    TestInstance instance;
    ASSERT_TRUE(instance.Accept(GetCurrentProcessId()));
    ASSERT_EQ(0u, instance.Write(test::LengthField(100)));
    ASSERT_EQ(0u, instance.Write(std::string("x\0 \0", 4)));
    std::string reply;
    EXPECT_NE(0u, instance.Read(&reply, 10000));  // the broker drops the connection
  }
  EXPECT_EQ(3u, Send(L"x y"));
  EXPECT_TRUE(log_.Contains("kesiVista::pipeThread - Error occurred while reading data from the client: 1460"))
      << log_.Text();
}

// A pipe server of another user or session (told by the identity seam) gets no reply and nothing runs;
// the broker goes on to the real instance.
TEST_F(BrokerServe, ForeignPipeServerLearnsNothing) {
  const std::wstring record = folder_ / L"squatter.txt";
  test::ChildProcess squatter;
  ASSERT_TRUE(squatter.Start(test::PipeSquatter(), L"\"" + record + L"\""));
  g_foreignServer = GetProcessId(squatter.Handle());
  ProcessIdentitySystem identity = DefaultProcessIdentitySystem();
  identity.sessionOf = SessionOfForeignServer;
  SetProcessIdentitySystem(identity);
  ASSERT_TRUE(test::WaitUntil([] { return WaitNamedPipeW(controls::kBrokerPipeName, 0) != FALSE; }, 20000));

  Serve();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(squatter.Handle(), 20000));
  EXPECT_EQ("connected 0", test::ReadWholeFile(record));
  EXPECT_EQ(0, g_interrogations.load());
  EXPECT_TRUE(log_.Contains("is not of this session and user; closed")) << log_.Text();

  EXPECT_EQ(0u, Send(L"1 a b c"));
  EXPECT_EQ(1, g_interrogations.load());
}

}  // namespace
}  // namespace kesi::broker
