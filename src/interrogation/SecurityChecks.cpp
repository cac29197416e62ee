// The PFW and AVIRUS literals, and the file-identity checks behind the FILE literal's catalog field.
#include "SecurityChecks.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>
#include <mscat.h>
#include <netfw.h>

#include <cwchar>
#include <memory>
#include <new>

#include "CheckLog.h"
#include "Checks.h"
#include "Handles.h"
#include "HexText.h"
#include "HostChecks.h"
#include "LogFile.h"

namespace kesi {

namespace {

// INetFwMgr, {F7898AF5-CAC4-4632-A2EC-DA06E5111AF2}.
constexpr IID kFirewallManagerIid = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
// The class CheckWindowsFirewall creates (FirewallManagerClass).
CLSID g_firewallManagerClass = kFirewallManagerClsid;
// WINTRUST_ACTION_GENERIC_VERIFY_V2.
constexpr GUID kGenericVerifyAction = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

constexpr size_t kMd5Length = 16;
constexpr DWORD kCatalogHashLength = 20;
constexpr wchar_t kWindowsCatalog[] = L"WINDOWS_CATALOG";

// Splits a writable text at "," like a tokenizer that skips empty fields; *cursor keeps the position.
wchar_t* NextToken(wchar_t** cursor) {
  wchar_t* p = *cursor;
  while (*p == L',') ++p;
  if (!*p) {
    *cursor = p;
    return nullptr;
  }
  wchar_t* token = p;
  while (*p && *p != L',') ++p;
  if (*p) *p++ = L'\0';
  *cursor = p;
  return token;
}

const wchar_t* SkipBlanks(const wchar_t* text) {
  while (iswspace(*text)) ++text;
  return text;
}

bool SameTextIgnoringCase(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// What the two product-library checks share: the library's name, its export and their log lines.
struct ProductLibrary {
  const wchar_t* library;
  const char* exportName;
  const wchar_t* notFound;
  const wchar_t* notTrusted;
  const wchar_t* loadFailed;
  const wchar_t* invalidApi;
};

constexpr ProductLibrary kZoneAlarm = {
    kZoneAlarmLibrary,
    kZoneAlarmExport,
    L"Zone alarm check failed, %s not found",
    L"Zone alarm check failed, %s not trusted",
    L"Zone alarm check failed, %s load library failed %lu",
    L"Zone alarm check failed, %s invalid api file",
};
constexpr ProductLibrary kSygate = {
    kSygateLibrary,
    kSygateExport,
    L"Sygate check failed, %s not found",
    L"Sygate check failed, %s not trusted",
    L"Sygate check failed, %s load library failed %lu",
    L"Sygate check failed, %s invalid api file",
};

// Loads the product's library from the system folder once it is there and signed, and finds its
// export. False (logged) when any of that fails; the verdict is the caller's to write.
bool LoadProductLibrary(const ProductLibrary& product, kesi::UniqueModule* module, FARPROC* entry) {
  wchar_t path[MAX_PATH] = {};
  UINT length = GetSystemDirectoryW(path, MAX_PATH - 1);
  if (length == 0 || length >= MAX_PATH - 1) length = 0;
  path[length] = L'\0';
  // The path is cut at 259 characters rather than overrun.
  _snwprintf(path + length, MAX_PATH - 1 - length, L"\\%s", product.library);
  path[MAX_PATH - 1] = L'\0';

  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    kesi::LogError(CheckLog(), product.notFound, path);
    return false;
  }
  if (VerifyFileTrust(nullptr, path, kTrustNoUi) != 0) {
    kesi::LogError(CheckLog(), product.notTrusted, path);
    return false;
  }
  module->reset(LoadLibraryW(path));
  if (!*module) {
    kesi::LogError(CheckLog(), product.loadFailed, path, GetLastError());
    return false;
  }
  *entry = GetProcAddress(module->get(), product.exportName);
  if (!*entry) {
    kesi::LogError(CheckLog(), product.invalidApi, path);
    return false;
  }
  return true;
}

// The catalog administrator's functions, bound at run time from wintrust.dll.
struct CatalogAdmin {
  decltype(&CryptCATAdminAcquireContext) acquireContext = nullptr;
  decltype(&CryptCATAdminReleaseContext) releaseContext = nullptr;
  decltype(&CryptCATAdminEnumCatalogFromHash) enumCatalogFromHash = nullptr;
  decltype(&CryptCATCatalogInfoFromContext) catalogInfoFromContext = nullptr;
  decltype(&CryptCATAdminCalcHashFromFileHandle) calcHashFromFileHandle = nullptr;
  decltype(&CryptCATAdminReleaseCatalogContext) releaseCatalogContext = nullptr;
};

// An acquired catalog administrator context, released through the bound function.
class CatalogContext {
 public:
  CatalogContext(const CatalogAdmin& admin, HCATADMIN context) : admin_(admin), context_(context) {}
  CatalogContext(const CatalogContext&) = delete;
  CatalogContext& operator=(const CatalogContext&) = delete;
  ~CatalogContext() {
    const DWORD error = GetLastError();
    admin_.releaseContext(context_, 0);
    SetLastError(error);
  }
  HCATADMIN get() const { return context_; }

 private:
  const CatalogAdmin& admin_;
  HCATADMIN context_;
};

template <typename F>
void Bind(HMODULE module, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The 40-character and WINDOWS_CATALOG forms: the file's catalog hash, compared with the hexadecimal
// argument or looked up in the system's catalog database.
LONG CheckCatalogHash(const wchar_t* path, const char* hexArgument, DWORD* status) {
  auto fail = [status](DWORD code) {
    if (status) *status = code;
    return 0;
  };
  kesi::UniqueModule wintrust(LoadLibraryW(L"wintrust.dll"));
  if (!wintrust) return fail(GetLastError());
  CatalogAdmin admin;
  Bind(wintrust.get(), "CryptCATAdminAcquireContext", &admin.acquireContext);
  Bind(wintrust.get(), "CryptCATAdminReleaseContext", &admin.releaseContext);
  Bind(wintrust.get(), "CryptCATAdminEnumCatalogFromHash", &admin.enumCatalogFromHash);
  Bind(wintrust.get(), "CryptCATCatalogInfoFromContext", &admin.catalogInfoFromContext);
  Bind(wintrust.get(), "CryptCATAdminCalcHashFromFileHandle", &admin.calcHashFromFileHandle);
  Bind(wintrust.get(), "CryptCATAdminReleaseCatalogContext", &admin.releaseCatalogContext);
  if (!admin.acquireContext || !admin.releaseContext || !admin.enumCatalogFromHash ||
      !admin.catalogInfoFromContext || !admin.calcHashFromFileHandle)
    return fail(GetLastError());

  HCATADMIN acquired = nullptr;
  if (!admin.acquireContext(&acquired, nullptr, 0)) return fail(GetLastError());
  const CatalogContext context(admin, acquired);

  LONG verdict = 0;
  // Read sharing, as the MD5 form opens it: a program or library that is running holds its file open
  // for reading, and those are the files most worth asking about.
  kesi::UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  BYTE hash[kCatalogHashLength] = {};
  DWORD hashLength = sizeof(hash);
  if (!file) {
    fail(GetLastError());
  } else if (!admin.calcHashFromFileHandle(file.get(), &hashLength, hash, 0)) {
    fail(GetLastError());
  } else if (hexArgument) {
    char hex[2 * kCatalogHashLength + 1];
    size_t hexLength = sizeof(hex);
    if (kesi::BytesToHex(hash, hashLength, hex, &hexLength) && lstrcmpiA(hex, hexArgument) == 0)
      verdict = 1;
  } else {
    HCATINFO catalog = admin.enumCatalogFromHash(context.get(), hash, hashLength, 0, nullptr);
    if (catalog) {
      verdict = 1;
      if (admin.releaseCatalogContext) admin.releaseCatalogContext(context.get(), catalog, 0);
    } else {
      fail(GetLastError());
    }
  }
  // The file is closed before the context is released, the context before the library is unloaded.
  file.reset();
  return verdict;
}

}  // namespace

CLSID& FirewallManagerClass() { return g_firewallManagerClass; }
void ResetFirewallManagerClass() { g_firewallManagerClass = kFirewallManagerClsid; }

LONG VerifyFileTrust(HWND window, const wchar_t* path, DWORD flags) {
  if (!path) return ERROR_INVALID_PARAMETER;
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = (flags & kTrustNoUi) ? WTD_UI_NONE : WTD_UI_ALL;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = (flags & kTrustVerifyState) ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;
  GUID action = kGenericVerifyAction;
  LONG result = WinVerifyTrust(window, &action, &data);
  if (flags & kTrustVerifyState) {
    // The verify action leaves state behind that only a close releases.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(window, &action, &data);
  }
  return result;
}

LONG CheckZoneAlarm(LONG* verdict) {
  if (!verdict) return ERROR_INVALID_PARAMETER;
  *verdict = 0;
  kesi::UniqueModule module;
  FARPROC entry = nullptr;
  if (LoadProductLibrary(kZoneAlarm, &module, &entry)) {
    auto isRunning = reinterpret_cast<BOOL(WINAPI*)(int, int)>(reinterpret_cast<void*>(entry));
    if (isRunning(0, 0)) *verdict = 1;
  }
  return 0;
}

LONG CheckSygate(LONG* verdict) {
  if (!verdict) return ERROR_INVALID_PARAMETER;
  *verdict = 0;
  kesi::UniqueModule module;
  FARPROC entry = nullptr;
  if (LoadProductLibrary(kSygate, &module, &entry)) {
    auto checkStatus = reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void*>(entry));
    if (checkStatus() == 0) *verdict = 1;
  }
  return 0;
}

HRESULT CheckWindowsFirewall(LONG* verdict) {
  if (!verdict) return E_POINTER;
  *verdict = 0;
  // COM for the length of the check; a thread that already lives in the other model keeps it.
  ComApartment com;
  kesi::ComPtr<INetFwMgr> manager;
  HRESULT hr = CoCreateInstance(g_firewallManagerClass, nullptr, CLSCTX_INPROC_SERVER, kFirewallManagerIid,
                                manager.put_void());
  if (FAILED(hr)) return hr;
  kesi::ComPtr<INetFwPolicy> policy;
  hr = manager->get_LocalPolicy(policy.put());
  if (FAILED(hr) || !policy) {
    kesi::LogError(CheckLog(), L"MS Firewall Detection Failed to get_LocalPolicy %lu \n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? hr : E_POINTER;
  }
  kesi::ComPtr<INetFwProfile> profile;
  hr = policy->get_CurrentProfile(profile.put());
  if (FAILED(hr) || !profile) {
    kesi::LogError(CheckLog(), L"MS Firewall Detection Failed to get_CurrentProfile %lu \n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? hr : E_POINTER;
  }
  VARIANT_BOOL enabled = VARIANT_FALSE;
  hr = profile->get_FirewallEnabled(&enabled);
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"MS Firewall Detection Failed to get_FirewallEnabled %lu \n", static_cast<unsigned long>(hr));
    return hr;
  }
  if (enabled != VARIANT_FALSE) *verdict = 1;
  return hr;
}

LONG EvaluateFirewall(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  *verdict = 0;
  if (!parameters) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;

  LONG status = kCheckUnprepared;
  wchar_t* cursor = copy.get();
  for (wchar_t* token = NextToken(&cursor); token && *verdict == 0; token = NextToken(&cursor)) {
    const wchar_t* name = SkipBlanks(token);
    if (SameTextIgnoringCase(name, L"ZONE"))
      status = CheckZoneAlarm(verdict);
    else if (SameTextIgnoringCase(name, L"SYGATE"))
      status = CheckSygate(verdict);
    else if (SameTextIgnoringCase(name, L"MICROSOFT"))
      status = CheckWindowsFirewall(verdict);
  }
  return status;
}

LONG EvaluateAntiVirus(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  *verdict = 0;
  if (!parameters) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;

  static const wchar_t* const kNaiProcesses[] = {L"defwatch.exe", L"rtvscan.exe", L"vptray.exe"};
  static const wchar_t* const kMcAfeeProcesses[] = {L"mcagent.exe", L"mcshield.exe"};
  auto running = [](const wchar_t* name) {
    LONG found = 0;
    EvaluateProcess(name, &found);
    return found != 0;
  };

  wchar_t* cursor = copy.get();
  for (wchar_t* token = NextToken(&cursor); token && *verdict == 0; token = NextToken(&cursor)) {
    const wchar_t* name = SkipBlanks(token);
    if (SameTextIgnoringCase(name, L"NAI")) {
      bool all = true;
      for (const wchar_t* process : kNaiProcesses) all = running(process) && all;
      if (all) *verdict = 1;
    } else if (SameTextIgnoringCase(name, L"MCAFEE")) {
      bool any = false;
      for (const wchar_t* process : kMcAfeeProcesses) any = running(process) || any;
      if (any) *verdict = 1;
    }
  }
  return kCheckUnprepared;
}

bool HashFileMD5(const wchar_t* path, BYTE* digest, DWORD* digestLength, DWORD* error) {
  auto fail = [error](DWORD code) {
    if (error) *error = code;
    return false;
  };
  if (!path || !digest || !digestLength) return fail(ERROR_INVALID_PARAMETER);

  kesi::UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return fail(GetLastError());
  UniqueCryptProvider provider;
  if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return fail(GetLastError());
  UniqueCryptHash hash;
  if (!CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.put())) return fail(GetLastError());
  BYTE block[1024];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), block, sizeof(block), &read, nullptr)) return fail(GetLastError());
    if (read == 0) break;
    if (!CryptHashData(hash.get(), block, read, 0)) return fail(GetLastError());
  }
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, digestLength, 0)) return fail(GetLastError());
  return true;
}

LONG CheckCatalogSignature(const wchar_t* path, const wchar_t* catalog, DWORD* status) {
  if (!path || !catalog) {
    if (status) *status = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const size_t length = wcslen(catalog);
  const bool windowsCatalog = SameTextIgnoringCase(catalog, kWindowsCatalog);
  if (length != 2 * kMd5Length && length != 2 * kCatalogHashLength && !windowsCatalog) return 0;

  // The argument as multibyte text, compared with the digest's hexadecimal form.
  const int size = WideCharToMultiByte(CP_ACP, 0, catalog, -1, nullptr, 0, nullptr, nullptr);
  std::unique_ptr<char[]> argument(size > 0 ? new (std::nothrow) char[size] : nullptr);
  if (!argument || !WideCharToMultiByte(CP_ACP, 0, catalog, -1, argument.get(), size, nullptr, nullptr)) {
    if (status) *status = ERROR_OUTOFMEMORY;
    return 0;
  }

  if (windowsCatalog) return CheckCatalogHash(path, nullptr, status);
  if (length == 2 * kCatalogHashLength) return CheckCatalogHash(path, argument.get(), status);

  BYTE digest[kMd5Length] = {};
  DWORD digestLength = sizeof(digest);
  DWORD error = ERROR_SUCCESS;
  if (!HashFileMD5(path, digest, &digestLength, &error)) {
    if (status) *status = error;
    return 0;
  }
  char hex[2 * kMd5Length + 1];
  size_t hexLength = sizeof(hex);
  return kesi::BytesToHex(digest, digestLength, hex, &hexLength) && lstrcmpiA(hex, argument.get()) == 0;
}

}  // namespace kesi
