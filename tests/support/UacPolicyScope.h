#pragma once
// The user-account control policy ("EnableLUA") set for a scope and put back as it was afterwards. A new
// Wine prefix reads as "off", where the bootstrapper asks about Java and installs nothing; Windows has it on.
// The key is opened as the bootstrapper of the same build reads it.
#include <windows.h>

#include "Handles.h"

namespace kesi::test {

class UacPolicyScope {
 public:
  explicit UacPolicyScope(DWORD value) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key_.put(),
                        nullptr) != ERROR_SUCCESS)
      return;
    DWORD size = sizeof previous_;
    had_ = RegQueryValueExW(key_.get(), L"EnableLUA", nullptr, nullptr, reinterpret_cast<BYTE*>(&previous_), &size) ==
           ERROR_SUCCESS;
    set_ = RegSetValueExW(key_.get(), L"EnableLUA", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
  }
  ~UacPolicyScope() {
    if (!set_) return;
    if (had_) RegSetValueExW(key_.get(), L"EnableLUA", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_), sizeof previous_);
    else RegDeleteValueW(key_.get(), L"EnableLUA");
  }
  UacPolicyScope(const UacPolicyScope&) = delete;
  UacPolicyScope& operator=(const UacPolicyScope&) = delete;

  // Whether the value was set (and will be put back).
  bool Set() const { return set_; }

 private:
  static constexpr wchar_t kPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  UniqueKey key_;
  DWORD previous_ = 0;
  bool had_ = false;
  bool set_ = false;
};

}  // namespace kesi::test
