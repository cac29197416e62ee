#pragma once
// Component files that are not registered as COM servers: the layered service providers ("lwsp.dll",
// "korsp.dll"), installed and removed through their own exports, and the TDI filter driver "lwptdi.sys",
// a kernel-driver service in the "PNP_TDI" load-order group. The install engine hands such files here.
#include <windows.h>

namespace kesi {
class LogFile;
}

namespace kesi::install {

// Each returns a Win32 error code (0 success) and writes its messages to log (may be null).
DWORD InstallProvider(const wchar_t* dllPath, LogFile* log);
DWORD RemoveProvider(const wchar_t* dllPath, LogFile* log);
DWORD InstallDriver(const wchar_t* newDriverPath, LogFile* log);
DWORD RemoveDriver(LogFile* log);
// Whether the driver's control device "\\.\LWPTDI" can be opened.
bool DriverPresent();

// Which files these are, by file name: "lwsp.dll" / "korsp.dll" (any case), and a file named "lwptdi"
// with any extension.
bool IsProviderFile(const wchar_t* path);
bool IsDriverFile(const wchar_t* path);

}  // namespace kesi::install
