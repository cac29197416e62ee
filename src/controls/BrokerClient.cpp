#include "BrokerClient.h"

#include <new>

#include "BrokerCommand.h"
#include "BrokerPipe.h"
#include "ControlsSystem.h"
#include "LastError.h"

namespace kesi::controls {
namespace {

// A command the broker would refuse is refused here, before the broker is started or an instance made.
bool RefuseOverlong(const std::wstring& line, LogFile* log) {
  if (line.size() <= kBrokerCommandChars) return false;
  LogError(log, L"KESInterrogator::remoteIt - the command line has %u characters, more than the broker takes (%u)",
           static_cast<unsigned>(line.size()), static_cast<unsigned>(kBrokerCommandChars));
  return true;
}

// One command over a fresh instance. 0 with the reply in *reply, or the failing step's error.
DWORD ExchangeOnce(const std::wstring& line, const BrokerIdentity& broker, DWORD connectMs, DWORD* reply,
                   LogFile* log) {
  UniqueFile pipe;
  DWORD error = CreateBrokerPipeInstance(kBrokerPipeBufferBytes, &pipe);
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt - CreateNamedPipe Failed with error val [%d]", static_cast<int>(error));
    return error;
  }
  DWORD clientId = 0;
  error = WaitForBroker(pipe.get(), broker, connectMs, log, &clientId);
  if (!error) error = ExchangeBrokerCommand(pipe.get(), clientId, line, reply, log);
  return error;
}

DWORD RunRemoteIt(const std::wstring& line, DWORD* outcome, LogFile* log) {
  if (RefuseOverlong(line, log)) return *outcome = ERROR_INVALID_PARAMETER;
  std::wstring path;
  DWORD error = BrokerProgramPath(&path);
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt remoting failed - Could not get path to Appdata");
    return *outcome = error;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  // No standard handles: the broker outlives the page's process and must not hold what it was given
  // (Wine hands a child its parent's standard handles even when nothing is inherited).
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogError(log, L"KESInterrogator::remoteIt - CreateProcess Failed with error val [%d]}", static_cast<int>(error));
    return *outcome = error;
  }
  UniqueHandle process(started.hProcess);
  CloseHandle(started.hThread);
  LogInfo(log, L"KESInterrogator::remoteIt KesiVista started");

  // Only the broker just started may take the command (a broker it replaces may still be connecting);
  // a broker that exits without connecting ends the wait.
  BrokerIdentity broker;
  broker.processId = started.dwProcessId;
  broker.process = process.get();
  for (int retry = 0;; ++retry) {
    DWORD reply = 0;
    const ControlsSystem& system = CurrentControlsSystem();
    error = ExchangeOnce(line, broker, retry == 0 ? system.brokerConnectMs : system.brokerUpdateMs, &reply, log);
    *outcome = error ? error : reply;
    if (error || reply != kBrokerUpdating || retry == kBrokerUpdateRetries) return 0;
    // The broker hands its update to the launcher, which starts the new broker: that one is known by
    // its program's path.
    LogInfo(log, L"KESInterrogator::remoteIt broker is being updated; sending the command again (%d of %d)",
            retry + 1, kBrokerUpdateRetries);
    broker = BrokerIdentity();
    broker.imagePath = path;
  }
}

DWORD RunSendToRunningBroker(const std::wstring& line, DWORD* outcome, LogFile* log) {
  if (RefuseOverlong(line, log)) return *outcome = ERROR_INVALID_PARAMETER;
  BrokerIdentity broker;
  DWORD error = BrokerProgramPath(&broker.imagePath);
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt remoting failed - Could not get path to Appdata");
    return *outcome = error;
  }
  DWORD reply = 0;
  error = ExchangeOnce(line, broker, CurrentControlsSystem().brokerConnectMs, &reply, log);
  *outcome = error ? error : reply;
  return error;
}

}  // namespace

DWORD RemoteIt(const std::wstring& commandLine, DWORD* result, LogFile* log) {
  DWORD outcome = 0;
  DWORD returned = 0;
  try {
    returned = RunRemoteIt(commandLine, &outcome, log);
  } catch (const std::bad_alloc&) {
    returned = outcome = ERROR_OUTOFMEMORY;
  }
  if (result) *result = outcome;
  return returned;
}

DWORD SendToRunningBroker(const std::wstring& commandLine, DWORD* result, LogFile* log) {
  DWORD outcome = 0;
  DWORD returned = 0;
  try {
    returned = RunSendToRunningBroker(commandLine, &outcome, log);
  } catch (const std::bad_alloc&) {
    returned = outcome = ERROR_OUTOFMEMORY;
  }
  if (result) *result = outcome;
  return returned;
}

}  // namespace kesi::controls
