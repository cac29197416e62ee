// The launcher's commands in this process: the words each command needs, what reaches the installer
// object (a double that records its calls) and the exit codes, with the log lines of each run.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Launcher.h"
#include "LogFolder.h"
#include "LogTail.h"
#include "TestLogFile.h"
#include "TestText.h"

namespace kesi::launcher {
namespace {

using test::Narrow;

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L"<null>"; }

// Records every call as "name(arguments)" and answers the install methods with a set result.
class RecordingInstaller : public IKESInstaller {
 public:
  std::vector<std::wstring> calls;
  ULONG result = 42;
  HRESULT methodResult = S_OK;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IKESInstaller) {
      *out = static_cast<IKESInstaller*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

  STDMETHODIMP Install3rdPartyComponent(BSTR cab, BSTR file, BSTR clsid, BSTR version, BSTR location, ULONG* out) override {
    return Answer(L"Install3rdPartyComponent(" + Text(cab) + L"|" + Text(file) + L"|" + Text(clsid) + L"|" +
                  Text(version) + L"|" + Text(location) + L")", out);
  }
  STDMETHODIMP InstallComponent(BSTR cab, BSTR file, BSTR clsid, BSTR version, BSTR location, ULONG* out) override {
    return Answer(L"InstallComponent(" + Text(cab) + L"|" + Text(file) + L"|" + Text(clsid) + L"|" + Text(version) +
                  L"|" + Text(location) + L")", out);
  }
  STDMETHODIMP InstallComponentVer(BSTR cab, BSTR version, BSTR location, ULONG* out) override {
    return Answer(L"InstallComponentVer(" + Text(cab) + L"|" + Text(version) + L"|" + Text(location) + L")", out);
  }
  STDMETHODIMP IsComponentMsiInstalled(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP InstallComponentMsi(BSTR server, BSTR msi, ULONG* out) override {
    return Answer(L"InstallComponentMsi(" + Text(server) + L"|" + Text(msi) + L")", out);
  }
  STDMETHODIMP get_ConfigurationString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ConfigurationString(BSTR text) override {
    calls.push_back(L"ConfigurationString(" + Text(text) + L")");
    return S_OK;
  }
  STDMETHODIMP get_AuthCredential(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_AuthCredential(BSTR text) override {
    calls.push_back(L"AuthCredential(" + Text(text) + L")");
    return S_OK;
  }

  ULONG References() const { return references_; }

 private:
  HRESULT Answer(const std::wstring& call, ULONG* out) {
    calls.push_back(call);
    if (SUCCEEDED(methodResult)) *out = result;
    return methodResult;
  }
  ULONG references_ = 0;
};

RecordingInstaller* g_installer = nullptr;
HRESULT g_creation = S_OK;
int g_creations = 0;

HRESULT CreateRecorder(IKESInstaller** installer) {
  ++g_creations;
  *installer = nullptr;
  if (FAILED(g_creation)) return g_creation;
  g_installer->AddRef();
  *installer = g_installer;
  return S_OK;
}

class LauncherCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    g_installer = &installer_;
    g_creation = S_OK;
    g_creations = 0;
    LauncherSystem system = CurrentLauncherSystem();
    system.createInstaller = &CreateRecorder;
    previous_ = SetLauncherSystem(system);
  }
  void TearDown() override {
    SetLauncherSystem(previous_);
    EXPECT_EQ(0u, installer_.References()) << "the installer object was not released";
    g_installer = nullptr;
  }

  // Runs commandLine and gives the messages the run added to the installer log.
  DWORD Run(const wchar_t* commandLine, std::vector<std::string>* lines) {
    test::LogTail tail(kInstallerLogName);
    const DWORD code = RunLauncher(commandLine);
    *lines = test::LogEntries(tail.Text());
    for (std::string& line : *lines) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    }
    return code;
  }

  RecordingInstaller installer_;
  LauncherSystem previous_{};
};

TEST_F(LauncherCommand, EachInstallCommandForwardsItsWordsToItsMethod) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> calls;
    std::vector<std::string> log;
  } cases[] = {
      {L"2 FARLINK_ID=0123456789 `a`=`b` http://h/c.cab c.dll {C1} 1,0,0,1 localdata:X",
       {L"AuthCredential(FARLINK_ID=0123456789)", L"ConfigurationString(\"a\"=\"b\")",
        L"Install3rdPartyComponent(http://h/c.cab|c.dll|{C1}|1,0,0,1|localdata:X)"},
       {"ozmInstaller:: LogFile created", "ozmInstaller:: THIRD_PARTY_COMPONENT command received",
        "ozmInstaller::Install3rdPartyComponent Team ID being forwarded is. FARL***(21)",
        "ozmInstaller::Install3rdPartyComponent URL Configuration being forwarded is. `a`=`b`",
        "ozmInstaller::Install3rdPartyComponent Cab URL being forwarded is. http://h/c.cab",
        "ozmInstaller::Install3rdPartyComponent file name being forwarded is. c.dll",
        "ozmInstaller::Install3rdPartyComponent class ID being forwarded is. {C1}",
        "ozmInstaller::Install3rdPartyComponent version being forwarded is. 1,0,0,1",
        "ozmInstaller::Install3rdPartyComponent location being forwarded is. localdata:X"}},
      {L"3 cred \"x y\" cab file id ver loc",
       {L"AuthCredential(cred)", L"ConfigurationString(x y)", L"InstallComponent(cab|file|id|ver|loc)"},
       {"ozmInstaller:: LogFile created", "ozmInstaller:: VELMORA_COMPONENT command received",
        "ozmInstaller::InstallComponent Team ID being forwarded is. cr***(4)",
        "ozmInstaller::InstallComponent URL Configuration being forwarded is. x y",
        "ozmInstaller::InstallComponent Cab URL being forwarded is. cab",
        "ozmInstaller::InstallComponent file name being forwarded is. file",
        "ozmInstaller::InstallComponent class ID being forwarded is. id",
        "ozmInstaller::InstallComponent version being forwarded is. ver",
        "ozmInstaller::InstallComponent location being forwarded is. loc"}},
      {L"4 cred cfg cab ver loc extra",
       {L"AuthCredential(cred)", L"ConfigurationString(cfg)", L"InstallComponentVer(cab|ver|loc)"},
       {"ozmInstaller:: LogFile created", "ozmInstaller:: VELMORA_VER_COMPONENT command received",
        "ozmInstaller::InstallComponentVer Team ID being forwarded is. cr***(4)",
        "ozmInstaller::InstallComponentVer URL Configuration being forwarded is. cfg",
        "ozmInstaller::InstallComponentVer Cab URL being forwarded is. cab",
        "ozmInstaller::InstallComponentVer version being forwarded is. ver",
        "ozmInstaller::InstallComponentVer location being forwarded is. loc"}},
      // The configuration word as the broker receives it: quoted, with a final backslash kept.
      {L"5 cred \"[InstallSettings]`C:\\dir\\`\\\\\" 10.0.0.1 https://h/p.msi",
       {L"AuthCredential(cred)", L"ConfigurationString([InstallSettings]\"C:\\dir\\\"\\)",
        L"InstallComponentMsi(10.0.0.1|https://h/p.msi)"},
       {"ozmInstaller:: LogFile created", "ozmInstaller:: VELMORA_MSI_COMPONENT command received",
        "ozmInstaller::InstallComponentMsi Team ID being forwarded is. cr***(4)",
        "ozmInstaller::InstallComponentMsi URL Configuration being forwarded is. [InstallSettings]`C:\\dir\\`\\",
        "ozmInstaller::InstallComponentMsi serverIP being forwarded is. 10.0.0.1",
        "ozmInstaller::InstallComponentMsi msiUrl being forwarded is. https://h/p.msi"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    installer_.calls.clear();
    std::vector<std::string> log;
    EXPECT_EQ(42u, Run(c.line, &log));
    EXPECT_EQ(c.calls, installer_.calls);
    EXPECT_EQ(c.log, log);
  }
}

TEST_F(LauncherCommand, TooFewWordsAnswerThreeAndCreateNothing) {
  // Each command's words stop one short; a lone unknown word and an empty line have fewer than three.
  const struct {
    const wchar_t* line;
    int words;
  } cases[] = {
      {L"2 cred cfg cab file id ver", 7}, {L"3 cred cfg cab file id ver", 7}, {L"4 cred cfg cab ver", 5},
      {L"5 cred cfg 10.0.0.1", 4},         {L"5 cred \"cfg\\\" 10.0.0.1 url", 3}, {L"7 foo", 2},
      {L"", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    std::vector<std::string> log;
    EXPECT_EQ(kLauncherTooFewWords, Run(c.line, &log));
    EXPECT_EQ(std::vector<std::string>({"ozmInstaller:: LogFile created",
                                        "ozmInstaller:: Arguments too few. " + std::to_string(c.words)}),
              log);
  }
  EXPECT_EQ(0, g_creations);
}

TEST_F(LauncherCommand, AnUnknownCommandFails) {
  for (const wchar_t* line : {L"1 a b c", L"7 foo bar", L"doInstall x y"}) {
    SCOPED_TRACE(Narrow(line));
    std::vector<std::string> log;
    EXPECT_EQ(kLauncherUnknownCommand, Run(line, &log));
    EXPECT_EQ(std::vector<std::string>({"ozmInstaller:: LogFile created", "ozmInstaller:: UNKNOWN command received"}), log);
  }
  EXPECT_EQ(0, g_creations);
}

TEST_F(LauncherCommand, AnInstallerThatCannotBeCreatedOrFailsIsAFailure) {
  const struct {
    HRESULT creation;
    HRESULT method;
    const char* logged;  // the creation failure's line, when it has one
  } cases[] = {
      {REGDB_E_CLASSNOTREG, S_OK, "ozmInstaller:: COM object could not be loaded. Error : REGDB_E_CLASSNOTREG"},
      {E_NOINTERFACE, S_OK, "ozmInstaller:: COM object could not be loaded. Error : E_NOINTERFACE"},
      {CLASS_E_NOAGGREGATION, S_OK, "ozmInstaller:: COM object could not be loaded. Error : CLASS_E_NOAGGREGATION"},
      {E_ACCESSDENIED, S_OK, nullptr},
      {S_OK, E_OUTOFMEMORY, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.creation << " " << c.method);
    g_creation = c.creation;
    installer_.methodResult = c.method;
    for (const wchar_t* line : {L"5 cred cfg 10.0.0.1 https://h/p.msi", L"4 cred cfg cab ver loc"}) {
      std::vector<std::string> log;
      EXPECT_EQ(static_cast<DWORD>(FAILED(c.creation) ? c.creation : c.method), Run(line, &log)) << Narrow(line);
      const bool logged = std::find(log.begin(), log.end(), c.logged ? c.logged : "") != log.end();
      EXPECT_EQ(c.logged != nullptr, logged) << Narrow(line);
    }
  }
}

TEST(LauncherUpdateCommandLine, IsRefusedWhenTooLongNeverCut) {
  const std::wstring msiexec = L"C:\\windows\\system32\\msiexec.exe";
  const std::wstring log = L"C:\\u\\Velmora\\LogFiles\\ozmUpdate.log";
  // The text around the package path: quotes, switches and the other two paths.
  const size_t fixed = std::wstring(L"\"\" /i \"\" /qn /l*v \"\" ADDLOCAL=ALL").size() + msiexec.size() + log.size();
  std::wstring line = L"untouched";
  const std::wstring fits(kUpdateCommandLineChars - fixed, L'p');
  ASSERT_EQ(0u, MsiexecCommandLine(msiexec, fits, log, &line));
  EXPECT_EQ(L"\"" + msiexec + L"\" /i \"" + fits + L"\" /qn /l*v \"" + log + L"\" ADDLOCAL=ALL", line);
  EXPECT_EQ(kUpdateCommandLineChars, line.size());
  line = L"untouched";
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), MsiexecCommandLine(msiexec, fits + L"p", log, &line));
  EXPECT_EQ(L"untouched", line);
}

// The installer class of this build's registered KESI.dll, created as the launcher creates it: the
// deprecated method answers 1.
TEST(LauncherRegistered, CreatesTheRegisteredInstallerInProcess) {
  EXPECT_EQ(1u, RunLauncher(L"4 FARLINK_ID=0123456789 [InstallSettings] http://127.0.0.1/c.cab 1,0,0,1 localdata:X"));
}

}  // namespace
}  // namespace kesi::launcher
