#pragma once
// kesivista, the broker: it connects to the broker pipe "\\.\Pipe\RQKESIPipe" as a client, reads one
// command per connection, runs it with the user's full rights (the interrogator and installer objects in
// this process, or the install launcher) and answers with the result code. A broker that starts stops the
// broker already running in its session first. What tests vary is in BrokerSystem.
#include <windows.h>

#include <string>

#include "BrokerSystem.h"
#include "LogFile.h"

namespace kesi::broker {

constexpr wchar_t kLauncherExeName[] = L"ozmInstaller.exe";
// The command that stops a running broker, and the launcher's command that updates the broker.
constexpr wchar_t kStopCommand[] = L"7 foo bar";
constexpr wchar_t kUpdateCommand[] = L"6";

// The program: commandLine is what follows the program's name ("" or "Kill"). Stops the brokers of this
// session and user; with "Kill" that is all; else serves until a stop request or the update hand-off.
// Returns the exit code (0).
int RunBroker(const wchar_t* commandLine);

// Stops the other brokers of this session and user (stop request "7" over an instance of this process,
// then a bounded wait for each to exit). 0 when none runs any more; else the failing step's error. Opens
// log (when given and closed) only when there is a broker to stop.
DWORD StopRunningBrokers(LogFile* log);

// Serves commands until a stop request or the update hand-off sets the quit flag, or the pipe cannot be
// opened or a request thread started. log is the broker's log.
void ServeRequests(LogFile* log);

// What a command came to: its result, whether the result is to be sent (not after a stop request whose
// answer could not be written), and whether the broker ends after it (a stop request, or the update
// handed to the launcher).
struct CommandOutcome {
  DWORD result = 0;
  bool reply = true;
  bool quit = false;
};

// One command line as the broker runs it (split, word counts, dispatch). pipe is the connection (the
// stop request writes its answer on it before the reply).
CommandOutcome RunCommand(const std::wstring& line, HANDLE pipe, LogFile* log);

}  // namespace kesi::broker
