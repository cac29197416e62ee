// The interrogator object's logon flow against the appliance simulator, asserting what reached the
// appliance (its journal), and the object's refusals of what the broker would not take.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Handles.h"
#include "PageSite.h"
#include "KESInterrogator.h"
#include "LogFolder.h"
#include "Provision.h"
#include "ScriptHost.h"
#include "SimulatorClient.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

using test::Appliance;

// The procedure numbers of the journal's logon calls, in order.
std::vector<int> Procedures(Appliance& appliance) {
  std::vector<int> procedures;
  for (const std::string& line : appliance.Journal()) {
    const size_t at = line.find(" proc=");
    if (at != std::string::npos) procedures.push_back(std::atoi(line.c_str() + at + 6));
  }
  return procedures;
}

size_t Uploads(Appliance& appliance) {
  size_t count = 0;
  for (const std::string& line : appliance.Journal()) count += line.find("/postauth/__EPClogfilesubmit") != std::string::npos;
  return count;
}

std::string Text(const std::vector<int>& numbers) {
  std::string text;
  for (int n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

// The plaintext of the interrogator's (ciphered) log.
std::string InterrogatorLog() {
  wchar_t path[MAX_PATH];
  if (GetLogFolderFile(path, kInterrogatorLogName) != 0) return "";
  std::string plain;
  for (std::string line : test::Lines(test::ReadWholeFile(path))) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string text;
    plain += test::DecipherText(line, &text) ? text : line + "\n";
  }
  return plain;
}

// A window that counts the progress steps sent to it.
class ProgressWindow {
 public:
  ProgressWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KesiTestProgress";
    RegisterClassW(&wc);
    window_ = CreateWindowW(L"KesiTestProgress", L"", 0, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
    steps_ = 0;
  }
  ~ProgressWindow() { DestroyWindow(window_); }
  OLE_HANDLE Handle() const { return static_cast<OLE_HANDLE>(reinterpret_cast<ULONG_PTR>(window_)); }
  static int Steps() { return steps_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == PBM_STEPIT) ++steps_;
    return DefWindowProcW(window, message, w, l);
  }
  HWND window_;
  static inline int steps_ = 0;
};

class InterrogatorFlow : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(apartment_.Usable()); }

  ComPtr<KESInterrogator> NewObject() {
    ComPtr<IKESInterrogator> object;
    EXPECT_EQ(S_OK, CreateInterrogatorObject(IID_IKESInterrogator, object.put_void()));
    // The object's own class: the operations outside the type library.
    return ComPtr<KESInterrogator>(static_cast<KESInterrogator*>(object.get()));
  }

  static std::wstring Url(Appliance& appliance, const wchar_t* path) {
    return L"https://" + appliance.Server() + path;
  }

  ComApartment apartment_{COINIT_MULTITHREADED};
};

struct FlowCase {
  const char* name;
  std::string scenario;
  const wchar_t* credential;  // null: none set
  HRESULT hr;
  LONG code;  // when hr is S_OK
  std::vector<int> procedures;
  size_t uploads;
};

// The outcome of the whole flow and the procedures that reached the appliance, scenario by scenario.
TEST_F(InterrogatorFlow, OutcomesAndProceduresByScenario) {
  const std::string agent1051 =
      R"({"base": "default", "agents": [{"name": "kesivista", "fileType": "msi", "version": "9.0.0.0",)"
      R"( "url": "${BASE}/postauth/ctltest/kesivista.msi"}], "inline_files": {"ctltest/kesivista.msi": "package"}})";
  const FlowCase cases[] = {
      {"accepted", R"({"base": "default"})", L"SESSION-1", S_OK, 0, {8, 10, 17, 11, 12, 13}, 0},
      {"no credential: a new session", R"({"base": "default"})", nullptr, S_OK, 0, {1, 10, 17, 11, 12, 13}, 0},
      {"LOGOUT ends the session", R"({"base": "logout", "interval": 4})", L"SESSION-1", S_OK, 3, {8, 10, 17, 11}, 0},
      {"lower-case logout is no LOGOUT", R"({"base": "logout", "zone_commands": ["logout"]})", L"SESSION-1", S_OK, 1,
       {8, 10, 17, 11}, 1},
      {"a failed list", R"({"base": "default", "faults": [{"procedure": 10, "fault": {"code": 7, "code2": 9, "text": "no"}}]})",
       L"SESSION-1", S_OK, 1, {8, 10}, 1},
      {"the broker's own package", agent1051, L"SESSION-1", 1051, 0, {8, 10, 17}, 0},
  };
  // The broker's own package is trusted here: the provisioner's trust check has tests of its own.
  install::ProvisionSystem system = install::CurrentProvisionSystem();
  system.verifyTrust = [](const wchar_t*) -> LONG { return 0; };
  const install::ProvisionSystem previous = install::SetProvisionSystem(system);
  wchar_t appData[MAX_PATH] = {};
  wchar_t logFolder[MAX_PATH] = {};
  PrepareLogFolder(appData, logFolder, true);

  for (const FlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    Appliance appliance(c.scenario);
    ASSERT_EQ("", appliance.Error());
    ComPtr<KESInterrogator> object = NewObject();
    ASSERT_TRUE(object);
    if (c.credential) {
      ASSERT_EQ(S_OK, object->put_AuthCredential(UniqueBstr(SysAllocString(c.credential)).get()));
    }
    LONG code = -1;
    const std::wstring configuration = Url(appliance, L"/postauth/config");
    EXPECT_EQ(c.hr, object->DoInterrogationLogon(configuration.c_str(), Url(appliance, L"/postauth/post").c_str(), &code));
    if (c.hr == S_OK) {
      EXPECT_EQ(c.code, code);
    } else {
      EXPECT_EQ(1, code) << "the out code is left as the flow set it";
    }
    if (c.code == 3) Sleep(7000);  // a recurring thread would post (procedure 21) within the interval
    EXPECT_EQ(Text(c.procedures), Text(Procedures(appliance)));
    EXPECT_EQ(c.uploads, Uploads(appliance));
    object.reset();
    appliance.Stop();
  }
  install::SetProvisionSystem(previous);
  test::RemoveTree(std::wstring(appData) + L"\\Velmora\\deploy\\ctltest");
}

// Support staff get the logs of a failed logon once per object, and never while the bootstrapper runs
// (it pushes its own bundle).
TEST_F(InterrogatorFlow, FailedLogonPushesTheLogsOncePerObjectAndNotUnderTheBootstrapper) {
  Appliance appliance(R"({"base": "default", "faults": [{"procedure": 10, "http_status": 500}]})");
  ASSERT_EQ("", appliance.Error());
  const std::wstring configuration = Url(appliance, L"/postauth/config");
  const std::wstring post = Url(appliance, L"/postauth/post");
  {
    ComPtr<KESInterrogator> object = NewObject();
    object->put_AuthCredential(UniqueBstr(SysAllocString(L"SESSION-1")).get());
    LONG code = -1;
    ASSERT_EQ(S_OK, object->DoInterrogationLogon(configuration.c_str(), post.c_str(), &code));
    EXPECT_EQ(1, code);
    EXPECT_EQ(S_OK, object->DoInterrogationLogon(configuration.c_str(), post.c_str(), &code));
    EXPECT_EQ(1, code);
    EXPECT_EQ(1u, Uploads(appliance)) << "one bundle per object";
    const std::vector<std::string> uploads = appliance.Journal();
    bool cookie = false;
    for (const std::string& line : uploads) cookie = cookie || line.find("cookie=\"FARLINK_ID=SESSION-1\"") != std::string::npos;
    EXPECT_TRUE(cookie) << "the upload carries the session";
  }
  {
    UniqueHandle bootstrapper(CreateEventW(nullptr, TRUE, FALSE, L"Local\\RQBootStrapRunning"));
    ASSERT_TRUE(bootstrapper);
    ComPtr<KESInterrogator> object = NewObject();
    LONG code = -1;
    ASSERT_EQ(S_OK, object->DoInterrogationLogon(configuration.c_str(), post.c_str(), &code));
    EXPECT_EQ(1, code);
    EXPECT_EQ(1u, Uploads(appliance)) << "no push while the bootstrapper runs";
  }
  appliance.Stop();
}

// "FARLINK_ID=" (exactly so) is the cookie's name, not part of the session the logon service resumes.
TEST_F(InterrogatorFlow, TheSessionCookieNameIsDroppedOnlyInItsOwnSpelling) {
  const struct {
    const wchar_t* credential;
    const char* resumed;
  } cases[] = {
      {L"FARLINK_ID=abc123", R"(args=[15,"abc123"])"},
      {L"farlink_id=abc123", R"(args=[15,"farlink_id=abc123"])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::Narrow(c.credential));
    Appliance appliance(R"({"base": "default"})");
    ASSERT_EQ("", appliance.Error());
    ComPtr<KESInterrogator> object = NewObject();
    object->put_AuthCredential(UniqueBstr(SysAllocString(c.credential)).get());
    LONG code = -1;
    object->GetConfigurationLogon(Url(appliance, L"/postauth/config").c_str(), &code);
    EXPECT_EQ(0, code);
    const std::vector<std::string> resumes = appliance.Calls(8);
    ASSERT_EQ(1u, resumes.size());
    EXPECT_NE(std::string::npos, resumes[0].find(c.resumed)) << resumes[0];
    appliance.Stop();
  }
}

// A configuration URL without a host part gives no server name: the connect fails and the log names
// "null" as the server.
TEST_F(InterrogatorFlow, AUrlWithoutHostFailsAndTheLogNamesNull) {
  {
    ComPtr<KESInterrogator> object = NewObject();
    object->put_AuthCredential(UniqueBstr(SysAllocString(L"SESSION-1")).get());
    LONG code = 0;
    ASSERT_EQ(S_OK, object->GetConfigurationLogon(L"nohost", &code));
    EXPECT_NE(0, code);
  }
  const std::string log = InterrogatorLog();
  EXPECT_NE(std::string::npos, log.find("Failed to get null error is ")) << log;
  EXPECT_NE(std::string::npos, log.find("GetConfigurationLogon() failed to connect.")) << log;
}

// The credential reaches the log masked: its first characters and its length.
TEST_F(InterrogatorFlow, TheCredentialIsLoggedMasked) {
  {
    ComPtr<KESInterrogator> object = NewObject();
    object->put_AuthCredential(UniqueBstr(SysAllocString(L"FARLINK_ID=SECRETSESSION42")).get());
    LONG code = 0;
    object->GetConfigurationLogon(L"nohost", &code);
  }
  const std::string log = InterrogatorLog();
  EXPECT_EQ(std::string::npos, log.find("SECRETSESSION42")) << log;
  EXPECT_NE(std::string::npos, log.find("put_AuthCredential() set FARL***(26)")) << log;
  EXPECT_NE(std::string::npos, log.find("parsed team credential [SECR***(15)]")) << log;
}

// Every stage of the flow moves the page's progress bar by one step.
TEST_F(InterrogatorFlow, EveryStageStepsTheProgressWindow) {
  Appliance appliance(R"({"base": "default", "interrogation_list": ["[InterrogationLiterals]"]})");
  ASSERT_EQ("", appliance.Error());
  ProgressWindow window;
  ComPtr<KESInterrogator> object = NewObject();
  ASSERT_EQ(S_OK, object->SetPBwindow(window.Handle()));
  LONG code = -1;
  ASSERT_EQ(S_OK, object->DoInterrogationLogon(Url(appliance, L"/postauth/config").c_str(),
                                               Url(appliance, L"/postauth/post").c_str(), &code));
  EXPECT_EQ(0, code);
  // Configuration, agent list, provisioning, evaluation, post, deploy list.
  EXPECT_EQ(6, ProgressWindow::Steps());
  appliance.Stop();
}

// A command longer than the broker takes is refused before any pipe: a non-zero result, and the log names
// the word that did not fit.
TEST(InterrogatorCommand, OverlongCommandsAreRefusedWithAResult) {
  ComApartment apartment(COINIT_MULTITHREADED);
  const std::wstring longWord(4100, L'x');  // more than a whole command may hold
  const struct {
    const char* name;
    std::wstring team, configuration, post;
    const char* logged;
  } cases[] = {
      {"authID", longWord, L"https://a/c", L"https://a/p", "Copy length exceeded, teamId buffer overflow"},
      {"urlConfiguration", L"t", L"https://a/" + longWord, L"https://a/p",
       "Copy length exceeded, urlConfiguration buffer overflow"},
      {"urlPost", L"t", L"https://a/c", L"https://a/" + longWord, "Copy length exceeded, urlPost buffer overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      ComPtr<IKESInterrogator> object;
      ASSERT_EQ(S_OK, CreateInterrogatorObject(IID_IKESInterrogator, object.put_void()));
      ULONG result = 0;
      EXPECT_EQ(S_OK, object->DoVistaInterrogation(UniqueBstr(SysAllocString(c.team.c_str())).get(),
                                                   UniqueBstr(SysAllocString(c.configuration.c_str())).get(),
                                                   UniqueBstr(SysAllocString(c.post.c_str())).get(), &result));
      EXPECT_EQ(1u, result);
    }
    const std::string log = InterrogatorLog();
    EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
    EXPECT_EQ(std::string::npos, log.find("remoteIt")) << "no broker exchange";
  }
}

// From script, only the client's own logs may be uploaded.
TEST(InterrogatorCommand, ScriptPushesOnlyFilesOfTheLogFolder) {
  ComApartment apartment(COINIT_MULTITHREADED);
  ComPtr<IKESInterrogator> object;
  ASSERT_EQ(S_OK, CreateInterrogatorObject(IID_IKESInterrogator, object.put_void()));
  wchar_t folder[MAX_PATH];
  ASSERT_EQ(0u, GetLogFolder(folder));
  const std::wstring outside[] = {L"C:\\windows\\win.ini", std::wstring(folder) + L"\\..\\..\\secret.txt",
                                  L"\\\\server\\share\\x.log", L""};
  for (const std::wstring& path : outside) {
    SCOPED_TRACE(test::Narrow(path));
    ULONG result = 0;
    EXPECT_EQ(S_OK, object->PushLogsAndReturnCode(UniqueBstr(SysAllocString(path.c_str())).get(), &result));
    EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), result);
  }
  // A log of the folder goes to the agent (here unconnected, so the upload itself fails differently).
  ULONG result = 0;
  const std::wstring inside = std::wstring(folder) + L"\\" + kInterrogatorLogName;
  EXPECT_EQ(S_OK, object->PushLogsAndReturnCode(UniqueBstr(SysAllocString(inside.c_str())).get(), &result));
  EXPECT_EQ(static_cast<ULONG>(ERROR_NOT_CONNECTED), result);
}

}  // namespace
}  // namespace kesi::controls

namespace kesi::controls {
namespace {

// The JScript page stand-in runs the logon interrogation in its own process through the registered
// library and reads the zone the appliance gave.
TEST(InterrogatorScript, JScriptRunsTheLogonInterrogationAndReadsTheZone) {
  Appliance appliance(R"({"base": "default", "zone": "Engineering"})");
  ASSERT_EQ("", appliance.Error());
  const std::wstring base = L"https://" + appliance.Server();
  const test::ScriptRun run = test::RunScript(test::ScriptPath(L"logon.js"), base + L"/postauth/config " + base + L"/postauth/post SESSION-7");
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("result 0")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("zone Engineering")) << run.output;
  // The library's own file version.
  const size_t version = run.output.find("version ");
  ASSERT_NE(std::string::npos, version) << run.output;
  int parts[4] = {-1, -1, -1, -1};
  EXPECT_EQ(4, sscanf(run.output.c_str() + version, "version %d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]))
      << run.output;
  const std::vector<std::string> resumes = appliance.Calls(8);
  ASSERT_EQ(1u, resumes.size());
  EXPECT_NE(std::string::npos, resumes[0].find(R"(args=[15,"SESSION-7"])")) << resumes[0];
  EXPECT_EQ(1u, appliance.Calls(11).size());
  appliance.Stop();
}

// A VBScript page reads the refusals as non-zero results.
TEST(InterrogatorScript, VBScriptReadsRefusalsAsNonZeroResults) {
  const test::ScriptRun run = test::RunScript(test::ScriptPath(L"refusals.vbs"));
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("push 5")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("overlong 1")) << run.output;
}

}  // namespace
}  // namespace kesi::controls

namespace kesi::controls {
namespace {

// A page may aim the broker only at its own host, and may not run the logon in the page's process.
TEST(InterrogatorPage, APageReachesOnlyItsOwnHost) {
  ComApartment apartment(COINIT_APARTMENTTHREADED);
  test::PageSite site(L"https://vpn.example.com/portal/start.html");
  ComPtr<IKESInterrogator> object;
  ASSERT_EQ(S_OK, CreateInterrogatorObject(IID_IKESInterrogator, object.put_void()));
  ComPtr<IObjectWithSite> sited;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IObjectWithSite, sited.put_void()));
  ASSERT_EQ(S_OK, sited->SetSite(&site));
  UniqueBstr team(SysAllocString(L"SESSION-1"));
  const struct {
    const wchar_t* configuration;
    bool refused;
  } cases[] = {
      {L"https://evil.example.net/postauth/config", true},
      {L"https://vpn.example.com.evil.example.net/config", true},
      {L"C:\\config.ini", true},
      {L"https://VPN.example.com:8443/postauth/config", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::Narrow(c.configuration));
    UniqueBstr url(SysAllocString(c.configuration));
    ULONG result = 0;
    EXPECT_EQ(S_OK, object->DoVistaInterrogation(team.get(), url.get(), url.get(), &result));
    EXPECT_EQ(c.refused, result == ERROR_ACCESS_DENIED) << result;
    result = 0;
    EXPECT_EQ(S_OK, object->InstallComponentMsi(url.get(), url.get(), &result));
    EXPECT_EQ(c.refused, result == ERROR_ACCESS_DENIED) << result;
  }
  ULONG result = 0;
  UniqueBstr own(SysAllocString(L"https://vpn.example.com/postauth/config"));
  EXPECT_EQ(S_OK, object->RunLogonInterrogation(own.get(), own.get(), &result));
  EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), result) << "the logon runs in the broker, never in the page";
  UniqueBstr zone;
  EXPECT_EQ(E_ACCESSDENIED, object->get_Zone(zone.put()));
  sited->SetSite(nullptr);
}

}  // namespace
}  // namespace kesi::controls

namespace kesi::controls {
namespace {

// The mobile path checks its URL before anything goes out, and answers with a code (the process goes on).
TEST(InterrogatorCommand, MobileUrlsThatCannotBeReadAreRefusedWithACode) {
  ComApartment apartment(COINIT_MULTITHREADED);
  ComPtr<IKESInterrogator> created;
  ASSERT_EQ(S_OK, CreateInterrogatorObject(IID_IKESInterrogator, created.put_void()));
  auto* object = static_cast<KESInterrogator*>(created.get());
  const std::wstring overlong = L"https://host/rq-state-" + std::wstring(300, L'x');
  const struct {
    const wchar_t* url;
    DWORD code;
  } cases[] = {
      {nullptr, ERROR_INVALID_PARAMETER},
      {overlong.c_str(), ERROR_FILENAME_EXCED_RANGE},
      {L"https://", ERROR_INVALID_PARAMETER},
      {L"http://host/rq-state-1", ERROR_INVALID_PARAMETER},
      {L"https://host/other-path", ERROR_INVALID_PARAMETER},
      {L"https:///rq-state-1", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::Narrow(c.url));
    EXPECT_EQ(c.code, object->ConnectMobile(c.url));
  }
}

}  // namespace
}  // namespace kesi::controls

namespace kesi::controls {
namespace {

// After an accepted post the agents of the four families (their names exactly so) are deployed and
// every listed agent is reported with its outcome; a failed deployment fails the logon.
TEST_F(InterrogatorFlow, DeploysTheFamiliesAndReportsEachOutcome) {
  Appliance appliance(
      R"({"base": "default", "deploy": [)"
      R"({"name": "ORV", "fileType": "cfg", "version": "1.0.0.0", "url": "${BASE}/postauth/ctltest/kesictl-orv.cfg"},)"
      R"({"name": "orv", "fileType": "cfg", "version": "1.0.0.0", "url": "${BASE}/postauth/ctltest/kesictl-lower.cfg"},)"
      R"({"name": "ZAR", "fileType": "cfg", "version": "1.0.0.0", "url": "${BASE}/postauth/ctltest/kesictl-missing.cfg"}],)"
      R"( "inline_files": {"ctltest/kesictl-orv.cfg": "[orv]", "ctltest/kesictl-lower.cfg": "[lower]"}})");
  ASSERT_EQ("", appliance.Error());
  wchar_t appData[MAX_PATH] = {};
  wchar_t logFolder[MAX_PATH] = {};
  ASSERT_EQ(0u, PrepareLogFolder(appData, logFolder, true));
  const std::wstring base = std::wstring(appData) + L"\\Velmora";
  auto cleanUp = [&base] {
    DeleteFileW((base + L"\\kesictl-orv.cfg").c_str());
    test::RemoveTree(base + L"\\deploy\\ctltest");
  };
  cleanUp();  // what an interrupted run left
  {
    ComPtr<KESInterrogator> object = NewObject();
    object->put_AuthCredential(UniqueBstr(SysAllocString(L"SESSION-1")).get());
    LONG code = -1;
    ASSERT_EQ(S_OK, object->DoInterrogationLogon(Url(appliance, L"/postauth/config").c_str(),
                                                 Url(appliance, L"/postauth/post").c_str(), &code));
    EXPECT_EQ(1, code) << "ZAR could not be deployed";
  }
  std::string fetched;
  for (const std::string& line : appliance.Journal()) {
    if (line.find(" GET /postauth/ctltest/") != std::string::npos) fetched += line.substr(line.find("/ctltest/")) + "\n";
  }
  EXPECT_EQ(std::string::npos, fetched.find("kesictl-lower.cfg")) << fetched;
  EXPECT_NE(std::string::npos, fetched.find("kesictl-orv.cfg")) << fetched;
  EXPECT_NE(std::string::npos, fetched.find("kesictl-missing.cfg")) << fetched;
  const std::vector<std::string> reports = appliance.Calls(13);
  EXPECT_EQ(1u, reports.size());
  EXPECT_EQ(R"([15,"SIMSESSION-0001",[["ORV",true],["orv",false],["ZAR",false]]])",
            reports.empty() ? "" : Appliance::Args(reports[0]));
  EXPECT_TRUE(test::PathExists(base + L"\\kesictl-orv.cfg"));
  EXPECT_EQ(1u, Uploads(appliance)) << "a failed logon pushes the logs";
  appliance.Stop();
  cleanUp();
}

}  // namespace
}  // namespace kesi::controls
