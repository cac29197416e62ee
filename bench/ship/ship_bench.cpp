// The client as a user meets it, under Wine: a page's DoVistaInterrogation through the installed client and
// its broker against the same logon interrogation in process, and the install by the bootstrapper against
// msiexec of the same package. bench/ship/run.sh runs the steps in this order on a prefix of its own:
//   ship_bench client PACKAGE
//     installs the client as its users have it (msiexec /i PACKAGE /qn) and checks that the library is
//     registered and the broker is in place
//   ship_bench page HOST:PORT SCRIPT [RUNS]
//     the page stand-in SCRIPT, run by the console script host of this build's bitness, calls
//     DoVistaInterrogation cold (no broker running) and warm (the next call, with the broker of the cold
//     one running), and RunLogonInterrogation in its own process, RUNS times each (10), in turns; then the
//     same interrogation RUNS times in this process through the registered library, as a warm process
//     makes it
//   ship_bench install BOOTSTRAPPER PACKAGE [RUNS]
//     installs PACKAGE RUNS times (5) by the bootstrapper in program mode, started with a command line in a
//     folder that holds the package as "kesi.msi", and as often by msiexec /i /qn of that file, in turns;
//     the client is removed after each
//   ship_bench remove
//     ends the brokers and removes the client; exit code 0 when nothing of it is left
#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchMsi.h"
#include "BenchStats.h"
#include "BrokerPipe.h"
#include "Handles.h"
#include "ProcessList.h"
#include "ScriptHost.h"
#include "TestProcess.h"
#include "UacPolicyScope.h"
#include "kesi_idl.h"

using kesi::bench::Now;
using kesi::bench::Spread;
using kesi::bench::SpreadOf;

namespace {

constexpr wchar_t kClientProduct[] = L"" KESI_CLIENT_PRODUCT_CODE;
constexpr wchar_t kProgId[] = L"Velmora.KESInterrogator";
constexpr wchar_t kBrokerExe[] = L"kesivista.exe";
constexpr wchar_t kCredential[] = L"SIMSESSION-0001";
constexpr double kWarmGoalSeconds = 0.3;
constexpr double kColdGoalSeconds = 1.0;
// A page's next call comes long after its last one ended: the broker that answered it is back at waiting
// for its next command, and the machine is idle.
constexpr DWORD kSettleMs = 500;
// A bootstrapper that asks the user (a message box never ends under the null driver) ends the run.
constexpr DWORD kInstallBoundMs = 300000;

bool ClientInstalled() { return MsiQueryProductStateW(kClientProduct) == INSTALLSTATE_DEFAULT; }

bool ClientRegistered() {
  kesi::ComApartment com;
  CLSID clsid;
  return SUCCEEDED(CLSIDFromProgID(kProgId, &clsid)) && clsid == CLSID_KESInterrogator;
}

std::wstring BrokerPath() {
  std::wstring path;
  return kesi::controls::BrokerProgramPath(&path) == 0 ? path : std::wstring();
}

std::vector<DWORD> Brokers() {
  std::vector<DWORD> ids;
  kesi::FindOwnSessionProcesses(kBrokerExe, &ids);
  return ids;
}

LONGLONG FileBytes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// This process's resident memory in KiB as the host system counts it ("VmRSS", "VmHWM" for the peak):
// Wine's own counters leave out most of what a program allocates. 0 when it cannot be read.
long ResidentKib(const char* field) {
  kesi::UniqueFile file(CreateFileW(L"Z:\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  char text[4096] = {};
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr)) return 0;
  const std::string wanted = std::string("\n") + field + ":";
  const char* line = std::strstr(text, wanted.c_str());
  return line ? std::strtol(line + wanted.size(), nullptr, 10) : 0;
}

// Removes the client when it is installed; true when it is not (any more).
bool RemoveClient() {
  if (ClientInstalled()) {
    const UINT result = kesi::bench::RemoveProduct(kClientProduct);
    if (result != ERROR_SUCCESS) std::fprintf(stderr, "the client's removal returned %u\n", result);
  }
  return !ClientInstalled();
}

// ---- client ----------------------------------------------------------------------------------------------

int InstallClient(const std::wstring& package) {
  kesi::test::EndBrokers();
  if (!RemoveClient()) return 1;
  const DWORD code = kesi::bench::PlainMsiexec(package);
  const std::wstring broker = BrokerPath();
  const bool registered = ClientRegistered();
  const bool placed = !broker.empty() && GetFileAttributesW(broker.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (code != 0 || !ClientInstalled() || !registered || !placed) {
    std::fprintf(stderr, "msiexec /i /qn of %ls: exit code %lu, installed %d, %ls registered %d, broker placed %d\n",
                 package.c_str(), code, ClientInstalled(), kProgId, registered, placed);
    return 1;
  }
  std::printf("client installed by msiexec /i /qn: %ls registered, the broker at %ls\n", kProgId, broker.c_str());
  return 0;
}

// ---- page ------------------------------------------------------------------------------------------------

struct PageFigures {
  std::vector<double> call, process;  // the call by the script's clock; the host's process, start to end
};

// One run of the page stand-in in mode "vista" or "logon"; false (and why on stderr) unless its result is 0.
bool PageRun(const std::wstring& script, const wchar_t* mode, const std::wstring& urls, PageFigures* figures) {
  const double start = Now();
  const kesi::test::ScriptRun run =
      kesi::test::RunScript(script, std::wstring(mode) + L" " + kCredential + L" " + urls);
  const double process = Now() - start;
  long result = -1, createMs = -1, callMs = -1;
  const char* line = std::strstr(run.output.c_str(), "result ");
  if (run.error || run.exitCode != 0 || !line ||
      std::sscanf(line, "result %ld create_ms %ld call_ms %ld", &result, &createMs, &callMs) != 3 || result != 0) {
    std::fprintf(stderr, "the page stand-in's %ls call: host error %lu, exit code %lu, it said: %s\n", mode, run.error,
                 run.exitCode, run.output.c_str());
    return false;
  }
  figures->call.push_back(callMs / 1000.0);
  figures->process.push_back(process);
  return true;
}

// The logon interrogation in this process through the registered library; seconds of the call, -1 when it
// did not end with 0.
double InProcessCall(const std::wstring& configuration, const std::wstring& post) {
  kesi::ComPtr<IKESInterrogator> object;
  HRESULT hr = CoCreateInstance(CLSID_KESInterrogator, nullptr, CLSCTX_INPROC_SERVER, IID_IKESInterrogator,
                                object.put_void());
  kesi::UniqueBstr credential(SysAllocString(kCredential));
  kesi::UniqueBstr configurationText(SysAllocString(configuration.c_str()));
  kesi::UniqueBstr postText(SysAllocString(post.c_str()));
  if (SUCCEEDED(hr)) hr = object->put_AuthCredential(credential.get());
  ULONG result = 1;
  const double start = Now();
  if (SUCCEEDED(hr)) hr = object->RunLogonInterrogation(configurationText.get(), postText.get(), &result);
  const double seconds = Now() - start;
  if (FAILED(hr) || result != 0) {
    std::fprintf(stderr, "the in-process logon interrogation: 0x%08lX, result %lu\n", static_cast<unsigned long>(hr),
                 result);
    return -1;
  }
  return seconds;
}

void PrintRow(const char* name, const PageFigures& f) {
  const Spread call = SpreadOf(f.call), process = SpreadOf(f.process);
  std::printf("  %-44s %6.3f %6.3f %6.3f   %6.3f %6.3f %6.3f\n", name, call.min, call.median, call.max, process.min,
              process.median, process.max);
}

const char* Met(bool met) { return met ? "met" : "NOT met"; }

int Page(const std::wstring& server, const std::wstring& script, int runs) {
  const std::wstring base = L"https://" + server;
  const std::wstring configuration = base + L"/postauth/config", post = base + L"/postauth/post";
  const std::wstring urls = configuration + L" " + post;
  if (!ClientRegistered() || BrokerPath().empty()) {
    std::fprintf(stderr, "the client is not installed (ship_bench client PACKAGE)\n");
    return 1;
  }
  // One of each first: no measured run pays for the first load of the programs and libraries.
  PageFigures unused, cold, warm, inProcess;
  kesi::test::EndBrokers();
  if (!PageRun(script, L"vista", urls, &unused) || !PageRun(script, L"logon", urls, &unused)) return 1;

  for (int i = 0; i < runs; ++i) {
    kesi::test::EndBrokers();
    Sleep(kSettleMs);
    if (!PageRun(script, L"vista", urls, &cold)) return 1;
    Sleep(kSettleMs);
    if (Brokers().empty()) {
      std::fprintf(stderr, "no broker runs after the page's first call\n");
      return 1;
    }
    if (!PageRun(script, L"vista", urls, &warm)) return 1;
    Sleep(kSettleMs);
    if (!PageRun(script, L"logon", urls, &inProcess)) return 1;
  }

  // The reference as the controls measure it: the interrogation in a process that runs already.
  std::vector<double> direct;
  long residentBefore = 0, residentAfter = 0, residentPeak = 0;
  {
    kesi::ComApartment com;
    if (!com.Usable() || InProcessCall(configuration, post) < 0) return 1;
    residentBefore = ResidentKib("VmRSS");
    for (int i = 0; i < runs; ++i) {
      Sleep(kSettleMs);
      const double seconds = InProcessCall(configuration, post);
      if (seconds < 0) return 1;
      direct.push_back(seconds);
    }
    residentAfter = ResidentKib("VmRSS");
    residentPeak = ResidentKib("VmHWM");
  }

  const Spread coldCall = SpreadOf(cold.call), warmCall = SpreadOf(warm.call), localCall = SpreadOf(inProcess.call);
  const Spread coldProcess = SpreadOf(cold.process), warmProcess = SpreadOf(warm.process),
               localProcess = SpreadOf(inProcess.process), directCall = SpreadOf(direct);
  std::printf("a page's logon interrogation, 40 literals, simulator on %ls; %d runs of each, in turns (seconds)\n",
              server.c_str(), runs);
  std::printf("  %-44s %-22s   %s\n", "", "call (script clock)", "script host process");
  std::printf("  %-44s %6s %6s %6s   %6s %6s %6s\n", "", "min", "median", "max", "min", "median", "max");
  PrintRow("page: DoVistaInterrogation, cold", cold);
  PrintRow("page: DoVistaInterrogation, warm", warm);
  PrintRow("in process: RunLogonInterrogation", inProcess);
  std::printf("  %-44s %6.3f %6.3f %6.3f\n", "in process, a running process (C++ caller)", directCall.min,
              directCall.median, directCall.max);
  std::printf("  ratio page / in process (medians)            call   process   call / running process\n");
  std::printf("    cold                                       %6.2f   %6.2f   %6.1f\n",
              coldCall.median / localCall.median, coldProcess.median / localProcess.median,
              coldCall.median / directCall.median);
  std::printf("    warm                                       %6.2f   %6.2f   %6.1f\n",
              warmCall.median / localCall.median, warmProcess.median / localProcess.median,
              warmCall.median / directCall.median);
  std::printf("  goals (median of the call): warm under %.1f s: %.3f s, %s; cold under %.1f s: %.3f s, %s\n",
              kWarmGoalSeconds, warmCall.median, Met(warmCall.median < kWarmGoalSeconds), kColdGoalSeconds,
              coldCall.median, Met(coldCall.median < kColdGoalSeconds));
  std::printf("  call: the script's Date clock (1 ms) around the one method call, the object already made;\n");
  std::printf("  script host process: cscript from its start to its end, by this program's clock (host start,\n");
  std::printf("  library load, the object, the call, exit). cold: the session's brokers ended first; warm: the\n");
  std::printf("  next call, the cold call's broker running. Each call waits %lu ms after the last one. The page's\n",
              kSettleMs);
  std::printf("  call starts a broker each time, which loads, connects and interrogates as a new process; the\n");
  std::printf("  running process's call finds its libraries loaded and WinINet started by its earlier calls.\n");
  std::printf("  memory: the C++ caller, resident %.1f MiB after its first interrogation, %.1f MiB after %d more"
              " (peak %.1f MiB)\n",
              residentBefore / 1024.0, residentAfter / 1024.0, runs, residentPeak / 1024.0);
  return 0;
}

// ---- install ---------------------------------------------------------------------------------------------

// The bootstrapper started as from a download folder, with a command line; its exit code, or the error that
// kept it from ending.
DWORD RunBootstrapper(const std::wstring& program, const std::wstring& folder) {
  std::wstring line = L"\"" + program + L"\" bench";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info))
    return GetLastError();
  kesi::UniqueHandle process(info.hProcess), thread(info.hThread);
  if (WaitForSingleObject(process.get(), kInstallBoundMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), ERROR_TIMEOUT);
    WaitForSingleObject(process.get(), 10000);
    return ERROR_TIMEOUT;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

// One install by way (bootstrapper or msiexec), timed until it ended; the client removed after it.
bool TimedInstall(bool bootstrapper, const std::wstring& program, const std::wstring& folder,
                  std::vector<double>* seconds) {
  const std::wstring package = folder + L"\\kesi.msi";
  const double start = Now();
  const DWORD code = bootstrapper ? RunBootstrapper(program, folder) : kesi::bench::PlainMsiexec(package);
  const double elapsed = Now() - start;
  const bool installed = ClientInstalled();
  const bool removed = RemoveClient();
  if (code != 0 || !installed || !removed) {
    std::fprintf(stderr, "the install by %s: exit code %lu, installed %d, removed after it %d\n",
                 bootstrapper ? "the bootstrapper" : "msiexec", code, installed, removed);
    return false;
  }
  seconds->push_back(elapsed);
  return true;
}

int Install(const std::wstring& bootstrapperSource, const std::wstring& packageSource, int runs) {
  // The policy as Windows has it (a new Wine prefix reads as off: the bootstrapper would ask about Java).
  kesi::test::UacPolicyScope uac(1);
  if (!uac.Set()) {
    std::fprintf(stderr, "cannot set the user-account control policy\n");
    return 1;
  }
  kesi::test::EndBrokers();
  if (!RemoveClient()) return 1;
  // The browser's download folder: the bootstrapper and the package beside it.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"kesi-ship-bench-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring program = folder + L"\\kesiMsiBootstraper.exe";
  CreateDirectoryW(folder.c_str(), nullptr);
  struct Folder {
    std::wstring path;
    ~Folder() { kesi::test::RemoveTree(path); }
  } downloads{folder};
  if (!CopyFileW(bootstrapperSource.c_str(), program.c_str(), FALSE) ||
      !CopyFileW(packageSource.c_str(), (folder + L"\\kesi.msi").c_str(), FALSE)) {
    std::fprintf(stderr, "cannot fill the download folder %ls: error %lu\n", folder.c_str(), GetLastError());
    return 1;
  }

  std::vector<double> unused, byBootstrapper, byMsiexec;
  if (!TimedInstall(false, program, folder, &unused) || !TimedInstall(true, program, folder, &unused)) return 1;
  for (int i = 0; i < runs; ++i) {
    // In turns, each way first every other run, so that neither always follows the other's removal.
    const bool bootstrapperFirst = i % 2 == 0;
    if (!TimedInstall(bootstrapperFirst, program, folder, bootstrapperFirst ? &byBootstrapper : &byMsiexec) ||
        !TimedInstall(!bootstrapperFirst, program, folder, bootstrapperFirst ? &byMsiexec : &byBootstrapper))
      return 1;
  }
  const Spread boot = SpreadOf(byBootstrapper), plain = SpreadOf(byMsiexec);
  const LONGLONG bytes = FileBytes(packageSource);
  std::printf("install of kesi.msi (%lld bytes, %.1f KiB), %d runs each, in turns, the client removed after each\n",
              bytes, bytes / 1024.0, runs);
  std::printf("  %-52s %6s %6s %6s\n", "seconds", "min", "median", "max");
  std::printf("  %-52s %6.3f %6.3f %6.3f\n", "reference: msiexec /i kesi.msi /qn", plain.min, plain.median, plain.max);
  std::printf("  %-52s %6.3f %6.3f %6.3f\n", "kesiMsiBootstraper.exe (program mode, a command line)", boot.min,
              boot.median, boot.max);
  std::printf("  ratio bootstrapper / msiexec (medians) %.2f\n", boot.median / plain.median);
  std::printf("  the bootstrapper adds its window, its log, the package's signature check, the installed-version\n");
  std::printf("  look-up and the installer's verbose log; each is timed until its process ended, the product\n");
  std::printf("  installed.\n");
  return 0;
}

// ---- remove ----------------------------------------------------------------------------------------------

int Remove() {
  kesi::test::EndBrokers();
  const bool removed = RemoveClient();
  const std::wstring broker = BrokerPath();
  const bool brokerLeft = !broker.empty() && GetFileAttributesW(broker.c_str()) != INVALID_FILE_ATTRIBUTES;
  const bool registered = ClientRegistered();
  if (!removed || brokerLeft || registered) {
    std::fprintf(stderr, "the client is not removed: installed %d, broker file left %d, %ls registered %d\n", !removed,
                 brokerLeft, kProgId, registered);
    return 1;
  }
  std::printf("client removed: not installed, no broker file, %ls not registered\n", kProgId);
  return 0;
}

int Count(int argc, wchar_t** argv, int index, int fallback) {
  return argc > index && _wtoi(argv[index]) > 0 ? _wtoi(argv[index]) : fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"client" && argc > 2) return InstallClient(argv[2]);
  if (verb == L"page" && argc > 3) return Page(argv[2], argv[3], Count(argc, argv, 4, 10));
  if (verb == L"install" && argc > 3) return Install(argv[2], argv[3], Count(argc, argv, 4, 5));
  if (verb == L"remove") return Remove();
  std::fprintf(stderr,
               "usage: ship_bench client PACKAGE | page HOST:PORT SCRIPT [RUNS] | install BOOTSTRAPPER PACKAGE [RUNS]"
               " | remove\n");
  return 2;
}
