#pragma once
// KESInstaller: the scriptable object through which an appliance page has the VPN client package
// installed. The page gives it the session credential and the install configuration, asks whether the
// client is installed and has it installed from a URL; the object writes the configuration to
// "tqsetup.ini", fetches "tqvpn.msi" and hands both to DoMsiInstall. Every call logs to
// "KESInstaller.log".
#include <windows.h>

#include <string>

#include "ComFrame.h"

namespace kesi {
class LogFile;
}

namespace kesi::controls {

constexpr wchar_t kInstallerName[] = L"Velmora Installer";
constexpr wchar_t kConfigurationFileName[] = L"tqsetup.ini";
constexpr wchar_t kPackageFileName[] = L"tqvpn.msi";
constexpr wchar_t kBrandingFileName[] = L"CustomBranding.zip";
constexpr wchar_t kInstallerUserAgent[] = L"Velmora Interrogator";
// The code in `result` when the branding archive's MD5 digest is not the one the configuration names.
constexpr DWORD kBrandingDigestMismatch = static_cast<DWORD>(CRYPT_E_HASH_VALUE);

// The branding step of InstallComponentMsi (the branding archive named in the configuration, fetched,
// checked against its digest and handed to the package) is the broker's: the broker program turns it on
// for its process before it creates an installer object.
void EnableBrokerBranding(bool on = true);
bool BrokerBrandingEnabled();

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
  // Writes the configuration file when it is missing or older than the configuration: 0, or the error
  // (87 without a configuration). *configFile receives its path.
  DWORD EnsureConfigurationFile(LogFile* log, std::wstring* configFile);
  // The common part of IsComponentMsiInstalled and IsComponentMsiCfgInstalled.
  HRESULT QueryInstalled(BSTR* isInstalled, bool cfg);

  // Fields, read and replaced under Lock().
  std::wstring configuration_;
  bool hasConfiguration_ = false;
  std::wstring credential_;
  bool hasCredential_ = false;
  // Each put of the configuration counts up; the file is current while it holds the count it was
  // written for.
  unsigned configurationVersion_ = 0;
  std::wstring configFile_;
  unsigned configFileVersion_ = 0;
  // Serialises this object's writes of its configuration file.
  CriticalSection fileLock_;
};

}  // namespace kesi::controls
