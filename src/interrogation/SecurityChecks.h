#pragma once
// The security-product checks behind the PFW and AVIRUS literals (their entry points are in Checks.h),
// and the file-identity checks the FILE literal uses: MD5 digest, catalog hash, catalog membership and
// the platform's signature verification.
#include <windows.h>

namespace kesi {

// Product libraries of the firewall check, looked up in the system folder.
constexpr wchar_t kZoneAlarmLibrary[] = L"vspubapi.dll";
constexpr char kZoneAlarmExport[] = "tvIsTvRunning";
constexpr wchar_t kSygateLibrary[] = L"fwsvpn.dll";
constexpr char kSygateExport[] = "CheckStatus";

// One product each. The first two return 0 and write the verdict; the third returns the COM result of
// its last step (the verdict is 1 only when the firewall manager says the firewall is enabled).
LONG CheckZoneAlarm(LONG* verdict);
LONG CheckSygate(LONG* verdict);
HRESULT CheckWindowsFirewall(LONG* verdict);

// The platform's firewall manager, {304CE942-6E39-40D8-943A-B913C40C9CD4}.
constexpr CLSID kFirewallManagerClsid = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
// The class CheckWindowsFirewall creates in process: the firewall manager. Wine's manager cannot be made
// to fail, so tests name a stand-in class here and put the default back with ResetFirewallManagerClass.
CLSID& FirewallManagerClass();
void ResetFirewallManagerClass();

// Whether the file at path is the one the catalog argument describes:
//   32 characters      its MD5 digest in hexadecimal (any case);
//   40 characters      its catalog hash (the SHA-1 the catalog administrator computes) in hexadecimal;
//   "WINDOWS_CATALOG"  its catalog hash is listed in a catalog of the system's catalog database (any case).
// Any other argument is false at once. Returns the verdict (1 or 0); when a step fails, *status (may be
// null) receives its Win32 error code (14 when the argument cannot be copied).
LONG CheckCatalogSignature(const wchar_t* path, const wchar_t* catalog, DWORD* status);

// The MD5 digest of a file through the platform's cryptographic provider. digest holds *digestLength
// bytes (at least 16); on success *digestLength receives the digest's length. On failure false, and
// *error (may be null) receives the failing step's error code.
bool HashFileMD5(const wchar_t* path, BYTE* digest, DWORD* digestLength, DWORD* error);

// Flags of VerifyFileTrust.
constexpr DWORD kTrustNoUi = 0x1;         // never show the platform's trust dialogs
constexpr DWORD kTrustVerifyState = 0x2;  // run with the "verify" state action (the state is closed again)

// The platform's generic signature verification of one file, without revocation checks. Returns the
// platform's result: 0 when the file is signed and trusted (TRUST_E_NOSIGNATURE 0x800B0100 unsigned,
// TRUST_E_BAD_DIGEST 0x80096010 changed after signing, ...).
LONG VerifyFileTrust(HWND window, const wchar_t* path, DWORD flags);

}  // namespace kesi
