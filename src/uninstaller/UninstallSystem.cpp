#include "UninstallSystem.h"

#include <softpub.h>
#include <wintrust.h>

namespace kesi::uninstall {
namespace {

LONG VerifyOpenFile(HANDLE file, const wchar_t* path) {
  WINTRUST_FILE_INFO info = {};
  info.cbStruct = sizeof(info);
  info.pcwszFilePath = path;
  info.hFile = file;  // the very file the caller holds, not whatever the path names by now
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &data);
  return result;
}

void Trace(const wchar_t* line) { OutputDebugStringW(line); }

UninstallSystem g_system = DefaultUninstallSystem();

}  // namespace

UninstallSystem DefaultUninstallSystem() {
  return UninstallSystem{&MessageBoxW, &VerifyOpenFile, &BindMsiLibrary, &Trace, kAgentWaitMs};
}

UninstallSystem& CurrentUninstallSystem() { return g_system; }

UninstallSystem SetUninstallSystem(const UninstallSystem& system) {
  const UninstallSystem previous = g_system;
  g_system = system;
  return previous;
}

}  // namespace kesi::uninstall
