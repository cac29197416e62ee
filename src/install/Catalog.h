#pragma once
// The component catalog "kesi.cat": which components the install engine installed, where their install
// description files are, and whether uninstalling removes their folders. An initialisation-format file
// beside the module that holds this code, read and written through the profile functions.
#include <windows.h>

namespace kesi::install {

// Uninstalls the component whose description file is infPath; on success ORs the run's reboot-required
// flag into *rebootNeeded when that is not null.
using UninstallComponentFunction = DWORD (*)(const wchar_t* infPath, bool removeDir, BYTE* rebootNeeded);

// Two callers at once: each operation holds a mutex named from the catalog's path, waited for at most
// this long (the default); a caller that waits longer gets ERROR_TIMEOUT (1460) and nothing is changed.
constexpr DWORD kCatalogLockWaitMs = 30000;

// What the catalog asks of the system beyond the profile functions; tests replace entries.
struct CatalogSystem {
  UninstallComponentFunction uninstallComponent;  // the install engine's UninstallComponent (Install.h)
  // The full path of the module that holds the catalog code (GetModuleFileNameW's contract: the length
  // written, size when the path was cut, 0 on failure).
  DWORD (*modulePath)(wchar_t* buffer, DWORD size);
  DWORD lockWaitMs;
};

// The calls in use; SetCatalogSystem returns the previous table.
CatalogSystem& CurrentCatalogSystem();
CatalogSystem SetCatalogSystem(const CatalogSystem& system);
CatalogSystem DefaultCatalogSystem();

// The catalog's full path into path (MAX_PATH characters); false (and path empty) when the module path
// cannot be read or the result does not fit.
bool CatalogPath(wchar_t (&path)[MAX_PATH]);

// Each returns a Win32 error code: 0 success, 87 a required text null or empty, 2 no catalog path or
// component not catalogued, 234 a "Catalog" section of 1,022 characters or more, 206 a name or path that
// does not fit its 260-character field, 1460 the catalog stayed busy, else the failed call's error.
// The uninstalls write *rebootNeeded (when not null) once at the end, with the OR of the flags of every
// component whose uninstall succeeded, and leave it alone when none did. An entry whose description file
// no longer exists is dropped without an uninstall.
DWORD CatalogAdd(const wchar_t* name, const wchar_t* infPath, bool removeDir);
DWORD CatalogRemove(const wchar_t* infPath);
// CatalogAdd for an install run: an entry for the same description file that removes its folder keeps
// doing so, since an upgrade finds in place the folder that the first install created.
DWORD CatalogRecordInstall(const wchar_t* name, const wchar_t* infPath, bool folderCreated);
DWORD CatalogUninstall(const wchar_t* name, BYTE* rebootNeeded);
DWORD CatalogUninstallAll(BYTE* rebootNeeded);

}  // namespace kesi::install
