#pragma once
// What the Windows Installer files of the library share.
#include <windows.h>

#include <string>

namespace kesi::install {

// Starts commandLine with the system folder's msiexec.exe as the program (never one found by a search)
// and waits for it. 0 with *exitCode set, or the error of starting it.
DWORD RunMsiexec(const std::wstring& commandLine, DWORD* exitCode);

}  // namespace kesi::install
