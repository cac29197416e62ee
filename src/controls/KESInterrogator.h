#pragma once
// KESInterrogator: the scriptable object through which a web page has the end point interrogated. The
// page gives it the session credential and the appliance's URLs; the object hands the work to the broker
// program, which runs the logon interrogation on its own instance of this object (DoInterrogationLogon):
// connect, fetch the list, evaluate, post, provision and deploy agents, and start the recurring
// interrogation. A few installer operations are forwarded to an inner KESInstaller.
#include <windows.h>

#include "ComFrame.h"

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
  // Hidden members for script hosts without a page site (a sited object refuses them with result 5).
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
  // The fields of the object come with its methods.
};

}  // namespace kesi::controls
