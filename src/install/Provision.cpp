#include "Provision.h"

#include <shlobj.h>

#include <cstdarg>
#include <cwchar>
#include <new>

#include "BrokerPackage.h"
#include "CookieList.h"
#include "FileTransfer.h"
#include "GlobalFacts.h"
#include "InstallPath.h"
#include "LogFolder.h"
#include "InstallSystem.h"
#include "ModuleVersion.h"
#include "NetworkStack.h"
#include "SecureWipe.h"
#include "SecurityChecks.h"

namespace kesi::install {
namespace {

constexpr wchar_t kPartSuffix[] = L".part";
constexpr wchar_t kMovedAsideSuffix[] = L".aside";

LONG DefaultVerifyTrust(const wchar_t* path) { return VerifyFileTrust(nullptr, path, kTrustNoUi | kTrustVerifyState); }

}  // namespace

namespace {

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameText(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

// The file name of a path and its name without the extension.
std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
std::wstring StemOf(const std::wstring& path) {
  std::wstring name = FileNameOf(path);
  const size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}
std::wstring ExtensionOf(const std::wstring& path) {
  std::wstring name = FileNameOf(path);
  const size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

std::wstring VersionText(const MsiVersion& version) {
  return ThreePartText(ThreePartVersion{version.major, version.minor, version.build});
}
ThreePartVersion AsThreePart(const MsiVersion& version) {
  return ThreePartVersion{version.major, version.minor, version.build};
}

bool MsiSucceeded(DWORD code) { return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED || code == ERROR_SUCCESS_REBOOT_INITIATED; }

}  // namespace

ProvisionSystem DefaultProvisionSystem() {
  return ProvisionSystem{&DefaultVerifyTrust, &IsVistaOrLater, &OpenMsiPackage,
                         &QueryMsiProduct,    &RunAgentMsiexec,        &InstallVpnClientAgent, &UninstallMsiProduct,
                         &DoMsiInstall,       &MoveFileExW,            &DriverPresent};
}

ProvisionSystem& CurrentProvisionSystem() {
  static ProvisionSystem system = DefaultProvisionSystem();
  return system;
}

ProvisionSystem SetProvisionSystem(const ProvisionSystem& system) {
  const ProvisionSystem previous = CurrentProvisionSystem();
  CurrentProvisionSystem() = system;
  return previous;
}

// ---- construction ----------------------------------------------------------------------------------

Cprovision::Cprovision(const wchar_t* credential) {
  wchar_t appData[MAX_PATH] = L"";
  wchar_t logFolder[MAX_PATH] = L"";
  if (PrepareLogFolder(appData, logFolder, true) == ERROR_SUCCESS) {
    try {
      baseFolder_ = std::wstring(appData) + L"\\Velmora";
      logFolder_ = logFolder;
    } catch (const std::bad_alloc&) {
      baseFolder_.clear();
      logFolder_.clear();
    }
  }
  log_.SetCipher(true);
  if (!logFolder_.empty()) {
    std::wstring path;
    if (JoinInstallPath(&path, {logFolder_.c_str(), L"\\", kProvisionerLogName}) == 0 &&
        log_.Open(path.c_str(), kLogPathAsGiven, nullptr) == ERROR_SUCCESS)
      Log(L"createLogFile: Log started");
  }
  Log(L"Cprovision: provisioner created \r\n");

  std::wstring given(credential ? credential : L"");
  // The credential is a secret: the log shows its names only.
  Log(L"Cprovision: credential received is %s", MaskCookieValues(given).c_str());
  std::wstring taken;
  credentialError_ = CredentialFromCookieText(given.c_str(), &taken);
  if (credentialError_ == 0) {
    wmemcpy(credential_, taken.c_str(), taken.size() + 1);
    Log(L"Cprovision: Credential set to : %s", MaskCookieValues(taken).c_str());
  } else {
    Log(L"Cprovision: credential refused, longer than its %u characters", static_cast<unsigned>(kCredentialChars - 1));
  }
  if (!given.empty()) SecureWipe(&given[0], given.size() * sizeof(wchar_t));
  if (!taken.empty()) SecureWipe(&taken[0], taken.size() * sizeof(wchar_t));
}

Cprovision::~Cprovision() {
  SecureWipe(credential_, sizeof credential_);
  Log(L"Cprovision: provisioner deleted");
  log_.Close();
}

void Cprovision::Log(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log_.Print(kLogInfo, format, &args);
  va_end(args);
}

std::wstring Cprovision::AgentText(const RQString& text) const {
  return text.IsEmpty() ? std::wstring() : std::wstring(static_cast<const wchar_t*>(text));
}

std::wstring Cprovision::AgentName() const { return agent_ ? AgentText(agent_->name) : std::wstring(); }

void Cprovision::SetTransfer(DWORD allowedSecurityFlags, DWORD options) {
  allowedSecurityFlags_ = allowedSecurityFlags;
  transferOptions_ = options;
}

void Cprovision::setAgent(AgentRecord* agent) {
  agent_ = agent;
  Log(L"provisioning new component");
  if (!agent) return;
  struct Field {
    const RQString& text;
    const wchar_t* present;
    const wchar_t* absent;
  };
  const Field fields[] = {
      {agent->name, L"setAgent: Agent name: %s", L"setAgent: Agent name not present"},
      {agent->url, L"setAgent: Agent url: %s", L"setAgent: Agent url not present"},
      {agent->version, L"setAgent: Agent version: %s", L"setAgent: Agent version not present"},
      {agent->installArguments, L"setAgent: Agent install arguments: %s", L"setAgent: Agent install arguments not present"},
      {agent->targetUser, L"setAgent: Agent target user: %s", L"setAgent: Agent target user not present"},
      {agent->fileType, L"setAgent: Agent file type: %s", L"setAgent: Agent file type no present"},
  };
  for (const Field& field : fields) {
    if (field.text.IsEmpty()) Log(field.absent);
    else Log(field.present, static_cast<const wchar_t*>(field.text));
  }
}

// ---- Install ---------------------------------------------------------------------------------------

bool Cprovision::Install(DWORD* code) {
  try {
    target_.clear();
    lastResult_ = 0;
    outcome_ = ProvisionOutcome::kRefused;
    Log(L"Install: starting %s component install process", AgentName().c_str());
    if (!agent_) {
      lastResult_ = ERROR_INVALID_PARAMETER;
      Log(L"Install: no agent set");
      return false;
    }
    if (credentialError_) {
      lastResult_ = credentialError_;
      Log(L"Install: credential refused, component not provisioned");
      return false;
    }
    // The URL and the name decide where files land: both are checked before anything is made.
    const std::wstring name = AgentName();
    if (DeployPlaceFromUrl(AgentText(agent_->url).c_str(), &place_) != 0 ||
        (!name.empty() && CheckInstallEntryName(name.c_str()) != 0)) {
      lastResult_ = ERROR_INVALID_PARAMETER;
      Log(L"Install: Deploy target location create failed");
      return false;
    }
    if (!DeployDirectoryCreate(&deployFolder_)) {
      outcome_ = ProvisionOutcome::kFolderFailed;
      Log(L"Install: Deploy directory creation failed");
      return false;
    }
    std::wstring target;
    DWORD placed = JoinInstallPath(&target, {deployFolder_.c_str(), L"\\", place_.fileName.c_str()});
    // The broker's package goes where the launcher's update installs it from, whatever folders its URL
    // names: a copy below them would never be installed.
    if (placed == 0 && IsBrokerPackageTarget(target)) placed = BrokerPackagePath(&target);
    if (placed != 0 || target.size() + wcslen(kPartSuffix) >= kInstallPathChars) {
      lastResult_ = ERROR_FILENAME_EXCED_RANGE;
      Log(L"Install: Deploy target location create failed");
      return false;
    }
    target_ = target;
    Log(L"Install: Deploy target location: %s", target.c_str());

    if (SameText(place_.fileName, L"opswat_epc.msi")) {
      Log(L"Install: opswat_epc.msi");
      if (!OpswatNeedsUpdated(target)) {
        outcome_ = ProvisionOutcome::kCurrent;
        return true;
      }
    } else if (SameText(place_.fileName, L"opswat.msi")) {
      Log(L"Install: opswat.msi");
      outcome_ = ProvisionOutcome::kCurrent;
      return true;
    } else if (!NeedsUpdated(target)) {
      Log(L"Install: Update of current version not required");
      outcome_ = ProvisionOutcome::kCurrent;
      return true;
    }

    Log(L"Install: Update of current version is required");
    if (!Download(target)) {
      outcome_ = ProvisionOutcome::kDownloadFailed;
      Log(L"Install: Component download failed");
      return false;
    }
    Log(L"Install: Component download successful");

    bool installed = false;
    const std::wstring& extension = place_.extension;
    if (extension == L".msi") {
      Log(L"Install: checking for kesiVista");
      if (IsBrokerPackageTarget(target)) {
        Log(L"Install: punting install of kesiVista to ozmInstaller");
        if (code) *code = kProvisionHandedToLauncher;
        outcome_ = ProvisionOutcome::kHandedToLauncher;
        return false;
      }
      Log(L"Install: installing MSI");
      installed = installMsi(target);
      Log(installed ? L"Install: MSI installed" : L"Install: MSI install failed");
    } else if (extension == L".dll") {
      Log(L"Install: installing DLL");
      installed = installDll(target);
      Log(installed ? L"Install: DLL installed" : L"Install: DLL install failed");
    } else if (extension == L".cfg") {
      Log(L"Install: installing CFG");
      installed = installCfg(target);
      Log(installed ? L"Install: CFG installed" : L"Install: CFG install failed");
    } else if (extension == L".pbk") {
      Log(L"Install: installing PBK");
      installed = installPbk(target);
      Log(installed ? L"Install: PBK installed" : L"Install: PBK install failed");
    }
    outcome_ = installed ? ProvisionOutcome::kInstalled : ProvisionOutcome::kInstallFailed;
    Log(L"Install: component %s provisioning complete\r\n", target.c_str());
    return installed;
  } catch (const std::bad_alloc&) {
    lastResult_ = ERROR_OUTOFMEMORY;
    outcome_ = ProvisionOutcome::kRefused;
    return false;
  }
}

bool Cprovision::EnsureFolder(const std::wstring& folder) {
  return FolderExists(folder) || CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Cprovision::DeployDirectoryCreate(std::wstring* folder) {
  const std::wstring deploy = baseFolder_ + L"\\deploy";
  Log(L"DeployDirectoryCreate: creating directory: %s", deploy.c_str());
  if (baseFolder_.empty()) {
    Log(L"DeployDirectoryCreate: directory creation failed");
    return false;
  }
  if (!FolderExists(baseFolder_)) {
    Log(L"DeployDirectoryCreate: %s directory does not exist", baseFolder_.c_str());
    if (!EnsureFolder(baseFolder_)) {
      Log(L"DeployDirectoryCreate: directory creation failed");
      return false;
    }
  }
  if (!FolderExists(deploy)) {
    Log(L"DeployDirectoryCreate: directory does not exist");
    if (!EnsureFolder(deploy)) {
      Log(L"DeployDirectoryCreate: directory creation failed");
      return false;
    }
  }
  Log(L"DeployDirectoryCreate: directory creation successful, creating subdirectories");
  std::wstring path = deploy;
  if (!place_.folders.empty()) {
    std::wstring below;
    for (const std::wstring& element : place_.folders) below += (below.empty() ? L"" : L"\\") + element;
    Log(L"DeployDirectoryCreate: creating directories: %s", below.c_str());
  }
  for (const std::wstring& element : place_.folders) {
    if (JoinInstallPath(&path, {path.c_str(), L"\\", element.c_str()}) != 0) {
      Log(L"DeployDirectoryCreate: subdirectory name creation failed");
      return false;
    }
    Log(L"DeployDirectoryCreate: creating directory: %s", path.c_str());
    if (!FolderExists(path)) {
      Log(L"DeployDirectoryCreate: sub directory does not exist");
      if (!EnsureFolder(path)) {
        Log(L"DeployDirectoryCreate: subdirectory creation failed");
        return false;
      }
      Log(L"DeployDirectoryCreate: subdirectory creation successful");
    }
  }
  *folder = path;
  return true;
}

// ---- Download and trust ----------------------------------------------------------------------------

LONG Cprovision::CheckTrust(const std::wstring& path) { return CurrentProvisionSystem().verifyTrust(path.c_str()); }

bool Cprovision::Download(const std::wstring& target) {
  const std::wstring url = AgentText(agent_->url);
  Log(L"Download: network file: %s to local file: %s ", url.c_str(), target.c_str());
  // The file takes the target's name only when it is whole and trusted, so that a later run never
  // takes a partial or refused download for the current version.
  const std::wstring part = target + kPartSuffix;
  DeleteFileW(part.c_str());
  TransferRequest request;
  request.url = url.c_str();
  request.localPath = part.c_str();
  request.allowedSecurityFlags = allowedSecurityFlags_;
  request.options = transferOptions_;
  request.userAgent = kProvisionUserAgent;
  request.cookies = credential_;
  // A body that ends before its announced size fails the transfer (38).
  DWORD rc = RunTransfer(request);
  if (rc != ERROR_SUCCESS) {
    DeleteFileW(part.c_str());
    lastResult_ = rc;
    Log(L"Download: download failed, error: %d", static_cast<int>(rc));
    return false;
  }
  Log(L"Download: download successful");
  if (SameText(ExtensionOf(target), L".msi")) {
    const LONG trust = CheckTrust(part);
    if (trust != 0) {
      DeleteFileW(part.c_str());
      lastResult_ = static_cast<DWORD>(trust);
      Log(L"Download: CheckTrust failed. Error: %d", static_cast<int>(trust));
      return false;
    }
    Log(L"Download: CheckTrust passed. File belongs to Velmora");
  } else {
    Log(L"Download: CheckTrust bypassed. File is other than MSI");
  }
  if (!MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    rc = GetLastError();
    DeleteFileW(part.c_str());
    lastResult_ = rc;
    Log(L"Download: download failed, error: %d", static_cast<int>(rc));
    return false;
  }
  return true;
}

// ---- decisions -------------------------------------------------------------------------------------

bool Cprovision::NeedsUpdated(const std::wstring& target) {
  const std::wstring stem = StemOf(target);
  const std::wstring extension = ExtensionOf(target);
  if (SameText(extension, L".dll") && (SameText(stem, L"AVManager") || SameText(stem, L"FWManager") ||
                                       SameText(stem, L"OPSWATAVCommon") || SameText(stem, L"OPSWATProcessesScanner"))) {
    Log(L"NeedsUpdated: Skipping file: %s", target.c_str());
    return false;
  }
  const wchar_t* productCode = nullptr;
  if (SameText(stem, L"tqclient")) productCode = kVpnClientProductCode;
  else if (SameText(stem, L"tqclient64")) productCode = kVpnClient64ProductCode;
  else if (SameText(stem, L"lwp")) {
    if (!IsAdministrator()) return false;
    productCode = kLwpProductCode;
  }
  if (productCode) {
    MsiProduct product;
    if (CurrentProvisionSystem().queryProduct(productCode, &product) == ERROR_SUCCESS && product.installed) {
      if (CommonMsiCompareVersion(product)) {
        Log(L"NeedsUpdated: file %s requires update", target.c_str());
        return true;
      }
      Log(L"NeedsUpdated: file %s does not require update", target.c_str());
      return false;
    }
    Log(L"NeedsUpdated: file %s not installed", target.c_str());
  }
  if (!FileExists(target)) {
    Log(L"NeedsUpdated: file does not exist: %s", target.c_str());
    return true;
  }
  if (CompareVersion(target)) {
    Log(L"NeedsUpdated: file %s does require update", target.c_str());
    return true;
  }
  Log(L"NeedsUpdated: file %s does not require update", target.c_str());
  return false;
}

bool Cprovision::OpswatNeedsUpdated(const std::wstring& target) {
  Log(L"OpswatNeedsUpdated: DeployFile %s", target.c_str());
  if (!FileExists(target)) {
    Log(L"OpswatNeedsUpdated: file does not exist: %s", target.c_str());
    return true;
  }
  MsiProduct product;
  if (CurrentProvisionSystem().queryProduct(kOpswatProductCode, &product) != ERROR_SUCCESS || !product.installed) {
    Log(L"OpswatNeedsUpdated: not installed");
    return true;
  }
  Log(L"OpswatNeedsUpdated: PRODUCT_OPSWAT_CODE installed");
  if (OpswatCommonMsiCompareVersion(product)) {
    Log(L"OpswatNeedsUpdated: file %s requires update", target.c_str());
    return true;
  }
  Log(L"OpswatNeedsUpdated: file %s does not require update", target.c_str());
  return false;
}

bool Cprovision::CommonMsiCompareVersion(const MsiProduct& product) {
  const std::wstring agentVersion = AgentText(agent_->version);
  Log(L"CommonMsiCompareVersion: retreiving version info");
  Log(L"CommonMsiCompareVersion: agent version: %s", agentVersion.c_str());
  Log(L"CommonMsiCompareVersion: Installed MSI file version = %s", VersionText(product.version).c_str());
  ThreePartVersion reduced;
  if (!ReduceAgentVersion(agentVersion.c_str(), &reduced)) return false;
  return CompareThreePart(reduced, AsThreePart(product.version)) > 0;
}

bool Cprovision::OpswatCommonMsiCompareVersion(const MsiProduct& product) {
  const std::wstring agentVersion = AgentText(agent_->version);
  Log(L"OpswatCommonMsiCompareVersion: retreiving version info");
  Log(L"OpswatCommonMsiCompareVersion: agent version: %s", agentVersion.c_str());
  Log(L"OpswatCommonMsiCompareVersion: Installed MSI file version = %s", VersionText(product.version).c_str());
  ThreePartVersion reduced;
  if (!ReduceAgentVersion(agentVersion.c_str(), &reduced)) return false;
  return CompareThreePart(reduced, AsThreePart(product.version)) != 0;
}

bool Cprovision::CompareVersion(const std::wstring& target) {
  const std::wstring agentVersion = AgentText(agent_->version);
  Log(L"CompareVersion: retreiving version info for: %s", target.c_str());
  Log(L"CompareVersion: agent version: %s", agentVersion.c_str());
  const std::wstring extension = ExtensionOf(target);
  if (SameText(extension, L".msi")) {
    if (agentVersion.empty()) {
      Log(L"CompareVersion: bad version data for the msi type agent, bypass update");
      return false;
    }
    ThreePartVersion reduced;
    if (!ReduceAgentVersion(agentVersion.c_str(), &reduced)) {
      Log(L"CompareVersion: agent version could not be reduced, bypass update");
      return false;
    }
    Log(L"CompareVersion: Remote MSI file version = %s", ThreePartText(reduced).c_str());
    MsiPackage package;
    if (CurrentProvisionSystem().openPackage(target.c_str(), &package) != ERROR_SUCCESS) {
      Log(L"CompareVersion: MSI file version not accessible, force update");
      return true;
    }
    Log(L"CompareVersion: Local MSI file version = %s", VersionText(package.version).c_str());
    return CompareThreePart(reduced, AsThreePart(package.version)) > 0;
  }
  if (SameText(extension, L".dll")) {
    CModuleVersion version;
    WORD major = 0, minor = 0, build = 0, revision = 0;
    if (version.Load(target.c_str()) != ERROR_SUCCESS ||
        !version.GetFileVersion(&major, &minor, &build, &revision)) {
      Log(L"CompareVersion: GetFileVersionInfoSize failed, bypass update");
      return false;
    }
    wchar_t fileVersion[64];
    swprintf(fileVersion, 64, L"%d.%d.%d.%d", major, minor, build, revision);
    Log(L"CompareVersion: DLL file version %s", fileVersion);
    if (DllVersionNeedsUpdate(agentVersion.c_str(), fileVersion)) {
      Log(L"CompareVersion: versions are not the same, update required");
      return true;
    }
    Log(L"CompareVersion: versions are the same, update not required");
    return false;
  }
  Log(L"CompareVersion: GetFileVersionInfoSize failed, bypass update");
  return false;
}

// ---- installing by type ----------------------------------------------------------------------------

bool Cprovision::installDll(const std::wstring& target) {
  Log(L"installDll: installing: %s", target.c_str());
  auto makeFolder = [this](const std::wstring& folder) {
    if (FolderExists(folder)) return true;
    Log(L"installDll: creating target directory: %s", folder.c_str());
    if (!EnsureFolder(folder)) {
      Log(L"installDll: create directory failed");
      return false;
    }
    Log(L"installDll: create directory successful");
    return true;
  };
  const std::wstring opswat = baseFolder_ + L"\\opswat";
  if (!makeFolder(opswat)) return false;
  if (opswatInstalled_) {
    Log(L"installation successful for opswat");
    return true;
  }
  const std::wstring rq = opswat + L"\\RQ";
  if (!makeFolder(rq)) return false;
  std::wstring copy;
  if (JoinInstallPath(&copy, {rq.c_str(), L"\\", FileNameOf(target).c_str()}) != 0) {
    Log(L"installDll: DLL install failed");
    return false;
  }
  Log(L"installDll: copying DLL to: %s", copy.c_str());
  if (!CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
    lastResult_ = GetLastError();
    Log(L"installDll: DLL install failed");
    return false;
  }
  Log(L"installDll: DLL install successful");
  return true;
}

bool Cprovision::installCfg(const std::wstring& target) {
  std::wstring copy;
  const bool joined = JoinInstallPath(&copy, {baseFolder_.c_str(), L"\\", FileNameOf(target).c_str()}) == 0;
  Log(L"installCfg: copying CFG to: %s", copy.c_str());
  if (!joined || !CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
    lastResult_ = joined ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    Log(L"installDll: CFG install failed");
    return false;
  }
  Log(L"installDll: CFG install successful");
  return true;
}

bool Cprovision::installPbk(const std::wstring& target) {
  std::wstring copy;
  const bool joined = JoinInstallPath(&copy, {baseFolder_.c_str(), L"\\", FileNameOf(target).c_str()}) == 0;
  Log(L"installPbk: copying PBK to: %s", copy.c_str());
  if (!joined || !CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
    lastResult_ = joined ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    Log(L"installPbk: PBK install failed");
    return false;
  }
  Log(L"installDll: PBK install successful");
  return true;
}

bool Cprovision::installMsi(const std::wstring& target) {
  Log(L"installMsi: installing fully encapsulated MSI");
  if (!installFullyEncapsulatedComponent(target)) return false;
  Log(L"installMsi: fully encapsulated MSI installed");
  return true;
}

bool Cprovision::installFullyEncapsulatedComponent(const std::wstring& target) {
  const ProvisionSystem& system = CurrentProvisionSystem();
  Log(L"installFullyEncapsulatedComponent: installing: %s", target.c_str());
  msiLogPath_ = logFolder_ + L"\\" + AgentName() + L".log";
  Log(L"installFullyEncapsulatedComponent: logging to: %s", msiLogPath_.c_str());
  const std::wstring stem = StemOf(target);
  const bool vpnClient = SameText(stem, L"tqclient") || SameText(stem, L"tqclient64");
  const bool lwp = SameText(stem, L"lwp");
  const bool administrator = IsAdministrator();

  if (vpnClient && !administrator) {
    std::wstring folder;
    if (system.isVistaOrLater()) {
      folder = baseFolder_;
    } else {
      wchar_t common[MAX_PATH] = L"";
      if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common)))
        folder = std::wstring(common) + L"\\Velmora\\";
    }
    const std::wstring copy = folder + (folder.empty() || folder.back() == L'\\' ? L"" : L"\\") + L"tqvpn.msi";
    if (folder.empty() || !CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
      Log(L"LWT Failed to copy %s to %s for non-admin user ", target.c_str(), copy.c_str());
      Log(L"LWT Could not be installed for the non-admin user ");
      return false;
    }
    Log(L"LWT copied %s to %s for non-admin user ", target.c_str(), copy.c_str());
    lastResult_ = system.doMsiInstall(copy.c_str(), nullptr, nullptr, nullptr);
    if (lastResult_ == ERROR_SUCCESS) {
      Log(L"LWT was successfully installed for the non-admin user ");
      return true;
    }
    Log(L"LWT Could not be installed for the non-admin user ");
    return false;
  }

  MsiPackage package;
  DWORD rc = system.openPackage(target.c_str(), &package);
  if (rc != ERROR_SUCCESS) {
    lastResult_ = rc;
    Log(L"%s", MsiResultLine(rc).c_str());
    Log(L"installFullyEncapsulatedComponent: bad package");
    return false;
  }

  MsiProduct product;
  const bool wasInstalled =
      system.queryProduct(package.productCode.c_str(), &product) == ERROR_SUCCESS && product.installed;
  if (wasInstalled) {
    Log(L"installFullyEncapsulatedComponent: Product installation found. Uninstalling. ");
    if (vpnClient) {
      Log(L"installFullyEncapsulatedComponent: Bypass uninstall of tqclient product, continuing with install. ");
    } else {
      // The package is moved aside first: the removal may take the deploy folder with it.
      const std::wstring aside = target + kMovedAsideSuffix;
      Log(L"installFullyEncapsulatedComponent: copy: %s to: %s", target.c_str(), aside.c_str());
      if (!system.moveFile(target.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        // Without the package nothing could be installed again: the product stays as it is.
        lastResult_ = GetLastError();
        Log(L"installFullyEncapsulatedComponent: copy failed. ");
        return false;
      }
      MsiUiLevel level = MsiUiLevel::kReduced;
      if (lwp) {
        Log(L"installFullyEncapsulatedComponent: product is LWPTDI. ");
        Log(L"installFullyEncapsulatedComponent: removing LWPTDI as Admin. ");
        level = MsiUiLevel::kBasic;
      }
      rc = system.uninstallProduct(package.productCode.c_str(), level, msiLogPath_.c_str(), nullptr);
      std::wstring folder;
      DeployDirectoryCreate(&folder);
      Log(L"installFullyEncapsulatedComponent: copy: %s back to: %s", aside.c_str(), target.c_str());
      if (!system.moveFile(aside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        lastResult_ = GetLastError();
        Log(L"installFullyEncapsulatedComponent: copy failed. ");
        return false;
      }
      Log(L"%s", MsiResultLine(rc).c_str());
      if (rc == ERROR_SUCCESS_REBOOT_REQUIRED)
        Log(L"installFullyEncapsulatedComponent: Msi installation requires reboot to take affect. Reboot request is suppressed. ");
      Log(L"installFullyEncapsulatedComponent: Existing product removed or attempted, continuing with install. ");
    }
  } else {
    Log(L"installFullyEncapsulatedComponent: testing LWPTDI install. ");
    if (lwp && !administrator) {
      Log(L"installFullyEncapsulatedComponent: product is LWPTDI. ");
      Log(L"installFullyEncapsulatedComponent: LWPTDI install attempted by non-admin user. ");
      if (system.driverPresent()) {
        Log(L"installFullyEncapsulatedComponent: LWPTDI already installed. ");
        return true;
      }
      Log(L"installFullyEncapsulatedComponent: LWPTDI not installed by admin. ");
      return false;
    }
  }

  if (!FolderExists(logFolder_)) {
    Log(L"installFullyEncapsulatedComponent: log file directory not found, creating");
    if (!EnsureFolder(logFolder_)) {
      Log(L"installFullyEncapsulatedComponent: Could not re-create log file directory");
      return false;
    }
  }

  Log(L"installFullyEncapsulatedComponent: Installing product. ");
  if (vpnClient) {
    Log(L"installFullyEncapsulatedComponent: TQ Client versions differ, requires install");
    rc = system.installVpnClient(target.c_str(), wasInstalled, msiLogPath_.c_str(), &log_);
  } else {
    const std::wstring arguments = AgentText(agent_->installArguments);
    MsiUiLevel level = MsiUiLevel::kBasic;
    if (lwp && !arguments.empty()) {
      Log(L"installFullyEncapsulatedComponent: installing LWPTDI as Admin. ");
      if (wasInstalled) level = MsiUiLevel::kReduced;
    } else if (lwp) {
      Log(L"installFullyEncapsulatedComponent: installing LWPTDI.");
    }
    rc = system.runMsiexec(target.c_str(), level, msiLogPath_.c_str(), arguments.empty() ? nullptr : arguments.c_str());
  }
  lastResult_ = rc;
  Log(L"%s", MsiResultLine(rc).c_str());
  if (rc == ERROR_SUCCESS_REBOOT_REQUIRED || rc == ERROR_SUCCESS_REBOOT_INITIATED)
    Log(L"installFullyEncapsulatedComponent: Msi installation requires reboot to take affect. Reboot request is suppressed. ");

  // A package that did not end up installed is deleted, so that the next request downloads it again; so
  // is one whose install failed while an older product stayed (else the next run would find the package
  // current and never try again).
  MsiProduct after;
  const bool installed = system.queryProduct(package.productCode.c_str(), &after) == ERROR_SUCCESS && after.installed;
  if (!installed || !MsiSucceeded(rc)) {
    DeleteFileW(target.c_str());
    if (!installed) lastResult_ = ERROR_ACCESS_DENIED;
    return false;
  }
  return true;
}

}  // namespace kesi::install
