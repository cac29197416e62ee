#pragma once
// KESInterrogator: the scriptable object through which a web page has the end point interrogated. The
// page gives it the session credential and the appliance's URLs; the object hands the work to the broker
// program, which runs the logon interrogation on its own instance of this object (DoInterrogationLogon):
// connect, fetch the list, evaluate, post, provision and deploy agents, and start the recurring
// interrogation. A few installer operations are forwarded to an inner KESInstaller.
#include <windows.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "ComFrame.h"
#include "LogFile.h"

namespace kesi {
class ConfigurationRoute;
class LogonAgent;
class SystemInterrogator;
}  // namespace kesi

namespace kesi::controls {

class KESInterrogator final : public ScriptableObject<IKESInterrogator> {
 public:
  KESInterrogator() noexcept;
  ~KESInterrogator() override;

  // IKESInterrogator
  STDMETHODIMP get_VersionString(BSTR* pVal) override;
  STDMETHODIMP get_AuthCredential(BSTR* pVal) override;
  STDMETHODIMP put_AuthCredential(BSTR newVal) override;
  STDMETHODIMP GetVersion(BSTR* version) override;
  STDMETHODIMP SetPBwindow(OLE_HANDLE progressBar) override;
  STDMETHODIMP PushLogsAndReturnCode(BSTR PushLogUrl, ULONG* result) override;
  STDMETHODIMP GetLogFileLocation(BSTR* pVal) override;
  STDMETHODIMP IsComponentMsiInstalled(BSTR* isInstalled) override;
  STDMETHODIMP InstallComponentMsi(BSTR serverIP, BSTR MsiURL, ULONG* result) override;
  STDMETHODIMP get_ConfigurationString(BSTR* pVal) override;
  STDMETHODIMP put_ConfigurationString(BSTR newVal) override;
  STDMETHODIMP DoVistaInterrogation(BSTR authID, BSTR urlConfiguration, BSTR urlPost, ULONG* result) override;
  // Hidden members for script hosts without a page (an object whose site tells a page URL refuses them
  // with result 5).
  STDMETHODIMP RunLogonInterrogation(BSTR urlConfiguration, BSTR urlPost, ULONG* result) override;
  STDMETHODIMP get_Zone(BSTR* zone) override;

  // Operations outside the type library: what the broker and the programs call on their own instance.
  STDMETHODIMP get_Name(BSTR* name);
  // The configuration-file route.
  STDMETHODIMP Run(LONG* code);
  STDMETHODIMP ReadInterrogationConfiguration(const wchar_t* url, LONG* code);
  STDMETHODIMP PostResult(const wchar_t* url, const wchar_t* cookie, LONG* code);
  STDMETHODIMP PostResult(const wchar_t* url, LONG* code);
  // The logon flow.
  STDMETHODIMP ProvisionAgents(LONG* code);
  STDMETHODIMP GetRecurringThread(HANDLE* thread);
  STDMETHODIMP DeployAgents(LONG* code);
  // S_OK with *code 0 (success), 1 (failure) or 3 (LOGOUT); 1051 when the broker's own update is to be
  // handed to the install launcher (*code untouched).
  STDMETHODIMP DoInterrogationLogon(const wchar_t* urlConfiguration, const wchar_t* urlPost, LONG* code);
  STDMETHODIMP RemoteInstallComponentVer(const wchar_t* cabUrl, const wchar_t* versionString, const wchar_t* location,
                                         LONG* code);
  STDMETHODIMP RemoteInstallComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                                      const wchar_t* versionString, const wchar_t* location, LONG* code);
  STDMETHODIMP RemoteInstall3rdPartyComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                                              const wchar_t* versionString, const wchar_t* location, LONG* code);
  STDMETHODIMP RunLogon(LONG* code);
  STDMETHODIMP GetConfigurationLogon(const wchar_t* urlConfiguration, LONG* code);
  STDMETHODIMP PostResultLogon(const wchar_t* urlPost, LONG* code);
  STDMETHODIMP GetLocation(BSTR* location);
  // The mobile path: a bounded download and hand-off that returns a code (never ends the process).
  DWORD ConnectMobile(const wchar_t* url);

 protected:
  HRESULT FinalConstruct() override;

 private:
  // Log lines go through these so that a reopening of the log (DoVistaInterrogation) never meets a write.
  void Log(int level, const wchar_t* format, ...);
  void LogMsg(int level, DWORD messageId, ...);
  // One PBM_STEPIT to the progress window, when it is a window; a hung window is passed over.
  void ProgressStep();
  // The upload of a log file to the appliance (procedure-free: the agent's log upload), logged 2170/2171.
  DWORD PushLogs(const wchar_t* path);
  // The credential and the installer configuration that the broker's commands carry.
  void InstallerSettings(std::wstring* credential, std::wstring* configuration);
  // Sends a remote install command ("2" to "4") built from words to the broker.
  // The credential as the page set it, copied under the object's lock.
  std::wstring CredentialCopy();
  void RemoteInstall(const wchar_t* command, std::initializer_list<std::wstring_view> words, LONG* code);
  // True (and the refusal logged) when the object is hosted by a page whose host is not url's.
  bool RefusedByPageHost(const wchar_t* operation, const wchar_t* url);
  HRESULT RunLogonFlow(const wchar_t* urlConfiguration, const wchar_t* urlPost, LONG* code);

  // Fields are copied or replaced under Lock(); the log under logLock_. A logon flow or a configuration-
  // file operation holds flowLock_ for its whole run, since the engine, the route and the log they write
  // serve one run at a time.
  CriticalSection logLock_;
  CriticalSection flowLock_;
  LogFile log_;
  std::wstring credential_;
  bool credentialSet_ = false;
  std::wstring serverName_;
  bool serverNameSet_ = false;
  std::wstring teamCredential_;
  int recurringInterval_ = -1;
  std::wstring zone_;
  LogonAgent* agent_ = nullptr;
  SystemInterrogator* engine_ = nullptr;
  std::unique_ptr<ConfigurationRoute> route_;
  ComPtr<IKESInstaller> installer_;
  bool logBundleMade_ = false;
  std::wstring bundlePath_;
  HWND progressWindow_ = nullptr;
};

}  // namespace kesi::controls
