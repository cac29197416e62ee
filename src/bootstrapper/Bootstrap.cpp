#include "Bootstrap.h"

#include <shlobj.h>

#include <cstdarg>
#include <memory>
#include <new>
#include <string>

#include "BootstrapRules.h"
#include "BootstrapSystem.h"
#include "BrokerCommand.h"
#include "CookieList.h"
#include "Handles.h"
#include "InstallSystem.h"
#include "LastError.h"
#include "LogBundle.h"
#include "LogFile.h"
#include "LogFolder.h"
#include "Msi.h"
#include "MsiInternal.h"
#include "MsiLibrary.h"
#include "ProgressWindow.h"
#include "kesi_idl.h"

namespace kesi::bootstrap {
namespace {

constexpr wchar_t kJavaMessage[] =
    L"UAC is turned off and Sun Java plugin is disabled or Sun Java 1.6 or higher is not installed. Please contact "
    L"your aministrator";
constexpr wchar_t kJavaAddOnKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\{08B0E5C0-4FCB-11CF-AAA5-00401C608501}";

// The failure reasons written into the page's cookies.
constexpr const wchar_t* kMissingReason[kSessionPropertyCount] = {
    L"FailureReason=browser cookie Team Ticket not found",    L"FailureReason=browser cookie urlConfig not found",
    L"FailureReason=browser cookie responsePost not found",  L"FailureReason=browser cookie Success Url not found",
    nullptr,                                                  L"FailureReason=browser cookie Failure Url not found",
    L"FailureReason=browser cookie AutoUpload Url not found"};
constexpr const wchar_t* kMissingLine[kSessionPropertyCount] = {
    L"getProvisioningProperties: TEAM ID is null",          L"getProvisioningProperties: url configuration is null",
    L"getProvisioningProperties: url post is null",         L"getProvisioningProperties: success url is null",
    nullptr,                                                 L"getProvisioningProperties: failure url is null",
    L"getProvisioningProperties: autoupload url url is null"};
constexpr const wchar_t* kFoundLine[kSessionPropertyCount] = {
    L"getProvisioningProperties, TeamId: %s",          L"getProvisioningProperties: urlConfiguration: %s",
    L"getProvisioningProperties: urlPost: %s",         L"getProvisioningProperties: successUrl: %s",
    L"getProvisioningProperties: epcLogOffUrl: %s",    L"getProvisioningProperties: failureUrl: %s",
    L"getProvisioningProperties: urlAutoUploadProp: %s"};
// The order in which missing properties are reported.
constexpr SessionProperty kCheckOrder[] = {kTeamToken, kConfigurationUrl, kSuccessUrl, kPostUrl, kFailureUrl,
                                           kAutoUploadUrl};

// As msiexec's "/l*v".
constexpr DWORD kVerboseLogMode = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                                  INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE |
                                  INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART |
                                  INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA |
                                  INSTALLLOGMODE_PROPERTYDUMP | INSTALLLOGMODE_VERBOSE;
// The upgrade of an installed client: every feature again, every file replaced, the package re-cached.
constexpr wchar_t kUpgradeProperties[] = L"REINSTALL=ALL REINSTALLMODE=vamus";

std::wstring AppDataFolder() {
  wchar_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder)))
    return std::wstring();
  return folder;
}

bool ReadDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegGetValueW(root, path, name, RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const wchar_t* path) {
  UniqueKey key;
  return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class Bootstrapper {
 public:
  Bootstrapper(bool java, HMODULE module) : java_(java), module_(module) {}
  ~Bootstrapper() { ReleaseAll(); }

  DWORD Program(const wchar_t* commandLine);
  DWORD Java(const std::wstring& cookies);

 private:
  // Common start: the window, the single-instance event, the old product's removal and the log. False
  // when the run ends here (*code says why).
  bool Start(DWORD* code);
  void Log(const wchar_t* format, ...);
  void LogFailure(const wchar_t* format, ...);
  bool OpenLog();
  void ReleaseAll();

  DWORD InstallPackage(const std::wstring& packagePath);
  DWORD RunInstall(const std::wstring& packagePath, const std::wstring& installLog, bool upgrade);
  bool InstalledVersion(ClientVersion* version);
  bool RegisterProgIds(const ClientVersion& version);
  DWORD TakeOwnership();
  bool JavaUsable();
  HRESULT LocateBrowser();
  bool GetProvisioningProperties(const std::wstring& cookies);
  DWORD DoInterrogatorActions();
  void FinishBootstrap(bool commandLine, DWORD result);
  void ReleasePage();
  void PutFailure(const wchar_t* reason);

  const bool java_;
  HMODULE module_;
  ProgressWindow window_;
  UniqueHandle event_;
  LogFile log_;
  std::wstring logFolder_;
  std::wstring appData_;
  bool uacOff_ = false;
  std::unique_ptr<BrowserPage> page_;
  SessionProperties properties_;
  ComPtr<IKESInterrogator> interrogator_;
};

void Bootstrapper::Log(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log_.Print(kLogInfo, format, &args);
  va_end(args);
}

void Bootstrapper::LogFailure(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log_.Print(kLogError, format, &args);
  va_end(args);
}

bool Bootstrapper::OpenLog() {
  log_.SetCipher(true);
  return log_.Open(kInitLogName, 0, module_) == 0;
}

bool Bootstrapper::Start(DWORD* code) {
  window_.Show(module_);
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, kBootstrapperRunningEvent));
  if (!event_ || GetLastError() == ERROR_ALREADY_EXISTS) {
    *code = event_ ? ERROR_ALREADY_EXISTS : LastErrorOr(ERROR_GEN_FAILURE);
    ReleaseAll();
    return false;
  }
  install::MsiProduct old;
  if (install::QueryMsiProduct(kRemovedProductCode, &old) == 0 && old.installed) {
    DWORD exitCode = 0;
    install::RunMsiexec(std::wstring(L"msiexec.exe /i ") + kRemovedProductCode + L" REMOVE=ALL /qn", &exitCode);
  }
  wchar_t folder[MAX_PATH] = {}, logFolder[MAX_PATH] = {};
  if (PrepareLogFolder(folder, logFolder, true) != 0 || !OpenLog()) {
    *code = kBootstrapFailure;
    ReleaseAll();
    return false;
  }
  logFolder_ = logFolder;
  appData_ = AppDataFolder();
  window_.Step();
  return true;
}

void Bootstrapper::ReleaseAll() {
  page_.reset();
  interrogator_.reset();
  log_.Close();
  event_.reset();
  window_.Close();
}

bool Bootstrapper::JavaUsable() {
  wchar_t version[64] = {};
  DWORD size = sizeof version;
  const bool installed =
      RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\JavaSoft\\Java Runtime Environment", L"CurrentVersion",
                   RRF_RT_REG_SZ, nullptr, version, &size) == ERROR_SUCCESS &&
      IsJavaVersionUsable(version);
  if (!installed) {
    Log(L"Sun Java >= 1.6 is not installed");
    return false;
  }
  if (KeyExists(HKEY_CURRENT_USER, kJavaAddOnKey)) {
    Log(L"Java disabled");
    return false;
  }
  Log(L"Java enabled");
  return true;
}

HRESULT Bootstrapper::LocateBrowser() {
  Log(L"locateBrowser: initiating desktop browser search");
  page_.reset();
  const HRESULT hr = CurrentBootstrapSystem().locateBrowser(&log_, &page_);
  if (hr == S_OK && page_) return S_OK;
  page_.reset();
  if (SUCCEEDED(hr))
    Log(L"locateBrowser: No active browsers found or IWebBrowser2 interface not found, not browser initiated");
  LogFailure(L"locateBrowser: Could not locate initiating browser");
  return FAILED(hr) ? hr : S_FALSE;
}

void Bootstrapper::PutFailure(const wchar_t* reason) {
  if (page_) page_->PutCookie(reason);
}

bool Bootstrapper::GetProvisioningProperties(const std::wstring& cookies) {
  Log(L"getProvisioningProperties: pulling browser properties");
  // The session token is a secret: the log shows only its first characters and its length, and no
  // cookie value whole.
  for (const CookiePair& pair : SplitCookies(cookies))
    Log(L"getProvisioningProperties: token: %s", MaskCookieValues(pair.first + L"=" + pair.second).c_str());
  properties_ = PickSessionProperties(cookies);
  for (int p = 0; p < kSessionPropertyCount; ++p) {
    if (!properties_.present[p]) continue;
    Log(kFoundLine[p], p == kTeamToken ? controls::MaskCredential(properties_.value[p]).c_str()
                                       : properties_.value[p].c_str());
  }
  if (uacOff_ && properties_.present[kSuccessUrl]) {
    Log(L"UAC is not turned on setting the query value to 0");
    properties_.value[kSuccessUrl] += L"&uacvalue=0";
  }
  for (SessionProperty p : kCheckOrder) {
    if (properties_.present[p]) continue;
    LogFailure(kMissingLine[p]);
    PutFailure(kMissingReason[p]);
    return false;
  }
  return true;
}

bool Bootstrapper::InstalledVersion(ClientVersion* version) {
  const std::wstring path = appData_ + L"\\Velmora\\kesi\\build.ver";
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  char line[256];
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), line, sizeof line - 1, &got, nullptr)) {
    LogFailure(L"getInstalledVersion: Could not open the version file on the client machine.");
    return false;
  }
  // A line that is not the file's format counts as no file: the installed client is then older.
  return ParseBuildVersionLine(std::string_view(line, got), version);
}

bool Bootstrapper::RegisterProgIds(const ClientVersion& version) {
  const struct {
    const wchar_t* prefix;
    const wchar_t* clsid;
    const wchar_t* valueFailure;
  } classes[] = {{kInterrogatorProgIdPrefix, kInterrogatorClsid, L"Could not add value to the registry entry."},
                 {kInstallerProgIdPrefix, kInstallerClsid, L"Could not add value registry entry."}};
  for (const auto& c : classes) {
    const std::wstring path = ProgIdKeyPath(c.prefix, version);
    Log(L"createRegistryEntries: The registry path is %s.", path.c_str());
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS) {
      LogFailure(L"Could not create registry entry.");
      return false;
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(c.clsid) + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.clsid), bytes) != ERROR_SUCCESS) {
      LogFailure(c.valueFailure);
      return false;
    }
  }
  return true;
}

DWORD Bootstrapper::TakeOwnership() {
  const BootstrapSystem& system = CurrentBootstrapSystem();
  const std::wstring program = system.takeOwnershipProgram();
  if (program.empty()) return ERROR_FILE_NOT_FOUND;
  std::wstring line = TakeOwnershipCommandLine(program, appData_);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    const DWORD error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogFailure(L"installPackage: could not take ownership of the installed files: %u", error);
    return error;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (WaitForSingleObject(process.get(), system.takeOwnershipWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), ERROR_TIMEOUT);
    LogFailure(L"installPackage: could not take ownership of the installed files: %u", ERROR_TIMEOUT);
    return ERROR_TIMEOUT;
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return LastErrorOr(ERROR_GEN_FAILURE);
  if (exitCode != 0) LogFailure(L"installPackage: could not take ownership of the installed files: %u", exitCode);
  return exitCode;
}

DWORD Bootstrapper::RunInstall(const std::wstring& packagePath, const std::wstring& installLog, bool upgrade) {
  const MsiLibrary* msi = BindMsiLibrary();
  if (!msi) return LastErrorOr(ERROR_PROC_NOT_FOUND);
  const INSTALLUILEVEL previous = msi->setInternalUI(INSTALLUILEVEL_BASIC, nullptr);
  msi->enableLog(kVerboseLogMode, installLog.c_str(), 0);
  // An installed client keeps its product code: the newer package reinstalls every feature and file in
  // place (without these properties the installer refuses a second package of the same product, 1638).
  const UINT result = msi->installProduct(packagePath.c_str(), upgrade ? kUpgradeProperties : L"");
  msi->enableLog(0, nullptr, 0);
  msi->setInternalUI(previous, nullptr);
  Log(L"installPackage: MsiInstallProduct complete");
  switch (result) {
    case ERROR_SUCCESS:
      Log(L"installPackage: ERROR_SUCCESS result: %d", result);
      return 0;
    case ERROR_SUCCESS_REBOOT_INITIATED:
      Log(L"installPackage: ERROR_SUCCESS_REBOOT_INITIATED result: %d", result);
      return result;
    case ERROR_SUCCESS_REBOOT_REQUIRED:
      Log(L"installPackage: ERROR_SUCCESS_REBOOT_REQUIRED result: %d", result);
      Log(L"installPackage: Reboot request has been suppressed.");
      return 0;
    case ERROR_INSTALL_USEREXIT:
      Log(L"installPackage: ERROR_INSTALL_USEREXIT result: %d", result);
      return result;
    default:
      Log(L"installPackage: default result: %d", result);
      return result;
  }
}

DWORD Bootstrapper::InstallPackage(const std::wstring& packagePath) {
  const std::wstring installLog = logFolder_ + L"\\" + kInstallLogName;
  Log(L"installPackage: msi logging set to file: %s", installLog.c_str());
  // The package is named once, by its full path, and held against changes until the install is over;
  // it is installed only when its signature verifies.
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(packagePath.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return length ? ERROR_FILENAME_EXCED_RANGE : LastErrorOr(ERROR_FILE_NOT_FOUND);
  UniqueFile held(CreateFileW(full, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
  if (!held) {
    const DWORD error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogFailure(L"installPackage: could not open the package %s: %u", full, error);
    return error;
  }
  install::MsiPackage package;
  if (DWORD error = install::OpenMsiPackage(full, &package)) {
    LogFailure(L"installPackage: could not open the package %s: %u", full, error);
    return error;
  }
  install::MsiProduct product;
  if (DWORD error = install::QueryMsiProduct(package.productCode.c_str(), &product)) return error;
  const ClientVersion offered{package.version.major, package.version.minor, package.version.build};

  auto trusted = [&]() -> DWORD {
    const LONG trust = install::CurrentInstallSystem().verifyTrust(full, nullptr);
    if (trust != 0) LogFailure(L"installPackage: the package's signature is not trusted: 0x%08x", static_cast<unsigned>(trust));
    return static_cast<DWORD>(trust);
  };

  if (!product.installed) {
    Log(L"installPackage: installing KESI package for the first time");
    if (DWORD trust = trusted()) return trust;
    return RunInstall(full, installLog, false);
  }
  Log(L"installPackage:The major, minor and build versions are %d and %d and %d", offered.major, offered.minor,
      offered.build);
  ClientVersion installed;
  if (InstalledVersion(&installed)) {
    Log(L"installPackage:The Installed major, minor and build versions are %d and %d and %d", installed.major,
        installed.minor, installed.build);
    if (CompareVersions(installed, offered) >= 0 && RegisterProgIds(offered)) {
      Log(L"installPackage: Not installing msi. The installed client is a newer version.");
      return 0;
    }
  }
  if (DWORD trust = trusted()) return trust;
  DWORD major = 0, minor = 0;
  const bool isXp = CurrentBootstrapSystem().systemVersion(&major, &minor) && major == 5 && minor == 1;
  if (!isXp) {
    if (DWORD error = TakeOwnership()) return error;
  }
  Log(L"installPackage: upgrading existing KESI installation");
  if (DWORD error = CurrentBootstrapSystem().stopBroker(&log_)) return error;
  log_.Close();
  OpenLog();
  Log(java_ ? L"JNI BOOTSTRAPPER: starting bootstrap process after CleanUp\r\n"
            : L"BOOTSTRAPPER: starting bootstrap process after CleanUp\r\n");
  Log(L"installPackage: Call install after CleanUp");
  return RunInstall(full, installLog, true);
}

DWORD Bootstrapper::DoInterrogatorActions() {
  Log(L"DoInterrogatorActions: performing interrogation");
  HRESULT hr = CoCreateInstance(CLSID_KESInterrogator, nullptr, CLSCTX_INPROC_SERVER, IID_IKESInterrogator,
                                interrogator_.put_void());
  if (FAILED(hr) || !interrogator_) {
    interrogator_.reset();
    PutFailure(L"FailureReason=Interrogator instance creation failed");
    LogFailure(L"Interrogator instance creation failed, error: 0x%08x", static_cast<unsigned>(hr));
    return kBootstrapFailure;
  }
  Log(L"DoInterrogatorActions: Starting Macro-Interrogation");
  UniqueBstr token(SysAllocString(properties_.value[kTeamToken].c_str()));
  hr = token ? interrogator_->put_AuthCredential(token.get()) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogFailure(L"DoInterrogatorActions: put_AuthCredential() failed");
    PutFailure(L"FailureReason=Put of auth credendial failed");
    return kBootstrapFailure;
  }
  Log(L"DoInterrogatorActions: put_AuthCredential() OK");
  UniqueBstr configuration(SysAllocString(properties_.value[kConfigurationUrl].c_str()));
  UniqueBstr post(SysAllocString(properties_.value[kPostUrl].c_str()));
  ULONG result = kBootstrapFailure;
  if (!configuration || !post || FAILED(interrogator_->RunLogonInterrogation(configuration.get(), post.get(), &result)))
    result = kBootstrapFailure;
  Log(L"DoInterrogatorActions: DoInterrogationLogon() returned %u", static_cast<unsigned>(result));
  return result;
}

void Bootstrapper::ReleasePage() {
  if (!page_) return;
  Log(L"BOOTSTRAPPER: Releasing browser pointers");
  page_.reset();
  Log(L"BOOTSTRAPPER: Browser pointers released");
}

void Bootstrapper::FinishBootstrap(bool commandLine, DWORD result) {
  if (interrogator_ && result == kBootstrapFailure) {
    Log(L"BOOTSTRAPPER: Automatic push of the merged log required");
    Log(L"BOOTSTRAPPER: Closing the log file early for AutoUpload.");
    log_.Close();
    wchar_t bundle[MAX_PATH] = {};
    BuildLogBundle(nullptr, bundle);
    ULONG pushed = 0;
    UniqueBstr path(SysAllocString(bundle));
    if (!path || FAILED(interrogator_->PushLogsAndReturnCode(path.get(), &pushed))) pushed = kBootstrapFailure;
    OpenLog();
    Log(L" \nBOOTSTRAPPER: Logfile has been re-opened");
    Log(L"BOOTSTRAPPER: PushLogsAndReturnCode completion: %u", static_cast<unsigned>(pushed));
  }
  if (page_ && !commandLine) {
    const wchar_t* url = nullptr;
    if (result == kBootstrapSuccess) {
      Log(L"BOOTSTRAPPER: navigating to success page");
      url = properties_.value[kSuccessUrl].c_str();
    } else if (result == kBootstrapFailure) {
      Log(L"BOOTSTRAPPER: navigating to failure page");
      url = properties_.value[kAutoUploadUrl].c_str();
    } else if (result == kBootstrapLogoff) {
      Log(L"BOOTSTRAPPER: navigating to logoff page");
      url = properties_.value[kLogoffUrl].c_str();
    }
    if (url) {
      page_->Navigate(url);
      Log(L"BOOTSTRAPPER: navigated to %s", url);
    }
  }
  ReleasePage();
  Log(L"BOOTSTRAPPER: bootstrap process completed\r\n");
  log_.Close();
  interrogator_.reset();
}

DWORD Bootstrapper::Program(const wchar_t* commandLine) {
  DWORD code = 0;
  if (!Start(&code)) return code;
  const bool fromCommandLine = commandLine && *commandLine;
  Log(L"BOOTSTRAPPER: starting bootstrap process\r\n");
  wchar_t text[128] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SENGCOUNTRY, text, 128);
  Log(L"BOOTSTRAPPER: default country: %s", text);
  Log(L"BOOTSTRAPPER: default codepage: %u", GetACP());
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SENGLANGUAGE, text, 128);
  Log(L"BOOTSTRAPPER: default language: %s", text);
  if (fromCommandLine) Log(L"BOOTSTRAPPER: Command line initiated");
  Log(L"BOOTSTRAPPER: beginning kesi.msi install");

  DWORD major = 0, minor = 0;
  DWORD enableLua = 1;
  if (CurrentBootstrapSystem().systemVersion(&major, &minor) && major > 5 &&
      ReadDword(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"EnableLUA",
                &enableLua) &&
      enableLua == 0) {
    uacOff_ = true;
    Log(L"OS is Vista and UAC is turned off");
    if (!JavaUsable()) {
      CurrentBootstrapSystem().prompt(window_.Window(), kJavaMessage, L"ERROR", MB_OK | MB_ICONERROR);
      if (!fromCommandLine && LocateBrowser() == S_OK) {
        std::wstring cookies;
        if (SUCCEEDED(page_->GetCookie(&cookies))) GetProvisioningProperties(cookies);
        else PutFailure(L"FailureReason=browser cookie fetch failed");
        Log(L"Navigating to the error page");
        if (properties_.present[kAutoUploadUrl]) page_->Navigate(properties_.value[kAutoUploadUrl].c_str());
      }
      ReleasePage();
      ReleaseAll();
      return kBootstrapFailure;
    }
  }

  const DWORD installed = InstallPackage(L"kesi.msi ");
  window_.Step();
  Log(installed == 0 ? L"BOOTSTRAPPER: kesi.msi install completed successfully\r\n"
                     : L"BOOTSTRAPPER: kesi.msi install failed");
  DWORD result = kBootstrapFailure;
  if (!fromCommandLine) {
    Log(L"BOOTSTRAPPER: beginning post bootstrap provisioning process\r\n");
    const HRESULT located = LocateBrowser();
    if (located != S_OK) {
      Log(L"BOOTSTRAPPER: browser location failed");
    } else {
      Log(L"BOOTSTRAPPER: browser located, picking browser properties");
      std::wstring cookies;
      bool picked = false;
      if (FAILED(page_->GetCookie(&cookies))) PutFailure(L"FailureReason=browser cookie fetch failed");
      else picked = GetProvisioningProperties(cookies);
      window_.Step();
      if (picked) {
        Log(L"BOOTSTRAPPER: browser properties picked");
        if (installed == 0) {
          Log(L"BOOTSTRAPPER: beginning interrogation");
          result = DoInterrogatorActions();
        } else {
          Log(L"BOOTSTRAPPER: failure in installing MSI. Need to go to error auto upload page.");
        }
      } else {
        ReleasePage();
        Log(L"BOOTSTRAPPER: browser property pick failed");
      }
    }
    Log(L"BOOTSTRAPPER: post bootstrap provisioning process complete\r\n");
  } else {
    result = installed == 0 ? kBootstrapSuccess : kBootstrapFailure;
  }
  window_.Step();
  FinishBootstrap(fromCommandLine, result);
  ReleaseAll();
  return result;
}

DWORD Bootstrapper::Java(const std::wstring& cookies) {
  DWORD code = 0;
  if (!Start(&code)) return code;
  Log(L"JNI BOOTSTRAPPER: starting bootstrap process\r\n");
  Log(L"JNI BOOTSTRAPPER: passed in cookies: %s", MaskCookieValues(cookies).c_str());
  Log(L"JNI BOOTSTRAPPER: beginning kesi.msi install.");
  const DWORD installed = InstallPackage(appData_ + L"\\Velmora\\java_deploy\\kesi.msi");
  window_.Step();
  Log(installed == 0 ? L"JNI BOOTSTRAPPER: kesi.msi install completed successfully\r\n"
                     : L"JNI BOOTSTRAPPER: kesi.msi install failed.");
  DWORD result = kBootstrapFailure;
  if (installed == 0) {
    Log(L"JNI BOOTSTRAPPER: beginning post bootstrap provisioning process\r\n");
    Log(L"JNI BOOTSTRAPPER: picking browser properties from passed in cookie");
    if (GetProvisioningProperties(cookies)) {
      Log(L"JNI BOOTSTRAPPER: browser properties picked.");
      Log(L"JNI BOOTSTRAPPER: beginning interrogation.");
      result = DoInterrogatorActions();
    } else {
      Log(L"JNI BOOTSTRAPPER: browser property pick failed");
    }
    Log(L"JNI BOOTSTRAPPER: post bootstrap provisioning process complete\r\n");
  }
  window_.Step();
  Log(L"JNI BOOTSTRAPPER: bootstrap process completed\r\n");
  FinishBootstrap(true, result);
  ReleaseAll();
  return result;
}

// The run on a thread with COM; no exception leaves it.
template <typename Run>
DWORD Guarded(Run run) {
  try {
    ComApartment com;
    if (!com.Usable()) return static_cast<DWORD>(com.Result());
    return run();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

DWORD RunProgram(const wchar_t* commandLine, HMODULE module) {
  return Guarded([&]() {
    Bootstrapper bootstrapper(false, module);
    return bootstrapper.Program(commandLine);
  });
}

DWORD RunForJava(const std::wstring& cookies, HMODULE module) {
  return Guarded([&]() {
    Bootstrapper bootstrapper(true, module);
    return bootstrapper.Java(cookies);
  });
}

}  // namespace kesi::bootstrap
