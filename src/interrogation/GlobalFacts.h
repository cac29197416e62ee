#pragma once
// The global facts that accompany the results: the user number, the user's home folder, the system
// folder and whether the machine runs a 64-bit system. The platform calls behind them sit in a table
// whose defaults are the real functions, so a test can make Wine answer as a non-administrator, a
// 32-bit machine or a machine whose folders cannot be read.
#include <windows.h>

namespace kesi {

class RQString;

struct GlobalFactCalls {
  // CheckTokenMembership.
  BOOL(WINAPI* checkTokenMembership)(HANDLE token, PSID group, PBOOL member);
  // SHGetFolderPathW.
  HRESULT(WINAPI* getFolderPath)(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
  // GetSystemDirectoryW.
  UINT(WINAPI* getSystemDirectory)(LPWSTR buffer, UINT size);
  // The native processor architecture through GetNativeSystemInfo, bound at run time; false when
  // kernel32 does not export it.
  bool (*nativeArchitecture)(WORD* architecture);
};

// The table in use; tests replace entries and put the defaults back with ResetGlobalFactCalls.
GlobalFactCalls& GlobalFactSystem();
void ResetGlobalFactCalls();

// User numbers.
constexpr DWORD kUserOther = 0;
constexpr DWORD kUserAdministrator = 1;  // member of BUILTIN\Administrators (alias 0x220)
constexpr DWORD kUserPowerUser = 2;      // else member of BUILTIN\Power Users (alias 0x223)

DWORD ReadUserNumber();
// The application-data folder (default location, for the thread's token, else the process's) with its
// last component cut off at the final backslash. False (and folder unchanged) when it cannot be read.
bool ReadUserHomeDirectory(RQString* folder);
// False (and folder unchanged) when it cannot be read.
bool ReadSystemDirectory(RQString* folder);
// The native architecture is AMD64 (9).
bool ReadIs64Bit();

}  // namespace kesi
