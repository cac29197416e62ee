#include "Msi.h"

namespace kesi::install {

// Not built yet: every operation answers ERROR_CALL_NOT_IMPLEMENTED.
DWORD DoMsiInstall(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD DoMsiCfgInstall(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }
DWORD IsMsiComponentInstalled(const wchar_t*, DWORD*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD IsMsiComponentCfgInstalled(const wchar_t*, DWORD*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD OpenMsiPackage(const wchar_t*, MsiPackage*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD QueryMsiProduct(const wchar_t*, MsiProduct*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD RunAgentMsiexec(const wchar_t*, MsiUiLevel, const wchar_t*, const wchar_t*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD InstallVpnClientAgent(const wchar_t*, bool, const wchar_t*, LogFile*) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD UninstallMsiProduct(const wchar_t*, MsiUiLevel, const wchar_t*, const wchar_t*) { return ERROR_CALL_NOT_IMPLEMENTED; }
std::wstring MsiResultLine(DWORD) { return std::wstring(); }

}  // namespace kesi::install
