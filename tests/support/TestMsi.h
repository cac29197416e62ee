#pragma once
// The tests' Windows Installer steps, all without user interface: a package installed, a product's state
// and installed version, a product removed when it is installed.
#include <windows.h>
#include <msi.h>

#include <string>

namespace kesi::test {

inline UINT InstallPackageQuietly(const std::wstring& package) {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  return MsiInstallProductW(package.c_str(), L"");
}

inline bool IsProductInstalled(const wchar_t* product) {
  return MsiQueryProductStateW(product) == INSTALLSTATE_DEFAULT;
}

// The product's installed version ("1.0.2") read straight from the installer; empty when it is not
// installed, "?" when it is but its version cannot be read.
inline std::wstring InstalledVersion(const wchar_t* product) {
  if (!IsProductInstalled(product)) return L"";
  wchar_t version[64] = {};
  DWORD chars = 64;
  return MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &chars) == ERROR_SUCCESS ? version : L"?";
}

inline void RemoveProductIfInstalled(const wchar_t* product) {
  if (!IsProductInstalled(product)) return;
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  MsiConfigureProductExW(product, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, L"REMOVE=ALL");
}

}  // namespace kesi::test
