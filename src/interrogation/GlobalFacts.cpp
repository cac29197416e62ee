#include "GlobalFacts.h"

#include <shlobj.h>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

namespace {

bool BoundNativeArchitecture(WORD* architecture) {
  using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto fn = kernel ? reinterpret_cast<GetNativeSystemInfoFn>(GetProcAddress(kernel, "GetNativeSystemInfo")) : nullptr;
  if (!fn) return false;
  SYSTEM_INFO info = {};
  fn(&info);
  *architecture = info.wProcessorArchitecture;
  return true;
}

constexpr GlobalFactCalls kDefaults = {CheckTokenMembership, SHGetFolderPathW, GetSystemDirectoryW,
                                       BoundNativeArchitecture};
GlobalFactCalls g_calls = kDefaults;

bool IsMemberOfAlias(DWORD aliasRid) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  kesi::UniqueSid sid;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, aliasRid, 0, 0, 0, 0, 0, 0, sid.put()))
    return false;
  BOOL member = FALSE;
  if (!g_calls.checkTokenMembership(nullptr, sid.get(), &member)) member = FALSE;
  return member != FALSE;
}

}  // namespace

GlobalFactCalls& GlobalFactSystem() { return g_calls; }
void ResetGlobalFactCalls() { g_calls = kDefaults; }

DWORD ReadUserNumber() {
  if (IsMemberOfAlias(DOMAIN_ALIAS_RID_ADMINS)) return kUserAdministrator;
  if (IsMemberOfAlias(DOMAIN_ALIAS_RID_POWER_USERS)) return kUserPowerUser;
  return kUserOther;
}

bool ReadUserHomeDirectory(RQString* folder) {
  // The folder of the user the thread acts for: an impersonating thread's own token comes first.
  kesi::UniqueHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, token.put()))
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE, token.put());
  wchar_t path[MAX_PATH] = {};
  HRESULT hr = g_calls.getFolderPath(nullptr, CSIDL_APPDATA, token.get(), SHGFP_TYPE_DEFAULT, path);
  // Wine accepts no explicit token; no token names the same user (the thread's, else the process's).
  if (FAILED(hr) && token) hr = g_calls.getFolderPath(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, path);
  if (FAILED(hr)) return false;
  path[MAX_PATH - 1] = 0;
  if (!path[0]) return false;
  if (wchar_t* slash = wcsrchr(path, L'\\')) *slash = 0;
  *folder = path;
  return true;
}

bool ReadSystemDirectory(RQString* folder) {
  wchar_t path[MAX_PATH] = {};
  UINT n = g_calls.getSystemDirectory(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  *folder = path;
  return true;
}

bool ReadIs64Bit() {
  WORD architecture = 0;
  return g_calls.nativeArchitecture(&architecture) && architecture == PROCESSOR_ARCHITECTURE_AMD64;
}

}  // namespace kesi
