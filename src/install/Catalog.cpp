#include "Catalog.h"

#include <cwchar>
#include <new>
#include <string>

#include "Handles.h"
#include "Install.h"
#include "InstallPath.h"
#include "LastError.h"
#include "PathLock.h"

namespace kesi::install {
namespace {

constexpr wchar_t kCatalogFile[] = L"kesi.cat";
constexpr wchar_t kCatalogSection[] = L"Catalog";
constexpr wchar_t kInfKey[] = L"INF";
constexpr wchar_t kRemoveDirKey[] = L"RemoveDIR";
constexpr DWORD kSectionChars = 1024;
// The profile functions report a section that does not fit with its size minus 2.
constexpr DWORD kSectionLimit = kSectionChars - 2;
constexpr DWORD kRemoveDirChars = 10;

DWORD OwnModulePath(wchar_t* buffer, DWORD size) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&OwnModulePath), &module))
    return 0;
  return GetModuleFileNameW(module, buffer, size);
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// Fits a MAX_PATH field with its terminating NUL.
bool FitsPath(const wchar_t* text) { return wcslen(text) < MAX_PATH; }

// One operation at a time per catalog file, across processes ("Local\kesi.cat.<hash>"). An uninstall
// that the catalog starts calls back into the catalog on the same thread, under the same (recursive) mutex.
class CatalogLock {
 public:
  DWORD Acquire(const wchar_t* catalogPath) {
    return lock_.Acquire(L"Local\\kesi.cat.", catalogPath, CurrentCatalogSystem().lockWaitMs);
  }

 private:
  PathLock lock_;
};

// A new catalog starts with the UTF-16 byte-order mark, so that the profile functions keep writing UTF-16
// and paths outside the ANSI code page survive. An existing file is left as it is (ANSI catalogs stay
// readable).
DWORD EnsureCatalogFile(const wchar_t* catalogPath) {
  UniqueFile file(CreateFileW(catalogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
  }
  static const BYTE kByteOrderMark[] = {0xFF, 0xFE};
  DWORD written = 0;
  if (!WriteFile(file.get(), kByteOrderMark, sizeof kByteOrderMark, &written, nullptr) ||
      written != sizeof kByteOrderMark) {
    const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
    file.reset();
    DeleteFileW(catalogPath);
    return error;
  }
  return ERROR_SUCCESS;
}

// The "Catalog" section as NUL-separated lines.
DWORD ReadCatalogSection(const wchar_t* catalogPath, wchar_t (&section)[kSectionChars]) {
  const DWORD length = GetPrivateProfileSectionW(kCatalogSection, section, kSectionChars, catalogPath);
  return length >= kSectionLimit ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

// A value of at most MAX_PATH - 1 characters (empty when missing); 206 when it is longer, so that a cut
// path never stands for the real one.
DWORD ReadPathValue(const wchar_t* catalogPath, const wchar_t* section, const wchar_t* key,
                    wchar_t (&value)[MAX_PATH + 1]) {
  const DWORD length = GetPrivateProfileStringW(section, key, L"", value, MAX_PATH + 1, catalogPath);
  return length >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

DWORD DeleteEntry(const wchar_t* catalogPath, const wchar_t* key, const wchar_t* section) {
  if (!WritePrivateProfileStringW(kCatalogSection, key, nullptr, catalogPath) ||
      !WritePrivateProfileStringW(section, nullptr, nullptr, catalogPath))
    return LastErrorOr(ERROR_INTERNAL_ERROR);
  return ERROR_SUCCESS;
}

// The reboot flags of every uninstall that succeeded, OR-ed: a later component that needs no restart
// never hides an earlier one that does.
struct RebootState {
  bool anyUninstalled = false;
  BYTE needed = 0;
  void WriteTo(BYTE* rebootNeeded) const {
    if (rebootNeeded && anyUninstalled) *rebootNeeded = needed;
  }
};

DWORD UninstallEntry(const wchar_t* catalogPath, const wchar_t* name, RebootState& reboot) {
  wchar_t section[MAX_PATH + 1];
  DWORD result = ReadPathValue(catalogPath, kCatalogSection, name, section);
  if (result) return result;
  if (!*section) return ERROR_FILE_NOT_FOUND;
  wchar_t infPath[MAX_PATH + 1];
  result = ReadPathValue(catalogPath, section, kInfKey, infPath);
  if (result) return result;
  if (!*infPath) return ERROR_FILE_NOT_FOUND;
  wchar_t removeDir[kRemoveDirChars];
  GetPrivateProfileStringW(section, kRemoveDirKey, L"", removeDir, kRemoveDirChars, catalogPath);
  const bool removeFolder = removeDir[0] == L'Y' || removeDir[0] == L'y';

  // Without its description file the engine can never uninstall the component; the entry is dropped
  // so that it does not fail every later call.
  const bool descriptionGone = GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES &&
                               (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
  if (!descriptionGone) {
    BYTE needed = 0;
    result = CurrentCatalogSystem().uninstallComponent(infPath, removeFolder, &needed);
    if (result) return result;
    reboot.anyUninstalled = true;
    reboot.needed |= needed;
  }
  return DeleteEntry(catalogPath, name, name);
}

DWORD UninstallNamed(const wchar_t* catalogPath, const wchar_t* name, RebootState& reboot) {
  if (!FitsPath(name)) return ERROR_FILENAME_EXCED_RANGE;
  if (SameText(name, L"lw")) {
    // The on-demand client takes its layered service provider with it.
    const DWORD result = UninstallNamed(catalogPath, L"lwnlsp", reboot);
    if (result && result != ERROR_FILE_NOT_FOUND) return result;
  }
  return UninstallEntry(catalogPath, name, reboot);
}

}  // namespace

CatalogSystem DefaultCatalogSystem() { return CatalogSystem{&UninstallComponent, &OwnModulePath, kCatalogLockWaitMs}; }

CatalogSystem& CurrentCatalogSystem() {
  static CatalogSystem system = DefaultCatalogSystem();
  return system;
}

CatalogSystem SetCatalogSystem(const CatalogSystem& system) {
  const CatalogSystem previous = CurrentCatalogSystem();
  CurrentCatalogSystem() = system;
  return previous;
}

bool CatalogPath(wchar_t (&path)[MAX_PATH]) {
  path[0] = L'\0';
  wchar_t module[MAX_PATH];
  const DWORD length = CurrentCatalogSystem().modulePath(module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  module[length] = L'\0';
  // Keep the drive and folder, up to the last separator.
  size_t folder = 0;
  for (DWORD i = 0; i < length; ++i)
    if (module[i] == L'\\' || module[i] == L'/' || module[i] == L':') folder = i + 1;
  module[folder] = L'\0';
  std::wstring joined;
  try {
    if (JoinInstallPath(&joined, {module, kCatalogFile}) != 0) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  wcscpy(path, joined.c_str());
  return true;
}

namespace {

// Finds the catalog and takes its lock for the caller: 0, 2 when the catalog has no path, or the lock's
// failure.
DWORD LockCatalog(wchar_t (&path)[MAX_PATH], CatalogLock& lock) {
  if (!CatalogPath(path)) return ERROR_FILE_NOT_FOUND;
  return lock.Acquire(path);
}

}  // namespace

namespace {

DWORD AddEntry(const wchar_t* name, const wchar_t* infPath, bool removeDir, bool keepFolderRemoval) {
  if (!name || !*name || !infPath || !*infPath) return ERROR_INVALID_PARAMETER;
  wchar_t path[MAX_PATH];
  if (!CatalogPath(path)) return ERROR_FILE_NOT_FOUND;
  // Both are read back into 260-character fields; one that would not fit is refused, not cut.
  if (!FitsPath(name) || !FitsPath(infPath)) return ERROR_FILENAME_EXCED_RANGE;
  CatalogLock lock;
  DWORD result = lock.Acquire(path);
  if (result) return result;
  result = EnsureCatalogFile(path);
  if (result) return result;
  if (keepFolderRemoval && !removeDir) {
    wchar_t listed[MAX_PATH + 1];
    wchar_t removal[kRemoveDirChars];
    GetPrivateProfileStringW(name, kRemoveDirKey, L"", removal, kRemoveDirChars, path);
    removeDir = ReadPathValue(path, name, kInfKey, listed) == ERROR_SUCCESS && SameText(listed, infPath) &&
                (removal[0] == L'Y' || removal[0] == L'y');
  }
  if (!WritePrivateProfileStringW(kCatalogSection, name, name, path) ||
      !WritePrivateProfileStringW(name, kInfKey, infPath, path) ||
      !WritePrivateProfileStringW(name, kRemoveDirKey, removeDir ? L"Yes" : L"No", path))
    return LastErrorOr(ERROR_INTERNAL_ERROR);
  return ERROR_SUCCESS;
}

}  // namespace

DWORD CatalogAdd(const wchar_t* name, const wchar_t* infPath, bool removeDir) {
  return AddEntry(name, infPath, removeDir, false);
}

DWORD CatalogRecordInstall(const wchar_t* name, const wchar_t* infPath, bool folderCreated) {
  return AddEntry(name, infPath, folderCreated, true);
}

DWORD CatalogRemove(const wchar_t* infPath) {
  if (!infPath || !*infPath) return ERROR_INVALID_PARAMETER;
  wchar_t path[MAX_PATH];
  CatalogLock lock;
  DWORD result = LockCatalog(path, lock);
  if (result) return result;
  wchar_t section[kSectionChars];
  result = ReadCatalogSection(path, section);
  if (result) return result;
  for (wchar_t* line = section; *line;) {
    wchar_t* next = line + wcslen(line) + 1;
    wchar_t* equals = wcschr(line, L'=');
    if (equals) {
      const wchar_t* component = equals + 1;
      wchar_t listed[MAX_PATH + 1];
      if (ReadPathValue(path, component, kInfKey, listed) == ERROR_SUCCESS && SameText(listed, infPath)) {
        *equals = L'\0';
        return DeleteEntry(path, line, component);
      }
    }
    line = next;
  }
  return ERROR_SUCCESS;
}

DWORD CatalogUninstall(const wchar_t* name, BYTE* rebootNeeded) {
  if (!name || !*name) return ERROR_INVALID_PARAMETER;
  wchar_t path[MAX_PATH];
  CatalogLock lock;
  DWORD result = LockCatalog(path, lock);
  if (result) return result;
  RebootState reboot;
  result = UninstallNamed(path, name, reboot);
  reboot.WriteTo(rebootNeeded);
  return result;
}

DWORD CatalogUninstallAll(BYTE* rebootNeeded) {
  wchar_t path[MAX_PATH];
  CatalogLock lock;
  DWORD result = LockCatalog(path, lock);
  if (result) return result;
  // The section is read once; the uninstalls below change the file, not this copy.
  wchar_t section[kSectionChars];
  result = ReadCatalogSection(path, section);
  if (result) return result;
  RebootState reboot;
  for (wchar_t* line = section; *line;) {
    wchar_t* next = line + wcslen(line) + 1;
    if (wchar_t* equals = wcschr(line, L'=')) *equals = L'\0';
    DWORD one = UninstallNamed(path, line, reboot);
    // Already uninstalled together with "lw".
    if (one == ERROR_FILE_NOT_FOUND && SameText(line, L"lwnlsp")) one = ERROR_SUCCESS;
    if (one && !result) result = one;
    line = next;
  }
  reboot.WriteTo(rebootNeeded);
  return result;
}

}  // namespace kesi::install
