#pragma once
// Turns WOW64 file-system redirection off for this thread while alive, so that a 32-bit caller reaches the
// native system folder (where the drivers live); nothing happens in a native process. Keeps the caller's
// last error.
#include <windows.h>

namespace kesi {

class NativeFileSystem {
 public:
  NativeFileSystem() {
    using DisableFn = BOOL(WINAPI*)(PVOID*);
    const DWORD error = GetLastError();
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto disable = kernel ? reinterpret_cast<DisableFn>(reinterpret_cast<void*>(
                                GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")))
                          : nullptr;
    BOOL wow64 = FALSE;
    if (disable && IsWow64Process(GetCurrentProcess(), &wow64) && wow64) active_ = disable(&previous_) != FALSE;
    SetLastError(error);
  }
  ~NativeFileSystem() {
    if (!active_) return;
    using RevertFn = BOOL(WINAPI*)(PVOID);
    const DWORD error = GetLastError();
    if (auto revert = reinterpret_cast<RevertFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64RevertWow64FsRedirection"))))
      revert(previous_);
    SetLastError(error);
  }
  NativeFileSystem(const NativeFileSystem&) = delete;
  NativeFileSystem& operator=(const NativeFileSystem&) = delete;

 private:
  PVOID previous_ = nullptr;
  bool active_ = false;
};

}  // namespace kesi
