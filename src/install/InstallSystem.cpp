#include "InstallSystem.h"

#include <cstdlib>
#include <cwchar>
#include <new>

#include "GlobalFacts.h"
#include "Handles.h"
#include "HostChecks.h"
#include "SecurityChecks.h"
#include "Utf8Buffer.h"

namespace kesi::install {
namespace {

LONG VerifyCab(const wchar_t* cabPath, const wchar_t*) {
  return VerifyFileTrust(nullptr, cabPath, kTrustNoUi | kTrustVerifyState);
}

// The text is a block of its own, wiped when it goes (ReleaseSecret).
struct Cookie {
  CriticalSection lock;
  wchar_t* text = nullptr;
  size_t length = 0;

  void Release() {
    ReleaseSecret(text, (length + 1) * sizeof(wchar_t));
    text = nullptr;
    length = 0;
  }
};

Cookie& SharedCookie() {
  static Cookie cookie;
  return cookie;
}

}  // namespace

InstallSystem DefaultInstallSystem() {
  return InstallSystem{&VerifyCab, &FindProcessByModuleName, kRegistrationWaitMs, kInstallLockWaitMs};
}

InstallSystem& CurrentInstallSystem() {
  static InstallSystem system = DefaultInstallSystem();
  return system;
}

InstallSystem SetInstallSystem(const InstallSystem& system) {
  const InstallSystem previous = CurrentInstallSystem();
  CurrentInstallSystem() = system;
  return previous;
}

DWORD SetInstallCookie(const wchar_t* cookie) {
  Cookie& shared = SharedCookie();
  CriticalSectionLock hold(shared.lock);
  shared.Release();
  if (!cookie || !*cookie) return ERROR_SUCCESS;
  const size_t length = wcslen(cookie);
  shared.text = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
  if (!shared.text) return ERROR_OUTOFMEMORY;
  wmemcpy(shared.text, cookie, length + 1);
  shared.length = length;
  return ERROR_SUCCESS;
}

DWORD CopyInstallCookie(std::wstring* cookie) {
  Cookie& shared = SharedCookie();
  CriticalSectionLock hold(shared.lock);
  try {
    if (shared.text) cookie->assign(shared.text, shared.length);
    else cookie->clear();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

bool ReadSystemVersion(DWORD* platformId, DWORD* majorVersion) {
  OSVERSIONINFOW version = {sizeof version};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&version)) return false;
#pragma GCC diagnostic pop
  *platformId = version.dwPlatformId;
  *majorVersion = version.dwMajorVersion;
  return true;
}

bool IsVistaOrLater() {
  DWORD platform = 0, major = 0;
  return !ReadSystemVersion(&platform, &major) || major >= 6;
}

bool IsWindows2000OrLater() {
  DWORD platform = 0, major = 0;
  if (!ReadSystemVersion(&platform, &major)) return true;
  return (platform == VER_PLATFORM_WIN32_NT && major >= 5) || major >= 6;
}

bool IsAdministrator() {
  // Systems that are not NT-based have no administrators group: every user may do everything.
  DWORD platform = 0, major = 0;
  if (ReadSystemVersion(&platform, &major) && platform != VER_PLATFORM_WIN32_NT && major < 6) return true;
  return ReadUserNumber() == kUserAdministrator;
}

}  // namespace kesi::install
