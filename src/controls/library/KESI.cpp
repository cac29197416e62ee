#include <windows.h>

#include "Catalog.h"
#include "ComFrame.h"
#include "Install.h"
#include "Msi.h"
#include "Registration.h"

namespace {
HINSTANCE g_module = nullptr;
}

// The module that holds the message table and the type library.
HINSTANCE KesiModule() { return g_module; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

// The in-process server's entry points.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  return kesi::controls::GetControlsClassObject(clsid, riid, out);
}

STDAPI DllCanUnloadNow() { return kesi::controls::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return kesi::controls::RegisterControls(true); }

STDAPI DllUnregisterServer() { return kesi::controls::RegisterControls(false); }

// The component catalog's exports (src/install/Catalog.h); the flags are bytes, as the callers pass them.
extern "C" DWORD WINAPI CatalogAdd(const wchar_t* name, const wchar_t* infPath, BOOLEAN removeDir) {
  return kesi::install::CatalogAdd(name, infPath, removeDir != 0);
}

extern "C" DWORD WINAPI CatalogRemove(const wchar_t* infPath) { return kesi::install::CatalogRemove(infPath); }

extern "C" DWORD WINAPI CatalogUninstall(const wchar_t* name, BOOLEAN* rebootNeeded) {
  return kesi::install::CatalogUninstall(name, rebootNeeded);
}

extern "C" DWORD WINAPI CatalogUninstallAll(BOOLEAN* rebootNeeded) {
  return kesi::install::CatalogUninstallAll(rebootNeeded);
}

// The install engine's exports (src/install/Install.h).
extern "C" DWORD WINAPI InstallComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                                         const wchar_t* version, const wchar_t* folderText, BOOLEAN windowsComponent) {
  return kesi::install::InstallComponent(cabUrl, fileName, classId, version, folderText, windowsComponent != 0);
}

extern "C" DWORD WINAPI InstallComponentVer(const wchar_t* cabUrl, const wchar_t* version, const wchar_t* folderText) {
  return kesi::install::InstallComponentVer(cabUrl, version, folderText);
}

extern "C" DWORD WINAPI UninstallComponent(const wchar_t* infPath, BOOLEAN removeFolder, BOOLEAN* rebootNeeded) {
  return kesi::install::UninstallComponent(infPath, removeFolder != 0, rebootNeeded);
}

// The Windows Installer exports (src/install/Msi.h).
extern "C" DWORD WINAPI DoMsiInstall(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* reserved,
                                     const wchar_t* extraArguments) {
  return kesi::install::DoMsiInstall(packagePath, configFile, reserved, extraArguments);
}

extern "C" DWORD WINAPI DoMsiCfgInstall(const wchar_t* packagePath, const wchar_t* configFile,
                                        const wchar_t* reserved, const wchar_t* extraArguments) {
  return kesi::install::DoMsiCfgInstall(packagePath, configFile, reserved, extraArguments);
}

extern "C" DWORD WINAPI IsMsiComponentInstalled(const wchar_t* configFile, DWORD* installed) {
  return kesi::install::IsMsiComponentInstalled(configFile, installed);
}

extern "C" DWORD WINAPI IsMsiComponentCfgInstalled(const wchar_t* configFile, DWORD* installed) {
  return kesi::install::IsMsiComponentCfgInstalled(configFile, installed);
}
