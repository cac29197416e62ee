#pragma once
// The processes of this machine as the programs need them: which processes run a given program in this
// process's own session under its own user (never another user's or session's), and bounded waits for them
// to end. Who owns a process is asked through a table that tests replace; the defaults are the real calls.
#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"

namespace kesi {

struct ProcessEntry {
  DWORD processId = 0;
  DWORD parentId = 0;
  std::wstring exeName;  // the base name as the process snapshot tells it
};

struct ProcessIdentitySystem {
  // The session of process processId (ProcessIdToSessionId). 0 or the error.
  DWORD (*sessionOf)(DWORD processId, DWORD* session);
  // The string form of the user SID of process processId's token (OpenProcessToken, TokenUser). 0 or the
  // error.
  DWORD (*userOf)(DWORD processId, std::wstring* sid);
};

ProcessIdentitySystem& CurrentProcessIdentitySystem();
// Installs system and returns the previous table.
ProcessIdentitySystem SetProcessIdentitySystem(const ProcessIdentitySystem& system);
ProcessIdentitySystem DefaultProcessIdentitySystem();

// Every process of the machine (Toolhelp snapshot). 0 or the error.
DWORD ListProcesses(std::vector<ProcessEntry>* processes);

// Whether process processId runs in this process's session under this process's user. False when either
// cannot be read.
bool IsOwnSessionAndUser(DWORD processId);

// The processes other than this one whose program's base name is exeName (without regard to case) and
// that run in this process's session under its user. 0 or the snapshot's error.
DWORD FindOwnSessionProcesses(const wchar_t* exeName, std::vector<DWORD>* processIds);

// Opens the processes for waiting (SYNCHRONIZE and limited query); a process that has already gone is
// left out.
std::vector<UniqueHandle> OpenProcessesForWait(const std::vector<DWORD>& processIds);

// Waits until every process has ended, at most timeoutMs in all. 0, or ERROR_TIMEOUT (1460).
DWORD WaitForProcessesExit(const std::vector<UniqueHandle>& processes, DWORD timeoutMs);

}  // namespace kesi
