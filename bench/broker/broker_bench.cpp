// A page's call through the broker and the broker's hand-over, each against a client or a stopper that
// follows the fixed sleeps the pipe protocol was first written with, measured in one run:
//   broker_bench BROKER [RUNS [SLOW_RUNS [COMMANDS]]]
//     BROKER     the broker program, copied to its place in the user's application data for the run
//     RUNS       runs of each product figure and of the references without a fixed sleep (20)
//     SLOW_RUNS  runs of the references that sleep 2 to 3 s per run (5)
//     COMMANDS   sequential commands for the sustained rate (300)
//   broker_bench --written-broker
//     started by the bench itself: a new broker that stops the running one as first written (see
//     WrittenBroker), then answers one command.
// Every call sends "x y", which the broker answers with 3 (too few words) without going to the network.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "BenchClock.h"
#include "BrokerClient.h"
#include "BrokerCommand.h"
#include "BrokerPipe.h"
#include "Handles.h"
#include "ProcessList.h"

using kesi::UniqueFile;
using kesi::UniqueHandle;
using kesi::bench::Now;
using kesi::controls::kBrokerPipeName;

namespace {

constexpr wchar_t kTrivialCommand[] = L"x y";
constexpr DWORD kTrivialResult = 3;
constexpr wchar_t kBrokerExe[] = L"kesivista.exe";
constexpr wchar_t kWrittenBrokerSwitch[] = L"--written-broker";
// The written client waits for the connect and the reply without a bound; the bench ends such a wait
// after this long so that a broker that never comes ends the run instead of hanging it. A wait that
// succeeds never comes near it.
constexpr DWORD kGuardMs = 60000;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Starts program (with arguments behind its quoted name when there are any), without a window.
bool Start(const std::wstring& program, const std::wstring& arguments, UniqueHandle* process, DWORD* processId) {
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(program.c_str(), arguments.empty() ? nullptr : &line[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
    std::fprintf(stderr, "cannot start %ls: error %lu\n", program.c_str(), GetLastError());
    return false;
  }
  CloseHandle(started.hThread);
  process->reset(started.hProcess);
  if (processId) *processId = started.dwProcessId;
  return true;
}

bool ProcessRuns(DWORD processId) {
  std::vector<kesi::ProcessEntry> processes;
  kesi::ListProcesses(&processes);
  return std::any_of(processes.begin(), processes.end(),
                     [processId](const kesi::ProcessEntry& p) { return p.processId == processId; });
}

// The written side's pipe I/O: overlapped only so that kGuardMs can end a wait; otherwise as blocking.
class PipeIo {
 public:
  explicit PipeIo(HANDLE pipe) : pipe_(pipe), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  DWORD Connect() {
    OVERLAPPED overlapped = Fresh();
    if (ConnectNamedPipe(pipe_, &overlapped)) return 0;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return 0;  // the client came before the wait: connected
    DWORD unused = 0;
    return error == ERROR_IO_PENDING ? Finish(&overlapped, &unused) : error;
  }
  DWORD Write(const void* bytes, DWORD size, DWORD* done) {
    OVERLAPPED overlapped = Fresh();
    return Ended(WriteFile(pipe_, bytes, size, nullptr, &overlapped), &overlapped, done);
  }
  DWORD Read(void* bytes, DWORD size, DWORD* done) {
    OVERLAPPED overlapped = Fresh();
    return Ended(ReadFile(pipe_, bytes, size, nullptr, &overlapped), &overlapped, done);
  }

 private:
  OVERLAPPED Fresh() {
    ResetEvent(event_.get());
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    return overlapped;
  }
  DWORD Ended(BOOL started, OVERLAPPED* overlapped, DWORD* done) {
    *done = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    return Finish(overlapped, done);
  }
  DWORD Finish(OVERLAPPED* overlapped, DWORD* done) {
    const bool guarded = WaitForSingleObject(event_.get(), kGuardMs) != WAIT_OBJECT_0;
    if (guarded) CancelIoEx(pipe_, overlapped);
    const BOOL ok = GetOverlappedResult(pipe_, overlapped, done, TRUE);
    return ok ? 0 : guarded ? ERROR_TIMEOUT : GetLastError();
  }

  HANDLE pipe_;
  UniqueHandle event_;
};

// An instance as first written: anyone may open it (a null DACL) and its handle is inherited.
UniqueFile WrittenInstance(DWORD bufferBytes) {
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, TRUE};
  return UniqueFile(CreateNamedPipeW(kBrokerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     bufferBytes, bufferBytes, 0, &attributes));
}

// Writes line as one command message: the length, then the text until all of it is written.
DWORD WrittenCommand(PipeIo& io, const std::wstring& line) {
  const std::string message = kesi::controls::EncodeBrokerMessage(line);
  DWORD done = 0;
  DWORD error = io.Write(message.data(), kesi::controls::kBrokerLengthBytes, &done);
  for (size_t sent = kesi::controls::kBrokerLengthBytes; !error && sent < message.size(); sent += done) {
    error = io.Write(message.data() + sent, static_cast<DWORD>(message.size() - sent), &done);
    if (!error && done == 0) error = ERROR_WRITE_FAULT;
  }
  return error;
}

// The written client's offer: an instance for anyone, the connect awaited, the command, one reply of at
// most 1024 bytes read as a number, close. *clientId tells who answered.
DWORD WrittenOffer(const std::wstring& line, DWORD* result, DWORD* clientId) {
  UniqueFile pipe = WrittenInstance(1024);
  if (!pipe) return GetLastError();
  PipeIo io(pipe.get());
  DWORD error = io.Connect();
  if (error) return error;
  GetNamedPipeClientProcessId(pipe.get(), clientId);
  if ((error = WrittenCommand(io, line)) != 0) return error;
  char reply[1025] = {};
  DWORD done = 0;
  if ((error = io.Read(reply, 1024, &done)) != 0) return error;
  if (done == 0) return ERROR_NO_DATA;
  *result = static_cast<DWORD>(std::strtol(reply, nullptr, 10));
  return 0;
}

// remoteIt as first written: start the broker, then sleep 3000 ms before every offer, again while the
// reply is 1051. *startedId: the broker it started; *clientId: the one that answered.
DWORD WrittenRemoteIt(const std::wstring& broker, const std::wstring& line, DWORD* result, DWORD* startedId,
                      DWORD* clientId) {
  UniqueHandle process;
  if (!Start(broker, std::wstring(), &process, startedId)) return GetLastError();
  DWORD error = 0;
  do {
    Sleep(3000);
    error = WrittenOffer(line, result, clientId);
  } while (!error && *result == kesi::controls::kBrokerUpdating);
  return error;
}

// The brokers of this session: every one of them was started by this run.
std::vector<DWORD> Brokers() {
  std::vector<DWORD> ids;
  kesi::FindOwnSessionProcesses(kBrokerExe, &ids);
  return ids;
}

void EndBrokers() {
  for (DWORD id : Brokers()) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) continue;
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 10000);
  }
}

// A page's call through the product; seconds, or -1 when it did not end with the broker's 3.
double TimedRemoteIt() {
  DWORD result = 0;
  const double start = Now();
  const DWORD error = kesi::controls::RemoteIt(kTrivialCommand, &result, nullptr);
  const double seconds = Now() - start;
  if (error || result != kTrivialResult) {
    std::fprintf(stderr, "RemoteIt returned %lu with the result %lu\n", error, result);
    return -1;
  }
  return seconds;
}

// Gives the broker that has just answered the time to be back at looking for its next instance, as it is
// when a page's call comes: every call then meets it at a chance point of its wait between looks.
void Idle() { Sleep(200); }

// The state a page's second call meets: one broker runs, and it has served a command. A hand-over just
// measured may still have its old broker on the way out; anything else is reset by a fresh first call.
bool OneServedBroker() {
  for (const ULONGLONG until = GetTickCount64() + 5000; Brokers().size() > 1 && GetTickCount64() < until;) Sleep(20);
  if (Brokers().size() != 1) {
    EndBrokers();
    if (TimedRemoteIt() < 0) return false;
  }
  Idle();
  return true;
}

struct Figures {
  std::vector<double> written, product;
  int oldAnswered = 0;  // written calls answered by the broker being replaced instead of the one started
};

bool FirstCall(const std::wstring& broker, int runs, int slowRuns, Figures* figures) {
  for (int i = 0; i < runs; ++i) {
    EndBrokers();
    const double seconds = TimedRemoteIt();
    if (seconds < 0) return false;
    figures->product.push_back(seconds);
    if (i >= slowRuns) continue;
    EndBrokers();
    DWORD result = 0, started = 0, client = 0;
    const double start = Now();
    const DWORD error = WrittenRemoteIt(broker, kTrivialCommand, &result, &started, &client);
    figures->written.push_back(Now() - start);
    if (error || result != kTrivialResult) {
      std::fprintf(stderr, "the written client's first call: error %lu, result %lu\n", error, result);
      return false;
    }
  }
  EndBrokers();
  return true;
}

bool ReplacingCall(const std::wstring& broker, int runs, int slowRuns, Figures* figures) {
  for (int i = 0; i < runs; ++i) {
    if (!OneServedBroker()) return false;
    const double seconds = TimedRemoteIt();
    if (seconds < 0) return false;
    figures->product.push_back(seconds);
    if (i >= slowRuns) continue;
    if (!OneServedBroker()) return false;
    DWORD result = 0, started = 0, client = 0;
    const double start = Now();
    const DWORD error = WrittenRemoteIt(broker, kTrivialCommand, &result, &started, &client);
    figures->written.push_back(Now() - start);
    if (error || result != kTrivialResult) {
      std::fprintf(stderr, "the written client's replacing call: error %lu, result %lu\n", error, result);
      return false;
    }
    if (client != started) ++figures->oldAnswered;
  }
  return true;
}

bool RunningCall(int runs, Figures* figures) {
  if (!OneServedBroker()) return false;
  for (int i = 0; i < runs; ++i) {
    DWORD result = 0;
    double start = Now();
    DWORD error = kesi::controls::SendToRunningBroker(kTrivialCommand, &result, nullptr);
    figures->product.push_back(Now() - start);
    if (error || result != kTrivialResult) {
      std::fprintf(stderr, "SendToRunningBroker: error %lu, result %lu\n", error, result);
      return false;
    }
    DWORD client = 0;
    Idle();
    start = Now();
    error = WrittenOffer(kTrivialCommand, &result, &client);
    figures->written.push_back(Now() - start);
    if (error || result != kTrivialResult) {
      std::fprintf(stderr, "the written client's call to the running broker: error %lu, result %lu\n", error, result);
      return false;
    }
    Idle();
  }
  return true;
}

// A new broker as first written, for the hand-over reference. When a broker runs: an instance for anyone
// with 4096-byte buffers, the running broker's connect awaited, "7 foo bar" sent, one message of at most
// 50 bytes read (its process id), 2000 ms of sleep, disconnect and close, then a look every 300 ms until
// no process has that id. Then it connects as a broker (waiting for an instance, again every 1000 ms) and
// answers one command with 3.
int WrittenBroker() {
  std::vector<kesi::ProcessEntry> processes;
  kesi::ListProcesses(&processes);
  const DWORD self = GetCurrentProcessId();
  const bool another = std::any_of(processes.begin(), processes.end(), [self](const kesi::ProcessEntry& p) {
    return p.processId != self && lstrcmpiW(p.exeName.c_str(), kBrokerExe) == 0;
  });
  if (another) {
    UniqueFile pipe = WrittenInstance(4096);
    if (!pipe) return 1;
    PipeIo io(pipe.get());
    if (io.Connect() || WrittenCommand(io, L"7 foo bar")) return 1;
    wchar_t text[26] = {};
    DWORD done = 0;
    if (io.Read(text, 50, &done) || done == 0) return 1;
    const DWORD stopped = std::wcstoul(text, nullptr, 10);
    Sleep(2000);
    DisconnectNamedPipe(pipe.get());
    pipe.reset();
    for (const ULONGLONG until = GetTickCount64() + kGuardMs; ProcessRuns(stopped);) {
      if (GetTickCount64() > until) return 1;
      Sleep(300);
    }
  }

  UniqueFile pipe;
  for (const ULONGLONG until = GetTickCount64() + kGuardMs; !pipe;) {
    if (GetTickCount64() > until) return 1;
    if (!WaitNamedPipeW(kBrokerPipeName, NMPWAIT_USE_DEFAULT_WAIT)) {
      Sleep(1000);
      continue;
    }
    pipe.reset(CreateFileW(kBrokerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
  uint32_t length = 0;
  DWORD done = 0;
  if (!ReadFile(pipe.get(), &length, sizeof length, &done, nullptr) || done != sizeof length) return 1;
  std::string text(length, '\0');
  for (DWORD got = 0; got < length; got += done) {
    if (!ReadFile(pipe.get(), &text[got], length - got, &done, nullptr) || done == 0) return 1;
  }
  const std::string reply = kesi::controls::EncodeBrokerReply(kTrivialResult);
  WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), &done, nullptr);
  FlushFileBuffers(pipe.get());
  return 0;
}

struct HandOvers {
  std::vector<double> gone, serving;
};

// From the start of the new broker (program with arguments) while a served broker runs, until that old
// broker has exited and the new one has answered a command. The bench offers its instance only once the
// old broker is gone, so that nothing but the new broker's stop sequence ends the old one; the new broker
// finds the instance at its next look for one.
bool TimedHandOver(const std::wstring& program, const std::wstring& arguments, HandOvers* figures) {
  const std::vector<DWORD> running = Brokers();
  if (running.size() != 1) return false;
  UniqueHandle old(OpenProcess(SYNCHRONIZE, FALSE, running[0]));
  if (!old) return false;

  const double start = Now();
  UniqueHandle process;
  DWORD processId = 0;
  if (!Start(program, arguments, &process, &processId)) return false;
  const bool oldGone = WaitForSingleObject(old.get(), kGuardMs) == WAIT_OBJECT_0;
  const double gone = Now() - start;
  UniqueFile pipe;
  DWORD error = oldGone ? kesi::controls::CreateBrokerPipeInstance(kesi::controls::kBrokerPipeBufferBytes, &pipe)
                        : ERROR_TIMEOUT;
  kesi::controls::BrokerIdentity identity;
  identity.processId = processId;
  identity.process = process.get();
  DWORD client = 0, result = 0;
  if (!error) error = kesi::controls::WaitForBroker(pipe.get(), identity, kGuardMs, nullptr, &client);
  if (!error) error = kesi::controls::ExchangeBrokerCommand(pipe.get(), client, kTrivialCommand, &result, nullptr);
  const double serving = Now() - start;
  if (error || result != kTrivialResult) {
    std::fprintf(stderr, "hand-over to %ls: error %lu, result %lu, old broker %s\n", program.c_str(), error, result,
                 oldGone ? "gone" : "still running");
    TerminateProcess(process.get(), 0);
    return false;
  }
  figures->gone.push_back(gone);
  figures->serving.push_back(serving);
  // The written broker ends after its one command; the product's stays and serves the next run.
  if (!arguments.empty() && WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0)
    TerminateProcess(process.get(), 0);
  return true;
}

// Sequential commands to the running broker through SendToRunningBroker; seconds per command.
double ProductRate(int commands) {
  if (!OneServedBroker()) return -1;
  const double start = Now();
  for (int i = 0; i < commands; ++i) {
    DWORD result = 0;
    if (kesi::controls::SendToRunningBroker(kTrivialCommand, &result, nullptr) || result != kTrivialResult) {
      std::fprintf(stderr, "command %d of the sustained rate: result %lu\n", i + 1, result);
      return -1;
    }
  }
  return (Now() - start) / commands;
}

// The bare floor: the same messages over one in-process connection of a pipe of the bench's own, a thread
// answering each command with 3; seconds per command.
double BareRate(int commands) {
  const std::wstring name = L"\\\\.\\pipe\\kesi-brokerbench-" + std::to_wstring(GetCurrentProcessId());
  UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     1, 4096, 4096, 0, nullptr));
  if (!server) return -1;
  std::thread answerer([&] {
    UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
    const std::string reply = kesi::controls::EncodeBrokerReply(kTrivialResult);
    char buffer[4096];
    DWORD done = 0;
    for (;;) {
      uint32_t length = 0;
      if (!ReadFile(client.get(), &length, sizeof length, &done, nullptr) || done != sizeof length) return;
      for (DWORD got = 0; got < length; got += done) {
        if (!ReadFile(client.get(), buffer, std::min<DWORD>(length - got, sizeof buffer), &done, nullptr) || !done) return;
      }
      if (!WriteFile(client.get(), reply.data(), static_cast<DWORD>(reply.size()), &done, nullptr)) return;
    }
  });
  const bool connected = ConnectNamedPipe(server.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  const std::string message = kesi::controls::EncodeBrokerMessage(kTrivialCommand);
  const DWORD lengthBytes = kesi::controls::kBrokerLengthBytes;
  double start = Now(), seconds = -1;
  int i = 0;
  for (; connected && i < commands; ++i) {
    char reply[1024];
    DWORD done = 0;
    if (!WriteFile(server.get(), message.data(), lengthBytes, &done, nullptr) ||
        !WriteFile(server.get(), message.data() + lengthBytes, static_cast<DWORD>(message.size() - lengthBytes), &done,
                   nullptr) ||
        !ReadFile(server.get(), reply, sizeof reply, &done, nullptr) || std::strtol(reply, nullptr, 10) != 3)
      break;
  }
  if (i == commands) seconds = (Now() - start) / commands;
  DisconnectNamedPipe(server.get());  // ends the answerer's read
  answerer.join();
  return seconds;
}

// The broker program at its place for the run; removed again with its folders (when empty) at the end.
class PlacedBroker {
 public:
  bool Place(const std::wstring& source) {
    if (kesi::controls::BrokerProgramPath(&path_) != 0) return false;
    kesi_ = path_.substr(0, path_.find_last_of(L'\\'));
    velmora_ = kesi_.substr(0, kesi_.find_last_of(L'\\'));
    CreateDirectoryW(velmora_.c_str(), nullptr);
    CreateDirectoryW(kesi_.c_str(), nullptr);
    EndBrokers();
    if (!CopyFileW(source.c_str(), path_.c_str(), FALSE)) {
      std::fprintf(stderr, "cannot copy %ls to %ls: error %lu\n", source.c_str(), path_.c_str(), GetLastError());
      return false;
    }
    return true;
  }
  ~PlacedBroker() {
    if (path_.empty()) return;
    EndBrokers();
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(kesi_.c_str());
    RemoveDirectoryW(velmora_.c_str());
  }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_, kesi_, velmora_;
};

int Argument(int argc, wchar_t** argv, int index, int fallback) {
  return argc > index && _wtoi(argv[index]) > 0 ? _wtoi(argv[index]) : fallback;
}

void PrintCase(const char* name, const Figures& f) {
  const double written = Median(f.written), product = Median(f.product);
  std::printf("  %-40s %8.3f s (%2zu) %8.3f s (%2zu) %8.1f\n", name, written, f.written.size(), product,
              f.product.size(), written / product);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], kWrittenBrokerSwitch) == 0) return WrittenBroker();
  if (argc < 2) {
    std::fprintf(stderr, "usage: broker_bench BROKER [RUNS [SLOW_RUNS [COMMANDS]]]\n");
    return 2;
  }
  const int runs = Argument(argc, argv, 2, 20);
  const int slowRuns = std::min(runs, Argument(argc, argv, 3, 5));
  const int commands = Argument(argc, argv, 4, 300);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);

  PlacedBroker broker;
  if (!broker.Place(argv[1])) return 1;
  // One call first, so that no measured run pays for the program's first load.
  EndBrokers();
  if (TimedRemoteIt() < 0) return 1;

  Figures first, replacing, running;
  if (!FirstCall(broker.Path(), runs, slowRuns, &first) || !ReplacingCall(broker.Path(), runs, slowRuns, &replacing) ||
      !RunningCall(runs, &running))
    return 1;
  std::printf("page call to result through the broker (\"x y\" -> 3), median seconds (runs)\n");
  std::printf("  %-40s %17s %17s %8s\n", "", "written client", "product", "ratio");
  PrintCase("first call, no broker running", first);
  PrintCase("call that replaces a running broker", replacing);
  PrintCase("call to a running broker (\"junk\")", running);
  std::printf("  written client: start, sleep 3000 ms, an instance for anyone, unbounded connect, exchange;\n");
  std::printf("  %d runs where it sleeps, %d where it does not; ratio = written / product.\n", slowRuns, runs);
  std::printf("  the broker being replaced took the written client's command in %d of %zu replacing calls\n",
              replacing.oldAnswered, replacing.written.size());

  HandOvers product, written;
  for (int i = 0; i < runs; ++i) {
    if (!OneServedBroker() || !TimedHandOver(broker.Path(), std::wstring(), &product)) return 1;
    if (i < slowRuns && (!OneServedBroker() || !TimedHandOver(self, kWrittenBrokerSwitch, &written))) return 1;
  }
  std::printf("\nbroker hand-over: a new broker started while one serves, median seconds (runs)\n");
  std::printf("  %-40s %17s %17s %8s\n", "", "written stopper", "product", "ratio");
  std::printf("  %-40s %8.3f s (%2zu) %8.3f s (%2zu) %8.1f\n", "until the old broker is gone", Median(written.gone),
              written.gone.size(), Median(product.gone), product.gone.size(), Median(written.gone) / Median(product.gone));
  std::printf("  %-40s %8.3f s (%2zu) %8.3f s (%2zu) %8.1f\n", "until the new one has answered", Median(written.serving),
              written.serving.size(), Median(product.serving), product.serving.size(),
              Median(written.serving) / Median(product.serving));
  std::printf("  written stopper: \"7 foo bar\", the id read, sleep 2000 ms, then a look every 300 ms for the id;\n");
  std::printf("  the bench offers the new broker its instance once the old one is gone; ratio = written / product.\n");

  const double perCommand = ProductRate(commands);
  const double barePerCommand = BareRate(commands);
  if (perCommand < 0 || barePerCommand < 0) return 1;
  std::printf("\nsustained sequential commands (%d each)\n", commands);
  std::printf("  %-40s %8.1f /s (%.3f ms each)\n", "bare in-process pipe round trip", 1 / barePerCommand,
              barePerCommand * 1000);
  std::printf("  %-40s %8.1f /s (%.3f ms each)\n", "SendToRunningBroker to the broker", 1 / perCommand,
              perCommand * 1000);
  std::printf("  ratio broker / bare (time per command) %.1f\n", perCommand / barePerCommand);
  return 0;
}
