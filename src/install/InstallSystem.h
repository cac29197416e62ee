#pragma once
// What the install engine asks of the system beyond files and the registry, as a table that tests replace
// (the defaults are the real calls), and the session cookie its downloads send.
#include <windows.h>

#include <string>

namespace kesi::install {

// How long a registration program ("path" /RegServer) may run before the run gives up on it (1460).
constexpr DWORD kRegistrationWaitMs = 60000;
// How long a run waits for another run that holds the same install folder (then 1460, nothing changed).
constexpr DWORD kInstallLockWaitMs = 60000;

struct InstallSystem {
  // The signature check of a downloaded CAB: the platform's generic verification, no user interface, no
  // revocation check. publisher is the expected publisher, handed over but not compared. 0 when trusted,
  // else the platform's result (0x800B0100 unsigned, 0x80096010 changed after signing, ...).
  LONG (*verifyTrust)(const wchar_t* cabPath, const wchar_t* publisher);
  // Whether a process whose first module is named baseName runs (FindProcessByModuleName's contract).
  DWORD (*findProgram)(const wchar_t* baseName, LONG* found, bool* tableFull);
  DWORD registrationWaitMs;
  DWORD lockWaitMs;
};

// The calls in use; SetInstallSystem returns the previous table.
InstallSystem& CurrentInstallSystem();
InstallSystem SetInstallSystem(const InstallSystem& system);
InstallSystem DefaultInstallSystem();

// The session cookie text ("name=value; ...") that component downloads send, shared by the whole library
// and replaced by each installer object that is given one; null or empty clears it. The old text is wiped
// and released through ReleaseSecret (Utf8Buffer.h).
// Returns 14 when there is no memory for the copy (the old text is then gone too), else 0.
DWORD SetInstallCookie(const wchar_t* cookie);
// A copy of the cookie for one download, taken under the same lock (empty when none is set). The caller
// wipes its copy (SecureWipe) when done.
DWORD CopyInstallCookie(std::wstring* cookie);

// The system's version as this program sees it (GetVersionExW; Wine answers per program from its
// AppDefaults). False when it cannot be read.
bool ReadSystemVersion(DWORD* platformId, DWORD* majorVersion);
// Windows Vista or later (major version 6 or more; true when the version cannot be read).
bool IsVistaOrLater();
// Windows 2000 or later: an NT platform of major version 5 or more (or Vista or later).
bool IsWindows2000OrLater();
// The user is a member of the administrators (the global facts' user number 1); on a system that is not
// NT-based every user counts as one.
bool IsAdministrator();

}  // namespace kesi::install
