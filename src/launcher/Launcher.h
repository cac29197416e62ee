#pragma once
// The install launcher: runs one installer command given on its command line and exits with its result.
// Commands "2" to "5" go to the installer object (created through COM, in process); "6" reinstalls the
// broker from its package with the system's msiexec and starts the broker again. Every step is written to
// "KESInstaller.log".
#include <windows.h>

#include <string>

#include "LogFile.h"
#include "kesi_idl.h"

namespace kesi::launcher {

// Exit codes of the launcher itself (the others are the commands' results).
constexpr DWORD kLauncherTooFewWords = 3;
constexpr DWORD kLauncherUnknownCommand = 1;
// The longest msiexec command line of the update, in characters.
constexpr size_t kUpdateCommandLineChars = 260;

// What the launcher asks of the system that a test must vary; the defaults are the real calls and the
// production bounds.
struct LauncherSystem {
  // Creates the installer object (CoCreateInstance of KESInstaller, in-process server).
  HRESULT (*createInstaller)(IKESInstaller** installer);
  // How long the update waits for the brokers of this session and user to exit before it installs.
  DWORD brokerExitWaitMs;
};

LauncherSystem& CurrentLauncherSystem();
// Installs system and returns the previous table.
LauncherSystem SetLauncherSystem(const LauncherSystem& system);
LauncherSystem DefaultLauncherSystem();

// The update's msiexec command line: msiexec (the program's full path, quoted), "/i" and the package
// (quoted), "/qn", "/l*v" and the log (quoted), "ADDLOCAL=ALL". 0, or 206 (ERROR_FILENAME_EXCED_RANGE,
// *line untouched) when it would be longer than kUpdateCommandLineChars: it is never cut.
DWORD MsiexecCommandLine(const std::wstring& msiexec, const std::wstring& package, const std::wstring& logPath,
                         std::wstring* line);

// The whole run for commandLine (word 0 is the command): opens the log, initialises COM, runs the command.
// Returns the exit code: 3 when the command lacks words, 1 for an unknown command, the creation failure
// of the installer object, else the command's result.
DWORD RunLauncher(const wchar_t* commandLine);

// Command "6": waits (bounded) for the brokers of this session and user to exit, installs the broker's
// package once its signature is verified again (the file is held against writes meanwhile), and starts
// the broker in every case. 0 when msiexec ended with 0 or 3010 and the broker started; else the first
// failing step's code (msiexec's exit code, 206 for a command line over kUpdateCommandLineChars, 1460 when
// a broker did not exit in time).
DWORD UpdateOZM(LogFile* log);

}  // namespace kesi::launcher
