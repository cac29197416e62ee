#pragma once
// Where the logs live: the log folder below the user's (or the common) application-data folder, and the
// file names of the roles' logs in it.
#include <windows.h>

namespace kesi {

// Log file names of the roles.
constexpr wchar_t kInterrogatorLogName[] = L"KESInterrogator.log";
constexpr wchar_t kInstallerLogName[] = L"KESInstaller.log";
constexpr wchar_t kProvisionerLogName[] = L"kesiProvisioner.log";
constexpr wchar_t kInitLogName[] = L"kesiInit.log";
constexpr wchar_t kBootstrapperLogName[] = L"kesiBootstrapper.log";
constexpr wchar_t kInstallLogName[] = L"kesiInstall.log";

// The user's log folder, application data + "\Velmora\LogFiles", created when missing. folder holds
// MAX_PATH characters.
DWORD GetLogFolder(wchar_t* folder);
// The user's (perUser) or the common application-data folder into folder, and its "\Velmora\LogFiles"
// into logFolder, creating "\Velmora" and "\LogFiles" when missing. Both hold MAX_PATH characters.
DWORD PrepareLogFolder(wchar_t* folder, wchar_t* logFolder, bool perUser);
// The user's log folder + "\" + name into path (MAX_PATH characters); 206 when that does not fit.
DWORD GetLogFolderFile(wchar_t* path, const wchar_t* name);
// The user's log folder + "\kesiBootstrapper.log" / "\kesiInit.log" (MAX_PATH characters).
DWORD GetBootstrapperLogPath(wchar_t* path);
DWORD GetInitLogPath(wchar_t* path);

}  // namespace kesi
