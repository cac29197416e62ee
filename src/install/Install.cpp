#include "Install.h"

#include <cwchar>
#include <new>

#include "InstallRun.h"

namespace kesi::install {
namespace {

bool Given(const wchar_t* text) { return text && *text; }

// ".exe" anywhere in the name, compared in lower case.
bool NamesProgram(const wchar_t* fileName) {
  std::wstring lower(fileName);
  CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
  return lower.find(L".exe") != std::wstring::npos;
}

}  // namespace

DWORD InstallComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                       const wchar_t* version, const wchar_t* folderText, bool windowsComponent) {
  if (!Given(cabUrl) || !Given(fileName) || !Given(classId) || !Given(version) || !Given(folderText))
    return ERROR_INVALID_PARAMETER;
  try {
    CInstall run(windowsComponent);
    if (NamesProgram(fileName)) {
      const DWORD opened = run.OpenLog();
      if (opened) return opened;
      if (run.ProgramRunning(fileName)) return ERROR_SHARING_VIOLATION;
    }
    return run.Install(version, cabUrl, folderText, classId);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

DWORD InstallComponentVer(const wchar_t* cabUrl, const wchar_t* version, const wchar_t* folderText) {
  if (!Given(cabUrl) || !Given(version) || !Given(folderText)) return ERROR_INVALID_PARAMETER;
  try {
    CInstall run(false);
    return run.Install(version, cabUrl, folderText, nullptr);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

DWORD UninstallComponent(const wchar_t* infPath, bool removeFolder, BYTE* rebootNeeded) {
  if (!Given(infPath)) return ERROR_INVALID_PARAMETER;
  try {
    CInstall run(false);
    const DWORD result = run.Uninstall(infPath, removeFolder);
    // OR-ed: an earlier component's need for a restart is never cleared by a later one.
    if (!result && rebootNeeded && run.IsRebootRequired()) *rebootNeeded = TRUE;
    return result;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

}  // namespace kesi::install
