#include <windows.h>

#include "Catalog.h"

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
