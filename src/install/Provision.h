#pragma once
// The agent provisioner: brings one agent that the appliance lists for this end point (an MSI package, a
// DLL, a configuration file or a phone book) up to date. It decides whether an update is needed, downloads
// the file into the user's deploy folder below the path of its URL (the broker's own package into the
// place the launcher installs it from, BrokerPackage.h), checks the signature of MSI packages and installs
// the file by its type. Every step writes its reason to "kesiProvisioner.log" (ciphered).
//
// The agent's URL and name come from the appliance: the folders, file name and log name they give are
// plain names or the agent is refused before anything is created or downloaded. A download goes to
// "<target>.part" and takes the target's name only once it is complete (and, for a package, trusted).
#include <windows.h>

#include <string>

#include "AgentList.h"
#include "AgentRules.h"
#include "LogFile.h"
#include "Msi.h"

namespace kesi::install {

// Product codes the provisioner knows by file name.
constexpr wchar_t kVpnClientProductCode[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";    // "tqclient"
constexpr wchar_t kVpnClient64ProductCode[] = L"{C338ACAC-7162-42E3-8B8C-85E5746F4A2E}";  // "tqclient64"
constexpr wchar_t kLwpProductCode[] = L"{1CC340A6-E2E8-4986-B4F6-300055258684}";          // "lwp"
constexpr wchar_t kOpswatProductCode[] = L"{743D18E2-1B67-4AA9-9E74-B392505A3565}";       // "opswat_epc.msi"
// The out code of Install for the broker's own package, which the launcher installs.
constexpr DWORD kProvisionHandedToLauncher = 1051;
constexpr wchar_t kProvisionUserAgent[] = L"Velmora Interrogator";

// What the provisioner asks of the system beyond files; tests replace entries (the defaults are the real
// calls: VerifyFileTrust, the services of Msi.h, MoveFileExW and the driver check of NetworkStack.h). The
// administrator test reads the token through GlobalFacts (GlobalFactSystem), whose seam tests replace.
struct ProvisionSystem {
  LONG (*verifyTrust)(const wchar_t* path);
  bool (*isVistaOrLater)();
  DWORD (*openPackage)(const wchar_t* packagePath, MsiPackage* package);
  DWORD (*queryProduct)(const wchar_t* productCode, MsiProduct* product);
  DWORD (*runMsiexec)(const wchar_t* packagePath, MsiUiLevel level, const wchar_t* logPath,
                      const wchar_t* installArguments);
  DWORD (*installVpnClient)(const wchar_t* packagePath, bool wasInstalled, const wchar_t* logPath, LogFile* log);
  DWORD (*uninstallProduct)(const wchar_t* productCode, MsiUiLevel level, const wchar_t* logPath,
                            const wchar_t* extraArguments);
  DWORD (*doMsiInstall)(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* reserved,
                        const wchar_t* extraArguments);
  BOOL(WINAPI* moveFile)(const wchar_t* from, const wchar_t* to, DWORD flags);
  bool (*driverPresent)();
};

ProvisionSystem& CurrentProvisionSystem();
ProvisionSystem SetProvisionSystem(const ProvisionSystem& system);
ProvisionSystem DefaultProvisionSystem();

// What the last Install did, for callers that report it.
enum class ProvisionOutcome {
  kNotRun,
  kRefused,         // no agent, no credential, or a URL or name that does not give a plain deploy place
  kFolderFailed,    // the deploy folder could not be made
  kCurrent,         // nothing to do
  kDownloadFailed,  // the download, the trust check or the rename into place failed
  kInstalled,
  kInstallFailed,
  kHandedToLauncher,  // the broker's package: the launcher installs it (out code 1051)
};

class Cprovision {
 public:
  // Makes the folders, opens the log and keeps the credential taken from credential (the cookie text;
  // null counts as empty). A credential that does not fit its field is refused (Install then fails).
  explicit Cprovision(const wchar_t* credential);
  ~Cprovision();
  Cprovision(const Cprovision&) = delete;
  Cprovision& operator=(const Cprovision&) = delete;

  // The agent to provision (not owned; it must outlive the calls that use it).
  void setAgent(AgentRecord* agent);
  // True when the agent is current or was installed. *code becomes 1051 for the broker's own package.
  bool Install(DWORD* code);

  // The steps, named as the log names them.
  bool DeployDirectoryCreate(std::wstring* folder);
  bool Download(const std::wstring& target);
  LONG CheckTrust(const std::wstring& path);
  bool NeedsUpdated(const std::wstring& target);
  bool OpswatNeedsUpdated(const std::wstring& target);
  bool CompareVersion(const std::wstring& target);
  bool CommonMsiCompareVersion(const MsiProduct& product);
  bool OpswatCommonMsiCompareVersion(const MsiProduct& product);
  bool installDll(const std::wstring& target);
  bool installCfg(const std::wstring& target);
  bool installPbk(const std::wstring& target);
  bool installMsi(const std::wstring& target);
  bool installFullyEncapsulatedComponent(const std::wstring& target);

  // The transfer's allowed certificate problems and options (FileTransfer.h); 0 and 0 unless a caller
  // such as a console tool says otherwise.
  void SetTransfer(DWORD allowedSecurityFlags, DWORD options);
  void SetOpswatInstalled(bool installed) { opswatInstalled_ = installed; }

  const std::wstring& BaseFolder() const { return baseFolder_; }
  const std::wstring& LogFolder() const { return logFolder_; }
  const wchar_t* LogPath() const { return log_.Path(); }
  // The last Install's target path (empty before a target was formed), outcome and step result (the
  // transfer, trust, msiexec or product code behind a failure; 0 otherwise).
  const std::wstring& Target() const { return target_; }
  ProvisionOutcome Outcome() const { return outcome_; }
  DWORD LastResult() const { return lastResult_; }

 private:
  void Log(const wchar_t* format, ...);
  std::wstring AgentText(const RQString& text) const;
  std::wstring AgentName() const;
  bool EnsureFolder(const std::wstring& folder);

  LogFile log_;
  AgentRecord* agent_ = nullptr;
  wchar_t credential_[kCredentialChars] = {};
  DWORD credentialError_ = 0;
  std::wstring baseFolder_;
  std::wstring logFolder_;
  std::wstring msiLogPath_;
  bool opswatInstalled_ = false;
  DeployPlace place_;
  std::wstring deployFolder_;
  std::wstring target_;
  ProvisionOutcome outcome_ = ProvisionOutcome::kNotRun;
  DWORD lastResult_ = 0;
  DWORD allowedSecurityFlags_ = 0;
  DWORD transferOptions_ = 0;
};

}  // namespace kesi::install
