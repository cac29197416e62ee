#include "Broker.h"

#include <winsock2.h>
#include <shellapi.h>

#include <atomic>
#include <new>
#include <vector>

#include "BrokerCommand.h"
#include "BrokerPipe.h"
#include "ComFrame.h"
#include "Handles.h"
#include "KESInstaller.h"
#include "LastError.h"
#include "LogFolder.h"
#include "ProcessList.h"

namespace kesi::broker {
namespace {

using controls::kBrokerLengthBytes;
using controls::kBrokerPipeName;

// The stop request's answer holds at most this many bytes (a reader that takes 50 still gets it whole).
constexpr DWORD kStopReplyBytes = 50;
// While no instance of the pipe is offered, one failed wait in this many is logged (about one a second).
constexpr unsigned kWaitFailuresPerLogLine = 20;

// Starts an overlapped read or write on pipe and waits for it at most timeoutMs, or until peer (when not
// null) ends. A read that stops at the end of the buffer inside a longer message (ERROR_MORE_DATA) counts
// as done: the rest of the message comes with the next read. 0 with *bytes; else the error, ERROR_TIMEOUT
// or, when the peer ended, ERROR_BROKEN_PIPE.
DWORD Bounded(HANDLE pipe, bool write, void* buffer, DWORD size, HANDLE peer, DWORD timeoutMs, DWORD* bytes) {
  const DWORD error = controls::TransferOnPipe(pipe, write, buffer, size, peer, timeoutMs, bytes);
  return error == ERROR_MORE_DATA ? 0 : error;
}

// Reads exactly size bytes, over as many reads and messages as the sender used, each bounded. perRead
// (when given) is logged with the bytes of each read. 0, or the failing read's error (ERROR_HANDLE_EOF
// for a read that returned nothing).
DWORD ReadExactly(HANDLE pipe, char* buffer, DWORD size, LogFile* log, const wchar_t* perRead) {
  const DWORD timeoutMs = CurrentBrokerSystem().requestMs;
  for (DWORD have = 0; have < size;) {
    DWORD got = 0;
    const DWORD error = Bounded(pipe, false, buffer + have, size - have, nullptr, timeoutMs, &got);
    if (error) return error;
    if (got == 0) return ERROR_HANDLE_EOF;
    have += got;
    if (perRead) LogInfo(log, perRead, static_cast<int>(got));
  }
  return 0;
}

// Writes bytes as one message, bounded. 0 or the error (ERROR_WRITE_FAULT when nothing was written).
DWORD WriteMessage(HANDLE pipe, const std::string& bytes, HANDLE peer) {
  DWORD done = 0;
  const DWORD error = Bounded(pipe, true, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), peer,
                              CurrentBrokerSystem().requestMs, &done);
  if (error) return error;
  return done == bytes.size() ? 0 : ERROR_WRITE_FAULT;
}

// Waits (bounded) until the other end closes, so that it has read what was written before the handle is
// closed. Anything more it sends is read and dropped.
void WaitForPeerClose(HANDLE pipe) {
  char drop[64];
  DWORD got = 0;
  while (Bounded(pipe, false, drop, sizeof drop, nullptr, CurrentBrokerSystem().requestMs, &got) == 0) {
  }
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The broker's log: "KESInterrogator.log", ciphered, shared with the interrogator objects of the process.
void OpenBrokerLog(LogFile* log) {
  log->SetCipher(true);
  log->Open(kInterrogatorLogName, 0, controls::ControlsModule());
}

UniqueBstr Bstr(const std::wstring& text) {
  return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// Connects to an instance of the broker pipe whose server runs in this session under this user (any
// other is closed before anything is read, and the wait goes on). 0 with *pipe in message read mode, or
// the error that ends the broker.
DWORD OpenBrokerPipe(LogFile* log, UniqueFile* pipe) {
  const DWORD retryMs = CurrentBrokerSystem().retryMs;
  for (unsigned failures = 0;;) {
    if (!WaitNamedPipeW(kBrokerPipeName, retryMs)) {
      const DWORD error = GetLastError();
      if (++failures >= 2 && failures % kWaitFailuresPerLogLine == 2)
        LogError(log, L"kesiVista::WaitNamedPipe failed with error val [%d]", static_cast<int>(error));
      // No instance: Windows and Wine both answer at once.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_BAD_PATHNAME) Sleep(retryMs);
      continue;
    }
    // Identification only: a server may learn who the broker is, never act as it.
    UniqueFile candidate(CreateFileW(kBrokerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!candidate) {
      const DWORD error = LastErrorOr(ERROR_PIPE_BUSY);
      if (error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND) continue;  // taken or gone meanwhile
      return error;
    }
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(candidate.get(), &server) || !IsOwnSessionAndUser(server)) {
      LogError(log, L"kesiVista::openKesiPipe - pipe server (process %u) is not of this session and user; closed",
               static_cast<unsigned>(server));
      candidate.reset();
      Sleep(retryMs);  // its instance stays; give the real one a chance
      continue;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    // A server that turned the broker away has disconnected it already: look for the next instance.
    if (!SetNamedPipeHandleState(candidate.get(), &mode, nullptr, nullptr)) {
      const DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
      if (error != ERROR_PIPE_NOT_CONNECTED && error != ERROR_NO_DATA && error != ERROR_BROKEN_PIPE) return error;
      continue;
    }
    *pipe = std::move(candidate);
    return 0;
  }
}

// Reply step: the result as decimal digits and a NUL, then a bounded wait for the sender to close.
void SendResult(HANDLE pipe, DWORD result, LogFile* log) {
  const std::string reply = controls::EncodeBrokerReply(result);
  const std::wstring digits = Widen(reply.substr(0, reply.size() - 1));
  LogInfo(log, L"kesiVista::sendResultToIE The return value being sent is %d or %s", static_cast<int>(result),
          digits.c_str());
  const DWORD error = WriteMessage(pipe, reply, nullptr);
  if (error) {
    LogError(log, L"kesiVista::sendResultToIE Could not write to Named Pipe. Error is %d", static_cast<int>(error));
    return;
  }
  LogInfo(log, L"kesiVista::sendResultToIE Wrote data to named pipe %s", digits.c_str());
  WaitForPeerClose(pipe);
}

DWORD FolderOrLog(std::wstring* folder, LogFile* log, const wchar_t* failure) {
  const DWORD error = CurrentBrokerSystem().programFolder(folder);
  if (error) LogError(log, failure);
  return error;
}

// Starts the launcher with commandLine. 0 with *process, or the error (logged with the given texts).
DWORD StartLauncher(const std::wstring& commandLine, LogFile* log, const wchar_t* noFolder, const wchar_t* noStart,
                    UniqueHandle* process) {
  std::wstring folder;
  DWORD error = FolderOrLog(&folder, log, noFolder);
  if (error) return error;
  const std::wstring path = folder + L"\\" + kLauncherExeName;
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // none of the broker's own (see the library's start of the broker)
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogError(log, noStart, static_cast<int>(error));
    return error;
  }
  CloseHandle(started.hThread);
  process->reset(started.hProcess);
  return 0;
}

// The launcher route: the launcher runs the line; its exit code is the result. A launcher that is still
// running after the bound is left to finish (it may be inside an install) and the result is ERROR_TIMEOUT.
DWORD RunLauncher(const std::wstring& line, LogFile* log) {
  UniqueHandle process;
  DWORD error = StartLauncher(line, log, L"kesiVista::doInstall failed - Could not get path to Appdata",
                              L"kesiVista::doInstall - CreateProcess Failed with error val [%d]}", &process);
  if (error) return error;
  LogInfo(log, L"kesiVista::doInstall ozmInstaller started");
  if (WaitForSingleObject(process.get(), CurrentBrokerSystem().launcherMs) != WAIT_OBJECT_0) {
    LogError(log, L"kesiVista::doInstall timed out attempting to start process");
    return ERROR_TIMEOUT;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return LastErrorOr(ERROR_INVALID_HANDLE);
  LogInfo(log, L"kesiVista::doInstall - ozmInstaller done, exit code [%d]}", static_cast<int>(code));
  return code;
}

// The broker's own update: the launcher gets "6" and is not waited for.
void UpdateBroker(LogFile* log) {
  UniqueHandle process;
  if (StartLauncher(kUpdateCommand, log, L"kesiVista::updateOZM installer start failed - Could not get path to Appdata",
                    L"kesiVista::updateOZM - CreateProcess Failed with error val [%d]}", &process) == 0)
    LogInfo(log, L"KESInterrogator::updateOZM ozmInstaller started");
}

// Commands "2" to "5" on an installer object of this process.
DWORD Install(const std::vector<std::wstring>& words, LogFile* log) {
  const wchar_t command = words[0][0];
  static const wchar_t* const kComponentNames[] = {L"CabURL", L"FileName", L"ClassID", L"VersionString", L"Location"};
  static const wchar_t* const kVersionNames[] = {L"CabURL", L"VersionString", L"Location"};
  static const wchar_t* const kMsiNames[] = {L"serverIP", L"msiUrl"};
  const wchar_t* prefix = L"kesiVista::doInstallComponent";
  const wchar_t* creationFailed = L"kesiVista::doInstallComponentVer installer instance creation failed";
  const wchar_t* const* names = kComponentNames;
  size_t count = 5;
  if (command == L'5') {
    prefix = L"kesiVista::doInstallComponentMsi";
    creationFailed = L"kesiVista::doInstallComponentMsi installer instance creation failed";
    names = kMsiNames;
    count = 2;
  } else if (command == L'2') {
    prefix = L"kesiVista::doInstall3rdPartyComponent";
    creationFailed = L"kesiVista::doInstall3rdPartyComponent installer instance creation failed";
  } else if (command == L'4') {
    names = kVersionNames;
    count = 3;
  }
  LogInfo(log, L"%s Team ID being forwarded is. %s", prefix, controls::MaskCredential(words[1]).c_str());
  LogInfo(log, L"%s config string being forwarded is. %s", prefix, words[2].c_str());
  for (size_t i = 0; i < count; ++i)
    LogInfo(log, L"%s %s being forwarded is. %s", prefix, names[i], words[3 + i].c_str());

  ComPtr<IKESInstaller> installer;
  HRESULT hr = CurrentBrokerSystem().createInstaller(IID_IKESInstaller, installer.put_void());
  if (FAILED(hr) || !installer) {
    LogError(log, creationFailed);
    return FAILED(hr) ? static_cast<DWORD>(hr) : static_cast<DWORD>(E_NOINTERFACE);
  }
  UniqueBstr credential = Bstr(words[1]);
  UniqueBstr configuration = Bstr(controls::RestoreConfigurationQuotes(words[2]));
  std::vector<UniqueBstr> rest;
  for (size_t i = 0; i < count; ++i) rest.push_back(Bstr(words[3 + i]));
  hr = installer->put_AuthCredential(credential.get());
  if (hr == S_OK) hr = installer->put_ConfigurationString(configuration.get());
  if (hr != S_OK) return static_cast<DWORD>(hr);
  ULONG result = 0;
  switch (command) {
    case L'5': hr = installer->InstallComponentMsi(rest[0].get(), rest[1].get(), &result); break;
    case L'2':
      hr = installer->Install3rdPartyComponent(rest[0].get(), rest[1].get(), rest[2].get(), rest[3].get(), rest[4].get(),
                                               &result);
      break;
    case L'3':
      hr = installer->InstallComponent(rest[0].get(), rest[1].get(), rest[2].get(), rest[3].get(), rest[4].get(), &result);
      break;
    default: hr = installer->InstallComponentVer(rest[0].get(), rest[1].get(), rest[2].get(), &result); break;
  }
  return hr != S_OK ? static_cast<DWORD>(hr) : result;
}

struct Request {
  HANDLE pipe = nullptr;  // borrowed: the main loop owns it
  LogFile* log = nullptr;
  std::atomic<bool>* quit = nullptr;
};

// Handles one connection: reads the command, runs it and replies.
DWORD HandleRequest(const Request& request) {
  LogFile* log = request.log;
  const HANDLE pipe = request.pipe;
  LogInfo(log, L"kesiVista::pipeThread - Named Pipe server: client connected");
  ComApartment apartment;

  char field[kBrokerLengthBytes];
  DWORD error = ReadExactly(pipe, field, sizeof field, log, nullptr);
  if (error) {
    LogError(log, L"kesiVista::pipeThread - Error occurred while reading length from the client: %d",
             static_cast<int>(error));
    return error;
  }
  const uint32_t claimed = static_cast<unsigned char>(field[0]) | static_cast<unsigned char>(field[1]) << 8 |
                           static_cast<unsigned char>(field[2]) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(field[3])) << 24;
  LogInfo(log, L"kesiVista::pipeThread - Named Pipe server data size: %d", static_cast<int>(claimed));
  uint32_t length = 0;
  if (controls::DecodeBrokerLength(field, sizeof field, &length) != 0) {
    LogError(log, L"kesiVista::pipeThread - refused: a command of %u bytes", static_cast<unsigned>(claimed));
    SendResult(pipe, ERROR_INVALID_PARAMETER, log);
    return ERROR_INVALID_PARAMETER;
  }
  std::string text(length, '\0');
  error = ReadExactly(pipe, &text[0], length, log, L"kesiVista::pipeThread - read %d bytes of data from the client");
  if (error) {
    LogError(log, L"kesiVista::pipeThread - Error occurred while reading data from the client: %d",
             static_cast<int>(error));
    return error;
  }
  std::wstring line;
  if (controls::DecodeBrokerText(text.data(), text.size(), &line) != 0) {
    LogError(log, L"kesiVista::pipeThread - refused: a command with a NUL character");
    SendResult(pipe, ERROR_INVALID_PARAMETER, log);
    return ERROR_INVALID_PARAMETER;
  }
  LogInfo(log, L"kesiVista::pipeThread - Named Pipe server data: %s", controls::CommandLineForLog(line).c_str());

  const CommandOutcome outcome = RunCommand(line, pipe, log);
  if (outcome.reply) SendResult(pipe, outcome.result, log);
  if (outcome.quit) request.quit->store(true);
  LogInfo(log, L"kesiVista::pipeThread - processing client request complete.");
  if (outcome.result == controls::kBrokerUpdating)
    LogInfo(log, L"kesiVista::DoInterrogation punting install of kesiVista to ozmInstaller");
  return outcome.result;
}

DWORD WINAPI RequestThread(void* parameter) {
  const Request& request = *static_cast<const Request*>(parameter);
  try {
    return HandleRequest(request);
  } catch (const std::bad_alloc&) {
    LogError(request.log, L"kesiVista::pipeThread - out of memory");
    return ERROR_OUTOFMEMORY;
  }
}

// Stops one running broker: the stop request over an instance of this process, its answer, then a bounded
// wait for its exit. 0 when it has exited.
DWORD StopOne(DWORD processId, LogFile* log) {
  const BrokerSystem& system = CurrentBrokerSystem();
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return 0;  // gone already
  UniqueFile pipe;
  DWORD error = controls::CreateBrokerPipeInstance(4096, &pipe);
  if (error) {
    LogError(log, L"kesiVista::pipeThread - CreateNamedPipe Failed with error val [%d]", static_cast<int>(error));
    return error;
  }
  controls::BrokerIdentity broker;
  broker.processId = processId;
  broker.process = process.get();
  DWORD clientId = 0;
  error = controls::WaitForBroker(pipe.get(), broker, system.stopConnectMs, log, &clientId);
  if (error == ERROR_PIPE_NOT_CONNECTED) return 0;  // it ended before it came
  if (error) return error;

  const std::string message = controls::EncodeBrokerMessage(kStopCommand);
  LogInfo(log, L"KESInterrogator::remoteIt cmdLine length %d", static_cast<int>(message.size() - kBrokerLengthBytes));
  error = WriteMessage(pipe.get(), message.substr(0, kBrokerLengthBytes), process.get());
  if (!error) error = WriteMessage(pipe.get(), message.substr(kBrokerLengthBytes), process.get());
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt - Error occurred while writing data to client: %d", static_cast<int>(error));
    return error;
  }
  LogInfo(log, L"KESInterrogator::remoteIt - Wrote %d bytes of data to client",
          static_cast<int>(message.size() - kBrokerLengthBytes));

  // Its process id, then its reply; the id it tells is only logged: the one waited for is the pipe's.
  char answer[kStopReplyBytes];
  DWORD got = 0;
  error = Bounded(pipe.get(), false, answer, sizeof answer, process.get(), system.requestMs, &got);
  uint32_t told = 0;
  if (error || controls::DecodeStopReply(answer, got, &told) != 0) {
    LogError(log, L"kesiVista::remoteIt - Error occurred while reading data from the client: %d",
             static_cast<int>(error ? error : ERROR_INVALID_DATA));
  } else {
    char reply[controls::kBrokerReplyBytes];
    Bounded(pipe.get(), false, reply, sizeof reply, process.get(), system.requestMs, &got);
  }
  DisconnectNamedPipe(pipe.get());
  pipe.reset();
  if (WaitForSingleObject(process.get(), system.stopExitMs) != WAIT_OBJECT_0) {
    LogError(log, L"kesiVista::stopBroker - broker %u did not exit", static_cast<unsigned>(processId));
    return ERROR_TIMEOUT;
  }
  return 0;
}

}  // namespace

namespace {
DWORD RunCommandWords(const std::wstring& line, HANDLE pipe, LogFile* log, CommandOutcome* outcome);
}  // namespace

CommandOutcome RunCommand(const std::wstring& line, HANDLE pipe, LogFile* log) {
  CommandOutcome outcome;
  outcome.result = RunCommandWords(line, pipe, log, &outcome);
  return outcome;
}

namespace {

DWORD RunCommandWords(const std::wstring& line, HANDLE pipe, LogFile* log, CommandOutcome* outcome) {
  int count = 0;
  UniqueLocal argv(reinterpret_cast<HLOCAL>(CommandLineToArgvW(line.c_str(), &count)));
  if (!argv) return LastErrorOr(ERROR_OUTOFMEMORY);
  const wchar_t* const* texts = static_cast<const wchar_t* const*>(argv.get());
  std::vector<std::wstring> words(texts, texts + count);
  if (count < 3 || static_cast<size_t>(count) < controls::MinimumCommandWords(words[0])) {
    LogError(log, L"kesiVista::pipeThread - Arguments too few. %d", count);
    return 3;
  }
  const std::wstring& command = words[0];
  if (command == L"7") {
    // The answer is this process's id, then the reply; a failed write ends the request without either.
    const DWORD error = WriteMessage(pipe, controls::EncodeStopReply(GetCurrentProcessId()), nullptr);
    if (error) {
      LogError(log, L"kesiVista::pipeThread - Error occurred while writing data to client: %d", static_cast<int>(error));
      outcome->reply = false;
      return error;
    }
    outcome->quit = true;
    return 0;
  }
  if (command == L"1") {
    LogInfo(log, L"kesiVista::pipeThread - VELMORA_INTERROGATION command received");
    LogInfo(log, L"kesiVista::DoInterrogation Team ID being forwarded is. %s", controls::MaskCredential(words[1]).c_str());
    LogInfo(log, L"kesiVista::DoInterrogation URL Configuration being forwarded is. %s", words[2].c_str());
    LogInfo(log, L"kesiVista::DoInterrogation URL Post being forwarded is. %s", words[3].c_str());
    const DWORD result = CurrentBrokerSystem().interrogate(words[1], words[2], words[3], log);
    if (result == controls::kBrokerUpdating) {
      // The launcher installs the new broker, which this one must make way for.
      UpdateBroker(log);
      outcome->quit = true;
    }
    return result;
  }
  static const struct {
    const wchar_t* command;
    const wchar_t* received;
  } kInstalls[] = {
      {L"5", L"kesiVista::pipeThread - VELMORA_MSI_COMPONENT command received"},
      {L"2", L"kesiVista::pipeThread - THIRD_PARTY_COMPONENT command received"},
      {L"3", L"kesiVista::pipeThread - VELMORA_COMPONENT command received"},
      {L"4", L"kesiVista::pipeThread - VELMORA_VER_COMPONENT command received"},
  };
  for (const auto& install : kInstalls) {
    if (command == install.command) {
      LogInfo(log, install.received);
      return Install(words, log);
    }
  }
  LogInfo(log, L"kesiVista::pipeThread - doInstall command received");
  return RunLauncher(line, log);
}

}  // namespace

void ServeRequests(LogFile* log) {
  std::atomic<bool> quit{false};
  while (!quit.load()) {
    UniqueFile pipe;
    const DWORD error = OpenBrokerPipe(log, &pipe);
    if (error) {
      LogError(log, L"kesiVista::openKesiPipe - CreateNamedPipe Failed with error val [%d]", static_cast<int>(error));
      LogError(log, L"kesiVista:: KESI Pipe open failed.");
      return;
    }
    LogInfo(log, L"kesiVista::openKesiPipe - Named Pipe server was successfully created");
    Request request;
    request.pipe = pipe.get();
    request.log = log;
    request.quit = &quit;
    UniqueHandle thread(CreateThread(nullptr, 0, RequestThread, &request, 0, nullptr));
    if (!thread) {
      LogError(log, L"kesiVista:: KESI CreateThread failed. Error is %d", static_cast<int>(LastErrorOr(ERROR_OUTOFMEMORY)));
      return;
    }
    // Each request is bounded by its own steps; the thread is joined before the next connection.
    WaitForSingleObject(thread.get(), INFINITE);
    thread.reset();
    pipe.reset();
    LogInfo(log, L"kesiVista::closeKesiPipe - Named Pipe server closed");
    LogInfo(log, L"kesiVista:: pipeThread exited - starting another thread for next client");
  }
  LogInfo(log, L"kesiVista:: pipeThread exited - Named Pipe server data: %d", 0);
}

DWORD StopRunningBrokers(LogFile* log) {
  std::vector<DWORD> brokers;
  DWORD error = FindOwnSessionProcesses(controls::kBrokerProgramName, &brokers);
  if (error || brokers.empty()) return error;
  if (log && !log->IsOpen()) OpenBrokerLog(log);
  for (DWORD processId : brokers) {
    error = StopOne(processId, log);
    if (error) return error;
  }
  return 0;
}

int RunBroker(const wchar_t* commandLine) {
  controls::EnableBrokerBranding();
  LogFile log;
  std::wstring words = commandLine ? commandLine : L"";
  while (!words.empty() && (words.back() == L' ' || words.back() == L'\t')) words.pop_back();
  const size_t first = words.find_first_not_of(L" \t");
  words.erase(0, first == std::wstring::npos ? words.size() : first);
  const DWORD stopped = StopRunningBrokers(&log);
  if (words == L"Kill" || stopped != 0) return 0;

  WSADATA sockets = {};
  const bool socketsStarted = WSAStartup(MAKEWORD(2, 2), &sockets) == 0;
  if (!log.IsOpen()) OpenBrokerLog(&log);
  LogInfo(&log, L"kesiVista:: LogFile created");
  ServeRequests(&log);
  log.Close();
  if (socketsStarted) WSACleanup();
  return 0;
}

}  // namespace kesi::broker
