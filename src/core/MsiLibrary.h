#pragma once
// The Windows Installer functions, bound at run time from the system's msi.dll by ordinal, so that no
// module of the client imports msi.dll.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

namespace kesi {

struct MsiLibrary {
  UINT(WINAPI* closeHandle)(MSIHANDLE handle);                                                        // 8
  UINT(WINAPI* getProductInfo)(LPCWSTR product, LPCWSTR property, LPWSTR value, LPDWORD size);        // 70
  UINT(WINAPI* getProductProperty)(MSIHANDLE product, LPCWSTR property, LPWSTR value, LPDWORD size);  // 72
  UINT(WINAPI* installProduct)(LPCWSTR packagePath, LPCWSTR commandLine);                             // 88
  UINT(WINAPI* openDatabase)(LPCWSTR databasePath, LPCWSTR persist, MSIHANDLE* database);             // 92
  INSTALLSTATE(WINAPI* queryProductState)(LPCWSTR product);                                           // 113
  INSTALLUILEVEL(WINAPI* setInternalUI)(INSTALLUILEVEL level, HWND* window);                          // 141
  UINT(WINAPI* enableLog)(DWORD mode, LPCWSTR logFile, DWORD attributes);                             // 169
  UINT(WINAPI* configureProductEx)(LPCWSTR product, int level, INSTALLSTATE state, LPCWSTR commandLine);  // 190
  UINT(WINAPI* openPackageEx)(LPCWSTR packagePath, DWORD options, MSIHANDLE* product);                // 232
};

// msi.dll from the system folder, loaded once for the process and kept; null (last error set) when it
// cannot be loaded or one of the ordinals is missing.
const MsiLibrary* BindMsiLibrary();

}  // namespace kesi
