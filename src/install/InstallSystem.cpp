#include "InstallSystem.h"

#include <cwchar>
#include <memory>
#include <new>

#include "Handles.h"
#include "HostChecks.h"
#include "SecureWipe.h"
#include "SecurityChecks.h"

namespace kesi::install {
namespace {

LONG VerifyCab(const wchar_t* cabPath, const wchar_t*) {
  return VerifyFileTrust(nullptr, cabPath, kTrustNoUi | kTrustVerifyState);
}

struct Cookie {
  CriticalSection lock;
  std::unique_ptr<wchar_t[]> text;
  size_t length = 0;

  void Wipe() {
    if (text) SecureWipe(text.get(), (length + 1) * sizeof(wchar_t));
    text.reset();
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
  shared.Wipe();
  if (!cookie || !*cookie) return ERROR_SUCCESS;
  const size_t length = wcslen(cookie);
  shared.text.reset(new (std::nothrow) wchar_t[length + 1]);
  if (!shared.text) return ERROR_OUTOFMEMORY;
  wmemcpy(shared.text.get(), cookie, length + 1);
  shared.length = length;
  return ERROR_SUCCESS;
}

DWORD CopyInstallCookie(std::wstring* cookie) {
  Cookie& shared = SharedCookie();
  CriticalSectionLock hold(shared.lock);
  try {
    if (shared.text) cookie->assign(shared.text.get(), shared.length);
    else cookie->clear();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

}  // namespace kesi::install
