#pragma once
// What the uninstaller asks of the system beyond the registry and files, as a table that tests replace
// (the defaults are the real calls).
#include <windows.h>

#include "MsiLibrary.h"

namespace kesi::uninstall {

// How long the proxy agent may take to unregister itself before it is ended.
constexpr DWORD kAgentWaitMs = 5000;

struct UninstallSystem {
  // The question box (MessageBoxW): the button pressed.
  int(WINAPI* prompt)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
  // The signature check of the file open as file (at path): the platform's generic verification, no user
  // interface, no revocation check. 0 when trusted, else the platform's result.
  LONG (*verifyTrust)(HANDLE file, const wchar_t* path);
  // The Windows Installer calls (BindMsiLibrary): null, with the last error set, when unavailable.
  const MsiLibrary* (*msi)();
  // A line for whoever follows the process (OutputDebugStringW).
  void (*trace)(const wchar_t* line);
  DWORD agentWaitMs;
};

// The calls in use; SetUninstallSystem returns the previous table.
UninstallSystem& CurrentUninstallSystem();
UninstallSystem SetUninstallSystem(const UninstallSystem& system);
UninstallSystem DefaultUninstallSystem();

}  // namespace kesi::uninstall
