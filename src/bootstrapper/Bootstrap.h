#pragma once
// The bootstrapper: installs the client package ("kesi.msi") on an end point and runs the first logon
// interrogation for the page that started it, either as a program started from the download page (the
// page's browser window gives the session's cookies and is steered to the next page) or for a Java applet
// that passes the cookies (the library's native method).
#include <windows.h>

#include <string>

namespace kesi::bootstrap {

// The product that the bootstrapper removes before it starts.
constexpr wchar_t kRemovedProductCode[] = L"{592CFDF4-1D47-424D-86F3-1F3CC4C74313}";
// The classes whose ProgIDs are registered per user for the package version.
constexpr wchar_t kInterrogatorClsid[] = L"{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}";
constexpr wchar_t kInstallerClsid[] = L"{A7BC4157-A8EC-488F-9808-C63E2ACB0996}";
constexpr wchar_t kInterrogatorProgIdPrefix[] = L"Velmora.KESInterrogator.";
constexpr wchar_t kInstallerProgIdPrefix[] = L"Velmora.KESInstaller.";

// The outcomes of a run (the interrogation's: 0 success, 1 failure, 3 logoff requested).
constexpr DWORD kBootstrapSuccess = 0;
constexpr DWORD kBootstrapFailure = 1;
constexpr DWORD kBootstrapLogoff = 3;

// Program mode. commandLine is the program's command line after its name: a non-empty one (at most 260
// characters) skips everything that needs the browser. module holds the bitmap and the message table.
// The run's outcome; ERROR_ALREADY_EXISTS when another bootstrapper runs in this session.
DWORD RunProgram(const wchar_t* commandLine, HMODULE module);

// The Java applet's call, with the session's cookie text. The run's outcome; ERROR_ALREADY_EXISTS when
// another bootstrapper runs in this session.
DWORD RunForJava(const std::wstring& cookies, HMODULE module);

}  // namespace kesi::bootstrap
