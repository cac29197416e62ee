#pragma once
// What the broker asks of the system that a test must vary; the defaults are the real calls and the
// production bounds. Tests replace entries with SetBrokerSystem and put the previous table back.
#include <windows.h>

#include <string>

#include "LogFile.h"

namespace kesi::broker {

struct BrokerSystem {
  // Runs the logon interrogation on an interrogator object of this process: DoInterrogationLogon's
  // return value, or when that is 0 its out code; the object's creation failure gives its HRESULT.
  DWORD (*interrogate)(const std::wstring& credential, const std::wstring& urlConfiguration,
                       const std::wstring& urlPost, LogFile* log);
  // Creates an installer object of this process (CreateInstallerObject).
  HRESULT (*createInstaller)(REFIID riid, void** out);
  // The folder of the broker's programs, "<application data>\Velmora\kesi" (the launcher is there). 0 or
  // the error.
  DWORD (*programFolder)(std::wstring* folder);
  // How long a read or write of one request may take, and how long the broker waits after its reply for
  // the sender to close, in milliseconds.
  DWORD requestMs;
  // How long the launcher may run for one command, in milliseconds.
  DWORD launcherMs;
  // Stop sequence: how long a running broker may take to connect to the stopper's instance, and then to
  // exit, in milliseconds.
  DWORD stopConnectMs;
  DWORD stopExitMs;
  // How long to wait between tries for an instance of the pipe, in milliseconds.
  DWORD retryMs;
};

BrokerSystem& CurrentBrokerSystem();
// Installs system and returns the previous table.
BrokerSystem SetBrokerSystem(const BrokerSystem& system);
BrokerSystem DefaultBrokerSystem();

}  // namespace kesi::broker
