#include <windows.h>

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
