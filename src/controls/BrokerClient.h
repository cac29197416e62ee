#pragma once
// The library's end of the broker pipe: the page's objects hand one command at a time to the broker
// program ("kesivista.exe" in the user's application-data folder), which runs it with the user's full
// rights and answers with a result code. The library creates the pipe instance and the broker connects
// to it; every wait is bounded and every instance admits only the broker.
#include <windows.h>

#include <string>

#include "LogFile.h"

namespace kesi::controls {

// Starts the broker and exchanges commandLine with it; while the broker answers 1051 (it is being updated)
// the command goes again to the next broker, at most kBrokerUpdateRetries times. *result receives the
// broker's reply, or the failing step's code (ERROR_TIMEOUT when no broker came within the bound,
// ERROR_PIPE_NOT_CONNECTED when the started broker exited without connecting). Returns 0, or the error of
// finding the broker or starting it (also put into *result); a line longer than kBrokerCommandChars gives
// ERROR_INVALID_PARAMETER before anything is started.
DWORD RemoteIt(const std::wstring& commandLine, DWORD* result, LogFile* log);

// Exchanges commandLine with a broker that is already running (none is started; the client must run the
// broker's program). *result receives the reply, or the failing step's code (ERROR_TIMEOUT when no broker
// came within the bound, ERROR_ACCESS_DENIED when only other clients did). Returns 0 when a reply came,
// else that code.
DWORD SendToRunningBroker(const std::wstring& commandLine, DWORD* result, LogFile* log);

}  // namespace kesi::controls
