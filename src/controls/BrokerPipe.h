#pragma once
// The broker pipe's server end: the side that has a command creates an instance of "\\.\Pipe\RQKESIPipe",
// waits (bounded) for the broker to connect as its client, makes sure the client is the broker, writes the
// command message and reads the reply. The library's client end (BrokerClient.h) is made of these steps.
#include <windows.h>

#include <string>

#include "Handles.h"
#include "LogFile.h"

namespace kesi::controls {

constexpr wchar_t kBrokerPipeName[] = L"\\\\.\\Pipe\\RQKESIPipe";
// The broker's program file, as process lists name it.
constexpr wchar_t kBrokerProgramName[] = L"kesivista.exe";
// The buffer sizes of the library's instances.
constexpr DWORD kBrokerPipeBufferBytes = 1024;

// Where the broker program lives: the user's application-data folder (created when missing) and
// "\Velmora\kesi\kesivista.exe". 0, or the folder query's error.
DWORD BrokerProgramPath(std::wstring* path);

// Creates one instance of the broker pipe: duplex, overlapped, message type and read mode, 255 instances,
// bufferBytes both ways, remote clients rejected, a handle that is not inherited, and a DACL that grants
// only the current user and SYSTEM. 0, or the error.
DWORD CreateBrokerPipeInstance(DWORD bufferBytes, UniqueFile* pipe);

// Which client counts as the broker.
struct BrokerIdentity {
  DWORD processId = 0;         // not 0: exactly this process (the broker the caller started)
  std::wstring imagePath;      // else: a process running this program (ControlsSystem's processImagePath)
  HANDLE process = nullptr;    // the expected broker's process, when known: its exit ends the wait
};

// One overlapped read or write on pipe, waited for at most timeoutMs or until peer (when not null) ends;
// a time-out or the peer's end cancels it. 0 with *bytes; else the operation's error (ERROR_MORE_DATA with
// *bytes for a read that stopped inside a longer message), ERROR_TIMEOUT, or ERROR_BROKEN_PIPE when the
// peer ended. Both ends of the pipe move their bytes with it.
DWORD TransferOnPipe(HANDLE pipe, bool write, void* buffer, DWORD size, HANDLE peer, DWORD timeoutMs, DWORD* bytes);

// Waits on pipe (an instance from CreateBrokerPipeInstance) until the broker connects, at most timeoutMs.
// A client that is not the broker is disconnected before anything is written and the wait goes on. 0 with
// *clientId set; else ERROR_TIMEOUT (1460), ERROR_ACCESS_DENIED when the time ran out after a client was
// refused, ERROR_PIPE_NOT_CONNECTED (233) when the expected broker exited without connecting, or the
// pipe's error. Logs each step to log.
DWORD WaitForBroker(HANDLE pipe, const BrokerIdentity& broker, DWORD timeoutMs, LogFile* log, DWORD* clientId);

// Writes line as one command message to the connected broker clientId and reads its reply; each step is
// bounded by ControlsSystem (brokerWriteMs, brokerReplyMs) and ends early when the broker exits. 0 with the
// reply's number in *result; else the failing step's error (ERROR_INVALID_DATA for a reply that is not a
// result code). The log shows the line with its credential masked.
DWORD ExchangeBrokerCommand(HANDLE pipe, DWORD clientId, const std::wstring& line, DWORD* result, LogFile* log);

}  // namespace kesi::controls
