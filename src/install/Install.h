#pragma once
// The install engine: installs a component (a signed CAB holding files and an install description file,
// "<name>.inf") into a folder, records it in the catalog, and uninstalls it again from its description.
// Each call is one run written to "KESInstaller.log"; a run that fails changes nothing it found.
#include <windows.h>

namespace kesi::install {

// Installs the component at cabUrl when version (and, with a class id, the registered server's version)
// is newer than what is installed. fileName names the component's program: when it contains ".exe" and a
// process of that name runs, nothing is installed and 32 is returned. All five texts must be non-empty
// (else 87). Returns a Win32 error code, 0 when installed or already current.
DWORD InstallComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                       const wchar_t* version, const wchar_t* folderText, bool windowsComponent);

// As InstallComponent with no program and no class id: the version file decides.
DWORD InstallComponentVer(const wchar_t* cabUrl, const wchar_t* version, const wchar_t* folderText);

// Uninstalls the component described by infPath (in its install folder), removing the folder too when
// removeFolder is set. On success, when rebootNeeded is not null, ORs the run's reboot flag into it.
DWORD UninstallComponent(const wchar_t* infPath, bool removeFolder, BYTE* rebootNeeded);

}  // namespace kesi::install
