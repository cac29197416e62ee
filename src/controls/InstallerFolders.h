#pragma once
// Where the installer object puts the install configuration ("tqsetup.ini") and the package
// ("tqvpn.msi"): the browser's writeable folder in protected mode, else the interactive user's
// application data, and on systems before Vista the all-users application data; each + "\Velmora\".
#include <windows.h>

#include <string>

namespace kesi::controls {

// True when ieframe.dll (bound at run time by name) says this process runs in the browser's protected
// mode. A missing library or entry point counts as not protected; a failing call counts as protected only
// when it is refused (E_ACCESSDENIED).
bool IsProtectedModeProcess();

// The application-data folder of the interactive user: that of the user of an "explorer.exe" that runs
// under this process's user, else this process's own. No final backslash; empty when none is known.
std::wstring InteractiveUserAppData();

// The folder of the configuration file, with its final backslash: the protected mode's writeable
// Temporary Internet Files folder, the interactive user's application data (Vista and later) or the
// all-users application data (before Vista), + "Velmora\". Empty when the base folder is unknown.
std::wstring ConfigurationFolder();
// The folder of the package, with its final backslash: the interactive user's application data (Vista
// and later) or the all-users application data, + "Velmora\".
std::wstring PackageFolder();

// What the folders ask of the system; tests replace entries (the defaults are the real calls).
struct InstallerFolderSystem {
  bool (*isVistaOrLater)();
  bool (*isAdministrator)();
  BOOL(WINAPI* createDirectory)(const wchar_t* path, SECURITY_ATTRIBUTES* attributes);
};
InstallerFolderSystem& CurrentInstallerFolderSystem();
// Installs system and returns the previous table.
InstallerFolderSystem SetInstallerFolderSystem(const InstallerFolderSystem& system);
InstallerFolderSystem DefaultInstallerFolderSystem();

// Creates folder (with a final backslash) when it is missing: 0 or the error. Only the all-users folder
// of systems before Vista, which every user of the machine shares, is given a descriptor that grants
// everyone full access (when an administrator creates it); any other folder inherits its parent's.
DWORD CreateInstallerFolder(const std::wstring& folder);

}  // namespace kesi::controls
