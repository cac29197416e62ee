#include "NetworkStack.h"

#include <wchar.h>

namespace kesi::install {

namespace {

// The file name part of path (after the last backslash or slash).
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return name;
}

}  // namespace

bool IsProviderFile(const wchar_t* path) {
  if (!path) return false;
  const wchar_t* name = FileNamePart(path);
  return _wcsicmp(name, L"lwsp.dll") == 0 || _wcsicmp(name, L"korsp.dll") == 0;
}

bool IsDriverFile(const wchar_t* path) {
  if (!path) return false;
  const wchar_t* name = FileNamePart(path);
  const wchar_t* dot = wcsrchr(name, L'.');
  const size_t stem = dot ? static_cast<size_t>(dot - name) : wcslen(name);
  return stem == 6 && _wcsnicmp(name, L"lwptdi", 6) == 0;
}

// Not built yet: every operation answers ERROR_CALL_NOT_IMPLEMENTED.
DWORD InstallProvider(const wchar_t*, LogFile*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD RemoveProvider(const wchar_t*, LogFile*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD InstallDriver(const wchar_t*, LogFile*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD RemoveDriver(LogFile*) { return ERROR_CALL_NOT_IMPLEMENTED; }
bool DriverPresent() { return false; }

}  // namespace kesi::install
