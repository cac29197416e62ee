#pragma once
// Windows Installer packages: the VPN client package and its decision from the install configuration
// file, msiexec runs, the hand-off to the VPN client's update service, and the package and product
// queries the agent provisioner uses. msi.dll is bound at run time by ordinal.
#include <windows.h>

#include <string>

namespace kesi {
class LogFile;
}

namespace kesi::install {

// A version of three parts (major, minor, build), as Windows Installer products carry them.
struct MsiVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
};

// ---- The library's exports ----------------------------------------------------------------------

// Installs or upgrades the VPN client package packagePath as configFile decides (directly by msiexec, or
// through the VPN client's update service). 0 on success (msiexec's 3010 and 1641 included, and when the
// installed client is newer: the user is told, nothing runs); msiexec's failing exit code; 1625 when a
// user who is no administrator finds no update service before Vista; 1460 when the service does not
// complete within its bound; 50 on a system older than Windows 2000; else the Win32 error.
DWORD DoMsiInstall(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* reserved,
                   const wchar_t* extraArguments);
// Accepted and does nothing: always 0.
DWORD DoMsiCfgInstall(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* reserved,
                      const wchar_t* extraArguments);
// Whether the VPN client that configFile describes is installed (and its phone-book entry matches):
// *installed 1 or 0. 0, or 87 for a null or empty file name or a null out pointer.
DWORD IsMsiComponentInstalled(const wchar_t* configFile, DWORD* installed);
DWORD IsMsiComponentCfgInstalled(const wchar_t* configFile, DWORD* installed);

// The same, writing their lines to log (may be null; the exports pass none).
DWORD DoMsiInstallWithLog(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* extraArguments,
                          LogFile* log);
DWORD IsMsiComponentInstalled(const wchar_t* configFile, DWORD* installed, LogFile* log);

// The VPN client decision for configFile (null: the defaults): 0 not installed, 1 the package is newer,
// 2 the installed product is newer, 3 the same version.
int DecideVpnClientInstall(const wchar_t* configFile);

// ---- Services of the agent provisioner ------------------------------------------------------------

struct MsiPackage {
  std::wstring path;
  std::wstring productCode;
  MsiVersion version;
  DWORD language = 1033;  // 1033 when the package gives none or a value below 1
};

struct MsiProduct {
  std::wstring productCode;
  bool installed = false;  // MsiQueryProductStateW answered INSTALLSTATE_DEFAULT (5)
  MsiVersion version;      // from "VersionString"
  DWORD language = 1033;
};

// User-interface levels as the install configuration file and the provisioner name them.
enum class MsiUiLevel { kFull, kReduced, kBasic, kNone };

// Opens the package (ignoring the machine state, no user interface) and reads its "ProductCode",
// "ProductVersion" and "ProductLanguage". 0 or the Windows Installer code.
DWORD OpenMsiPackage(const wchar_t* packagePath, MsiPackage* package);
// The product's state, version and language; a product that is not installed is 0 with installed false.
DWORD QueryMsiProduct(const wchar_t* productCode, MsiProduct* product);
// msiexec for a provisioned package: "/i", the package, the level, "/l*v" logPath, " ADDLOCAL=ALL" and
// installArguments (may be null). Returns msiexec's exit code (0, 3010 and 1641 are successes) or the
// error of starting it.
DWORD RunAgentMsiexec(const wchar_t* packagePath, MsiUiLevel level, const wchar_t* logPath,
                      const wchar_t* installArguments);
// The provisioner's VPN client install (the package renamed to "tqvpn.msi", then the update service or
// msiexec). wasInstalled: the product was installed before. Writes its lines to log.
DWORD InstallVpnClientAgent(const wchar_t* packagePath, bool wasInstalled, const wchar_t* logPath, LogFile* log);
// Removes the product (REMOVE=ALL plus extraArguments) with the given interface level, logging to logPath.
DWORD UninstallMsiProduct(const wchar_t* productCode, MsiUiLevel level, const wchar_t* logPath,
                          const wchar_t* extraArguments);
// The Windows Installer result line for code ("MSI install/uninstall operation succeeded.", "MSI install
// failed: ...").
std::wstring MsiResultLine(DWORD code);

// ---- What the installs ask of the system; tests replace it -----------------------------------------

// The bounds of the update service hand-off.
constexpr DWORD kUpdateServiceWaitMs = 1800000;    // for the completion event, on every path
constexpr DWORD kUpdateServiceWaitPreVistaMs = 300000;
constexpr DWORD kUpdatePipeWaitMs = 3000;          // for the service's pipe to take a client
constexpr DWORD kUpdatePipeReplyMs = 30000;        // for the service's reply

struct MsiSystem {
  bool (*isSupportedSystem)();  // Windows 2000 or later
  bool (*isVistaOrLater)();
  bool (*isAdministrator)();
  // Asks the user (MessageBoxW's contract); message boxes would block a caller without a desktop.
  int(WINAPI* prompt)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
  DWORD serviceWaitMs;         // the completion event on Vista and later and in the provisioner
  DWORD serviceWaitPreVistaMs; // the completion event before Vista
  DWORD serviceStartDelayMs;   // before the completion wait where the service is given time to start (5,000)
  DWORD serviceSettleMs;       // after completion before Vista (3,000)
  DWORD pipeWaitMs;
  DWORD pipeReplyMs;
  DWORD progressSliceMs;       // one step of the progress bar (500)
};

// The calls in use; SetMsiSystem returns the previous table.
MsiSystem& CurrentMsiSystem();
MsiSystem SetMsiSystem(const MsiSystem& system);
MsiSystem DefaultMsiSystem();

}  // namespace kesi::install
