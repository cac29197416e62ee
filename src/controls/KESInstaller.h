#pragma once
// KESInstaller: the scriptable object through which an appliance page has the VPN client package
// installed. The page gives it the session credential and the install configuration, asks whether the
// client is installed and has it installed from a URL; the object writes the configuration to
// "tqsetup.ini", fetches "tqvpn.msi" and hands both to DoMsiInstall. Every call logs to
// "KESInstaller.log".
#include <windows.h>

#include "ComFrame.h"

namespace kesi::controls {

class KESInstaller final : public ScriptableObject<IKESInstaller> {
 public:
  KESInstaller() noexcept;
  ~KESInstaller() override;

  // IKESInstaller
  STDMETHODIMP Install3rdPartyComponent(BSTR CabURL, BSTR FileName, BSTR ClassID, BSTR VersionString, BSTR Location,
                                        ULONG* result) override;
  STDMETHODIMP InstallComponent(BSTR CabURL, BSTR FileName, BSTR ClassID, BSTR VersionString, BSTR Location,
                                ULONG* result) override;
  STDMETHODIMP InstallComponentVer(BSTR CabURL, BSTR VersionString, BSTR Location, ULONG* result) override;
  STDMETHODIMP IsComponentMsiInstalled(BSTR* isInstalled) override;
  STDMETHODIMP InstallComponentMsi(BSTR serverIP, BSTR MsiURL, ULONG* result) override;
  STDMETHODIMP get_ConfigurationString(BSTR* pVal) override;
  STDMETHODIMP put_ConfigurationString(BSTR newVal) override;
  STDMETHODIMP get_AuthCredential(BSTR* pVal) override;
  STDMETHODIMP put_AuthCredential(BSTR newVal) override;

  // Operations outside the type library.
  STDMETHODIMP InstallerVersion(BSTR* version);
  STDMETHODIMP InstallerName(BSTR* name);
  STDMETHODIMP IsComponentMsiCfgInstalled(BSTR* isInstalled);
  STDMETHODIMP InstallComponentMsiCfg(ULONG* result);

 private:
  // The fields of the object (configuration, credential, configuration file) come with the installer's
  // methods.
};

}  // namespace kesi::controls
