#pragma once
// The library's end of the broker pipe: the page's objects hand one command at a time to the broker
// program ("kesivista.exe" in the user's application-data folder), which runs it with the user's full
// rights and answers with a result code. The library creates the pipe instance and the broker connects
// to it; every wait is bounded and every instance admits only the broker.
#include <windows.h>

#include <string>

#include "LogFile.h"

namespace kesi::controls {

// Starts the broker and exchanges commandLine with it (again with the next broker while it answers 1051,
// a bounded number of times). *result receives the broker's reply, or the failing step's code. Returns 0,
// or the error of finding the broker or starting it (also put into *result).
DWORD RemoteIt(const std::wstring& commandLine, DWORD* result, LogFile* log);

// Exchanges commandLine with a broker that is already running (none is started). *result receives the
// reply, or the failing step's code (ERROR_TIMEOUT when no broker came within the bound).
DWORD SendToRunningBroker(const std::wstring& commandLine, DWORD* result, LogFile* log);

}  // namespace kesi::controls
