#include "KESInstaller.h"

#include <shlobj.h>

#include <atomic>
#include <cwchar>
#include <new>
#include <vector>

#include "Base64.h"
#include "BrokerCommand.h"
#include "FileTransfer.h"
#include "InstallSystem.h"
#include "InstallerFolders.h"
#include "InstallerText.h"
#include "LastError.h"
#include "LocalPath.h"
#include "LogFile.h"
#include "LogFolder.h"
#include "ModuleVersion.h"
#include "Msi.h"
#include "PageOrigin.h"
#include "Provision.h"
#include "SecureWipe.h"
#include "SecurityChecks.h"
#include "messages.h"

namespace kesi::controls {
namespace {

std::atomic<bool> g_brokerBranding{false};

constexpr wchar_t kSettingsSection[] = L"InstallSettings";
constexpr wchar_t kBrandingIcon[] = L"Branding\\Windows\\Logo.ico";
// Certificate problems a download from the appliance may pass on Vista and later: unknown authority,
// wrong name, expired, and redirects between HTTP and HTTPS.
constexpr DWORD kAllowedCertificateProblems = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                              SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                              SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                                              SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;
static_assert(kAllowedCertificateProblems == 0xF100, "the problems a package download may pass");

// The installer log, open for one call of the object.
class CallLog {
 public:
  CallLog() { log_.Open(kInstallerLogName, 0, ControlsModule()); }
  ~CallLog() { log_.Close(); }
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;
  LogFile* get() { return &log_; }

 private:
  LogFile log_;
};

void Wipe(std::wstring* secret) {
  if (!secret->empty()) SecureWipe(&(*secret)[0], secret->size() * sizeof(wchar_t));
  secret->clear();
}

// The configuration a page put: "[InstallSettings]" text as it is, anything else Base64 of UTF-8 text
// (through the ANSI code page). E_INVALIDARG for text that is neither.
HRESULT DecodeConfiguration(const wchar_t* text, UINT length, std::wstring* configuration) {
  const std::wstring_view given(text, length);
  if (given.find(L"[InstallSettings]") != std::wstring_view::npos) {
    configuration->assign(given);
    return S_OK;
  }
  if (length == 0) {
    configuration->clear();
    return S_OK;
  }
  const int narrowLength = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (narrowLength <= 0) return E_INVALIDARG;
  std::string narrow(static_cast<size_t>(narrowLength), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &narrow[0], narrowLength, nullptr, nullptr);
  if (narrow.find('\0') != std::string::npos || !IsBase64Text(narrow)) return E_INVALIDARG;
  std::vector<unsigned char> bytes(narrow.size() / 4 * 3 + 4);
  size_t size = bytes.size();
  if (Base64Decode(narrow.c_str(), bytes.data(), &size) != 0) return E_INVALIDARG;
  if (size == 0) {
    configuration->clear();
    return S_OK;
  }
  const char* utf8 = reinterpret_cast<const char*>(bytes.data());
  const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, static_cast<int>(size), nullptr, 0);
  if (wide <= 0) return E_INVALIDARG;
  configuration->assign(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, static_cast<int>(size), &(*configuration)[0], wide);
  // A NUL would end the text early for every reader of the file.
  if (configuration->find(L'\0') != std::wstring::npos) return E_INVALIDARG;
  return S_OK;
}

// Writes tqsetup.ini in folder: UTF-16LE with its byte-order mark, CR LF line ends.
DWORD WriteConfigurationFile(const std::wstring& configuration, LogFile* log, std::wstring* path) {
  const std::wstring folder = ConfigurationFolder();
  const std::wstring file = folder + kConfigurationFileName;
  DWORD error = CreateInstallerFolder(folder);
  UniqueFile handle;
  if (error == 0) {
    DeleteFileW(file.c_str());
    handle.reset(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) error = LastErrorOr(ERROR_OPEN_FAILED);
  }
  if (error) {
    LogMsgWarning(log, MSG_INSTALL_CONFIGURATION_CREATE_FAILED, file.c_str(), error);
    path->clear();
    return error;
  }
  const std::wstring text = L"\xFEFF" + ConfigurationFileText(configuration);
  const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  DWORD written = 0;
  if (!WriteFile(handle.get(), text.data(), bytes, &written, nullptr) || written != bytes) {
    error = LastErrorOr(ERROR_WRITE_FAULT);
    LogMsgWarning(log, MSG_INSTALL_CONFIGURATION_WRITE_FAILED, error);
    *path = file;
    return error;
  }
  *path = file;
  return 0;
}

bool IsHttpUrl(const std::wstring& url) { return url.size() >= 4 && _wcsnicmp(url.c_str(), L"http", 4) == 0; }

// A source that would make the system sign on to another machine (a UNC path) or reach a device.
bool IsRefusedSource(const std::wstring& source) {
  return !IsHttpUrl(source) && ClassifyLocalPath(source.c_str()) != PathKind::kLocal;
}

// Fetches source to target (an older target is deleted first): an http(s) URL by the transfer, anything
// else as a local file copy. 0 or the error.
DWORD Fetch(const std::wstring& source, const std::wstring& target, const std::wstring& credential) {
  DeleteFileW(target.c_str());
  if (!IsHttpUrl(source)) return CopyFileW(source.c_str(), target.c_str(), FALSE) ? 0 : LastErrorOr(ERROR_FILE_NOT_FOUND);
  TransferRequest request;
  request.url = source.c_str();
  request.localPath = target.c_str();
  request.allowedSecurityFlags = CurrentInstallerFolderSystem().isVistaOrLater() ? kAllowedCertificateProblems : 0;
  request.options = kTransferNoDialogs;
  request.userAgent = kInstallerUserAgent;
  request.cookies = credential.empty() ? nullptr : credential.c_str();
  return RunTransfer(request);
}

std::wstring ReadSetting(const std::wstring& file, const wchar_t* key) {
  std::vector<wchar_t> value(4096);
  const DWORD length = GetPrivateProfileStringW(kSettingsSection, key, L"", value.data(),
                                                static_cast<DWORD>(value.size()), file.c_str());
  return std::wstring(value.data(), length);
}

// True when the file's MD5 digest is the hexadecimal text expected (either case).
bool DigestMatches(const std::wstring& path, const std::wstring& expected, DWORD* error) {
  BYTE digest[16];
  DWORD length = sizeof digest;
  if (!HashFileMD5(path.c_str(), digest, &length, error)) return false;
  if (expected.size() != 2 * length) return false;
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (DWORD i = 0; i < length; ++i) {
    const wchar_t high = static_cast<wchar_t>(towlower(expected[2 * i]));
    const wchar_t low = static_cast<wchar_t>(towlower(expected[2 * i + 1]));
    if (high != kDigits[digest[i] >> 4] || low != kDigits[digest[i] & 15]) return false;
  }
  return true;
}

// The broker's branding step: the archive the configuration names, fetched beside the package and
// checked against its digest; its local path goes back into the configuration, and *extra becomes the
// package's icon argument. 0 (also when the configuration names no branding) or the code that stops the
// install.
DWORD FetchBranding(const std::wstring& configFile, const std::wstring& packageFolder, const std::wstring& credential,
                    LogFile* log, std::wstring* extra) {
  const std::wstring url = ReadSetting(configFile, L"Branding");
  const std::wstring md5 = ReadSetting(configFile, L"BrandingMd5");
  if (url.empty() || md5.empty()) return 0;
  const std::wstring zip = packageFolder + kBrandingFileName;
  if (IsRefusedSource(url)) {
    LogError(log, L"InstallComponentMsi refused the branding source %s: not a local path or URL.", url.c_str());
    return ERROR_ACCESS_DENIED;
  }
  DWORD result = Fetch(url, zip, credential);
  if (result) {
    LogMsgWarning(log, MSG_INSTALL_MSI_DOWNLOAD_FAILED, zip.c_str(), url.c_str(), result);
    return result;
  }
  DWORD error = 0;
  if (!DigestMatches(zip, md5, &error)) {
    result = error ? error : kBrandingDigestMismatch;
    LogError(log, L"InstallComponentMsi refused the branding archive %s: its MD5 digest is not BrandingMd5.", zip.c_str());
    DeleteFileW(zip.c_str());
    return result;
  }
  WritePrivateProfileStringW(kSettingsSection, L"Branding", zip.c_str(), configFile.c_str());
  wchar_t appData[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
  std::wstring icon(appData);
  if (!icon.empty() && icon.back() != L'\\') icon += L'\\';
  icon += L"Velmora\\";
  icon += kBrandingIcon;
  *extra = L"ARPPRODUCTICON=\"" + icon + L"\"";
  return 0;
}

HRESULT CopyOut(const std::wstring& text, bool present, BSTR* out) {
  *out = nullptr;
  if (!present) return S_OK;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT Deprecated(const wchar_t* text, ULONG* result) {
  OutputDebugStringW(text);
  // Script cannot see S_FALSE and reads an unwritten result as 0 (success): the refusal is in result.
  if (result) *result = 1;
  return S_OK;
}

}  // namespace

void EnableBrokerBranding(bool on) { g_brokerBranding = on; }
bool BrokerBrandingEnabled() { return g_brokerBranding.load(); }

KESInstaller::KESInstaller() noexcept : ScriptableObject(IID_IKESInstaller, CLSID_KESInstaller) {}

KESInstaller::~KESInstaller() {
  if (!configFile_.empty() && configFile_.find(kConfigurationFileName) == std::wstring::npos)
    DeleteFileW(configFile_.c_str());
  Wipe(&credential_);
}

HRESULT KESInstaller::Install3rdPartyComponent(BSTR, BSTR, BSTR, BSTR, BSTR, ULONG* result) {
  CallLog log;
  return Deprecated(L"Install3rdPartyComponent API is deprecated.", result);
}

HRESULT KESInstaller::InstallComponent(BSTR, BSTR, BSTR, BSTR, BSTR, ULONG* result) {
  CallLog log;
  return Deprecated(L"InstallComponent API is deprecated.", result);
}

HRESULT KESInstaller::InstallComponentVer(BSTR, BSTR, BSTR, ULONG* result) {
  CallLog log;
  return Deprecated(L"InstallComponentVer API is deprecated.", result);
}

HRESULT KESInstaller::get_ConfigurationString(BSTR* pVal) {
  CallLog log;
  if (!pVal) {
    LogMsgWarning(log.get(), MSG_GET_CONFIGURATION_STRING_NULL);
    return E_POINTER;
  }
  try {
    CriticalSectionLock hold(Lock());
    return CopyOut(configuration_, hasConfiguration_, pVal);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT KESInstaller::put_ConfigurationString(BSTR newVal) {
  CallLog log;
  {
    CriticalSectionLock hold(Lock());
    configuration_.clear();
    hasConfiguration_ = false;
    ++configurationVersion_;
  }
  if (!newVal) {
    LogMsgWarning(log.get(), MSG_PUT_CONFIGURATION_STRING_NULL);
    return E_POINTER;
  }
  try {
    std::wstring configuration;
    const HRESULT hr = DecodeConfiguration(newVal, SysStringLen(newVal), &configuration);
    if (FAILED(hr)) {
      LogError(log.get(), L"put_ConfigurationString: the text is neither install settings nor Base64 of UTF-8 text.");
      return hr;
    }
    LogMsgInfo(log.get(), MSG_INSTALL_CONFIGURATION, configuration.c_str());
    CriticalSectionLock hold(Lock());
    configuration_ = std::move(configuration);
    hasConfiguration_ = true;
    ++configurationVersion_;
    return S_OK;
  } catch (const std::bad_alloc&) {
    LogMsgWarning(log.get(), MSG_PUT_CONFIGURATION_STRING_NO_MEMORY);
    return E_OUTOFMEMORY;
  }
}

HRESULT KESInstaller::get_AuthCredential(BSTR* pVal) {
  CallLog log;
  if (!pVal) {
    LogMsgWarning(log.get(), MSG_GET_AUTH_CREDENTIAL_NULL);
    return E_POINTER;
  }
  try {
    CriticalSectionLock hold(Lock());
    return CopyOut(credential_, hasCredential_, pVal);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT KESInstaller::put_AuthCredential(BSTR newVal) {
  CallLog log;
  {
    CriticalSectionLock hold(Lock());
    Wipe(&credential_);
    hasCredential_ = false;
  }
  if (!newVal) {
    LogMsgWarning(log.get(), MSG_PUT_AUTH_CREDENTIAL_NULL);
    return E_POINTER;
  }
  try {
    std::wstring credential(newVal, SysStringLen(newVal));
    // The line and its id stay; the session cookie itself does not go into a log that is uploaded.
    LogMsgInfo(log.get(), MSG_PUT_AUTH_CREDENTIAL, MaskCredential(credential).c_str());
    const DWORD published = install::SetInstallCookie(credential.c_str());
    CriticalSectionLock hold(Lock());
    Wipe(&credential_);
    credential_ = std::move(credential);
    hasCredential_ = true;
    if (published != 0) {
      LogMsgWarning(log.get(), MSG_PUT_AUTH_CREDENTIAL_NO_MEMORY);
      return E_OUTOFMEMORY;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    LogMsgWarning(log.get(), MSG_PUT_AUTH_CREDENTIAL_NO_MEMORY);
    return E_OUTOFMEMORY;
  }
}

DWORD KESInstaller::EnsureConfigurationFile(LogFile* log, std::wstring* configFile) {
  CriticalSectionLock writing(fileLock_);
  std::wstring configuration;
  unsigned version = 0;
  {
    CriticalSectionLock hold(Lock());
    if (!hasConfiguration_ || configuration_.empty()) {
      LogMsgWarning(log, MSG_NO_CONFIGURATION_URL);
      return ERROR_INVALID_PARAMETER;
    }
    if (!configFile_.empty() && configFileVersion_ == configurationVersion_) {
      *configFile = configFile_;
      return 0;
    }
    configuration = configuration_;
    version = configurationVersion_;
  }
  std::wstring path;
  const DWORD error = WriteConfigurationFile(configuration, log, &path);
  CriticalSectionLock hold(Lock());
  configFile_ = path;
  // A failed write leaves the file to be written again on the next use (the count is never 0 after a put).
  configFileVersion_ = error ? 0 : version;
  *configFile = path;
  return error;
}

HRESULT KESInstaller::QueryInstalled(BSTR* isInstalled, bool cfg) {
  CallLog log;
  if (!isInstalled) {
    LogMsgWarning(log.get(), cfg ? MSG_IS_MSI_CFG_INSTALLED_NULL : MSG_IS_MSI_INSTALLED_NULL);
    return E_POINTER;
  }
  *isInstalled = nullptr;
  try {
    {
      CriticalSectionLock hold(Lock());
      if (!hasConfiguration_ || configuration_.empty()) {
        LogMsgWarning(log.get(), cfg ? MSG_IS_MSI_CFG_INSTALLED_BLANK : MSG_IS_MSI_INSTALLED_BLANK);
        return E_INVALIDARG;
      }
    }
    std::wstring configFile;
    DWORD code = EnsureConfigurationFile(log.get(), &configFile);
    DWORD installed = 0;
    if (code == 0) {
      code = cfg ? install::IsMsiComponentCfgInstalled(configFile.c_str(), &installed)
                 : install::IsMsiComponentInstalled(configFile.c_str(), &installed, log.get());
    }
    if (code != 0) installed = 0;
    if (cfg) {
      LogMsgInfo(log.get(), installed ? MSG_IS_MSI_CFG_INSTALLED_YES : MSG_IS_MSI_CFG_INSTALLED_NO);
    } else if (!installed) {
      LogMsgInfo(log.get(), MSG_COMPONENT_NEEDS_INSTALL);
    }
    *isInstalled = SysAllocString(installed ? L"true" : L"false");
    if (!*isInstalled) return E_OUTOFMEMORY;
    // As the callers have always read it: the code of writing the file or of the check.
    return static_cast<HRESULT>(code);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT KESInstaller::IsComponentMsiInstalled(BSTR* isInstalled) { return QueryInstalled(isInstalled, false); }

HRESULT KESInstaller::IsComponentMsiCfgInstalled(BSTR* isInstalled) { return QueryInstalled(isInstalled, true); }

HRESULT KESInstaller::InstallComponentMsi(BSTR serverIP, BSTR MsiURL, ULONG* result) {
  CallLog log;
  if (!result) {
    LogMsgWarning(log.get(), MSG_INSTALL_MSI_NULL);
    return E_POINTER;
  }
  try {
    std::wstring credential;
    bool blank = false;
    {
      CriticalSectionLock hold(Lock());
      blank = !hasConfiguration_ || configuration_.empty();
      credential = credential_;
    }
    if (blank || !MsiURL || SysStringLen(MsiURL) == 0) {
      Wipe(&credential);
      LogMsgWarning(log.get(), MSG_INSTALL_MSI_BLANK);
      return E_INVALIDARG;
    }
    const std::wstring url(MsiURL, SysStringLen(MsiURL));
    // A UNC source would sign the user on to whatever machine the page names.
    if (IsRefusedSource(url)) {
      Wipe(&credential);
      LogError(log.get(), L"InstallComponentMsi refused the package source %s: not a local path or URL.", url.c_str());
      *result = ERROR_ACCESS_DENIED;
      return S_OK;
    }
    // A page installs only packages of its own host.
    const std::wstring page = PageUrl();
    if (!page.empty() && !SameHostAsPage(url, page)) {
      Wipe(&credential);
      LogError(log.get(), L"InstallComponentMsi refused the package URL %s: its host is not that of the page %s.",
               url.c_str(), page.c_str());
      *result = ERROR_ACCESS_DENIED;
      return S_OK;
    }

    std::wstring configFile;
    DWORD code = EnsureConfigurationFile(log.get(), &configFile);
    *result = code;
    if (code != 0) {
      Wipe(&credential);
      return S_OK;
    }

    const std::wstring folder = PackageFolder();
    const std::wstring package = folder + kPackageFileName;
    code = CreateInstallerFolder(folder);
    if (code == 0) code = Fetch(url, package, credential);
    if (code != 0) {
      Wipe(&credential);
      LogMsgWarning(log.get(), MSG_INSTALL_MSI_DOWNLOAD_FAILED, package.c_str(), url.c_str(), code);
      *result = code;
      return S_OK;
    }
    // The same signature check as the provisioner's for the packages it fetches.
    const LONG trust = install::CurrentProvisionSystem().verifyTrust(package.c_str());
    if (trust != 0) {
      Wipe(&credential);
      DeleteFileW(package.c_str());
      LogMsgWarning(log.get(), MSG_INSTALL_MSI_FAILED, static_cast<DWORD>(trust));
      *result = static_cast<DWORD>(trust);
      return S_OK;
    }

    std::wstring extra;
    if (BrokerBrandingEnabled()) {
      code = FetchBranding(configFile, folder, credential, log.get(), &extra);
      *result = code;
      if (code != 0) {
        Wipe(&credential);
        return S_OK;
      }
    }
    Wipe(&credential);

    code = install::DoMsiInstallWithLog(package.c_str(), configFile.c_str(), extra.empty() ? nullptr : extra.c_str(),
                                        log.get());
    (void)serverIP;  // handed over as the install's reserved argument, which it does not use
    *result = code;
    if (code != 0) {
      LogMsgWarning(log.get(), MSG_INSTALL_MSI_FAILED, code);
    } else {
      LogMsgInfo(log.get(), MSG_INSTALL_MSI_COMPLETED);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    *result = ERROR_OUTOFMEMORY;
    return S_OK;
  }
}

HRESULT KESInstaller::InstallComponentMsiCfg(ULONG* result) {
  CallLog log;
  if (!result) {
    LogMsgWarning(log.get(), MSG_INSTALL_MSI_CFG_NULL);
    return E_POINTER;
  }
  std::wstring configFile;
  {
    CriticalSectionLock hold(Lock());
    configFile = configFile_;
  }
  *result = install::DoMsiCfgInstall(nullptr, configFile.c_str(), nullptr, nullptr);
  if (*result == 0) {
    LogMsgInfo(log.get(), MSG_INSTALL_MSI_CFG_COMPLETED);
  } else {
    LogMsgWarning(log.get(), MSG_INSTALL_MSI_CFG_FAILED, static_cast<DWORD>(*result));
  }
  return S_OK;
}

HRESULT KESInstaller::InstallerVersion(BSTR* version) {
  CallLog log;
  if (!version) return E_POINTER;
  CModuleVersion module;
  module.LoadModule(ControlsModule());
  const wchar_t* text = module.GetFileVersionText();
  *version = SysAllocString(text);
  if (!*version) return E_OUTOFMEMORY;
  LogMsgInfo(log.get(), MSG_INSTALLER_VERSION_STRING, text);
  return S_OK;
}

HRESULT KESInstaller::InstallerName(BSTR* name) {
  CallLog log;
  if (!name) return E_POINTER;
  *name = SysAllocString(kInstallerName);
  if (!*name) return E_OUTOFMEMORY;
  LogMsgInfo(log.get(), MSG_INSTALLER_NAME, kInstallerName);
  return S_OK;
}

HRESULT CreateInstallerObject(REFIID riid, void** out) { return ScriptableObject<IKESInstaller>::Create<KESInstaller>(riid, out); }

}  // namespace kesi::controls
