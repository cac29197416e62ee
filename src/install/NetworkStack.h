#pragma once
// Component files that are not registered as COM servers: the layered service providers ("lwsp.dll",
// "korsp.dll"), installed and removed through their own exports, and the TDI filter driver "lwptdi.sys",
// a kernel-driver service in the "PNP_TDI" load-order group. The install engine hands such files here.
//
// The driver belongs to the system's own bitness: a 32-bit caller on a 64-bit system works on the
// native system folder (file-system redirection is turned off around the file steps) and the native
// registry view.
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

// Puts tag into the "PNP_TDI" load-order list directly after the TCP/IP driver's tag (see GroupOrder.h for
// when the list is left alone). 0, 1168 when the list value is missing, 13 for a malformed list, else the
// registry's error. The driver's install goes on without the load-order place when this fails.
DWORD InsertDriverTag(DWORD tag);

// The platform questions behind the driver's install; tests replace them.
struct NetworkStackSystem {
  // Windows Vista or later: the TCP/IP driver is "Tdx" there, "Tcpip" before.
  bool (*isVistaOrLater)();
  // Whether the caller may create the driver's service.
  bool (*isAdministrator)();
  // How long a service is given to stop or to run (5,000 ms), and how often its state is read meanwhile.
  DWORD serviceWaitMs;
  DWORD servicePollMs;
};

// The calls in use; SetNetworkStackSystem returns the previous table.
NetworkStackSystem& CurrentNetworkStackSystem();
NetworkStackSystem SetNetworkStackSystem(const NetworkStackSystem& system);
NetworkStackSystem DefaultNetworkStackSystem();

}  // namespace kesi::install
