// Log writes per second: one process, one process with the cipher, and two processes on one file (the
// cross-process mutex at work). The reference, measured in the same run, is the same lines written with
// plain WriteFile calls on an unshared file: the ratio is what the log's line format, identity mutex and
// size check cost.
//   log_bench [--lines N]               prints key=value figures
//   log_bench --child PATH N EVENT      (internal) one of the two writers
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "BenchClock.h"
#include "LogFile.h"

using namespace kesi;

namespace {

constexpr wchar_t kPayload[] = L"interrogation literal evaluated, parameters C:\\Program Files\\App\\app.exe";

using kesi::bench::Now;

std::wstring TempPath(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"kesi-log-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

DWORD WriteLines(kesi::LogFile& log, long lines) {
  for (long n = 0; n < lines; ++n)
    if (DWORD error = kesi::LogInfo(&log, L"%ld %ls", n, kPayload)) return error;
  return 0;
}

// Plain WriteFile of lines as long as the log's, to an unshared file.
double Reference(long lines) {
  const std::wstring path = TempPath(L"plain.log");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  char line[160];
  int length = snprintf(line, sizeof line, "12/31/2026 23:59:59.999 I %ld %ls\r\n", 123456L, kPayload);
  double start = Now();
  for (long n = 0; n < lines; ++n) {
    DWORD written;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  }
  double seconds = Now() - start;
  CloseHandle(file);
  DeleteFileW(path.c_str());
  return lines / seconds;
}

// Taking and releasing a named mutex alone: the floor under any line of a shared log.
double MutexAlone(long lines) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, (L"kesi-log-bench-" + std::to_wstring(GetCurrentProcessId())).c_str());
  double start = Now();
  for (long n = 0; n < lines; ++n) {
    WaitForSingleObject(mutex, INFINITE);
    ReleaseMutex(mutex);
  }
  double seconds = Now() - start;
  CloseHandle(mutex);
  return lines / seconds;
}

double OneProcess(long lines, bool cipher) {
  const std::wstring path = TempPath(cipher ? L"cipher.log" : L"one.log");
  kesi::LogFile log;
  log.SetCipher(cipher);
  log.SetSizeLimit(0xFFFFFFFFu);
  if (log.Open(path.c_str(), kesi::kLogFresh, nullptr)) return 0;
  double start = Now();
  DWORD error = WriteLines(log, lines);
  double seconds = Now() - start;
  log.Close();
  DeleteFileW(path.c_str());
  return error ? 0 : lines / seconds;
}

HANDLE StartChild(const std::wstring& path, long lines, const std::wstring& event) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child \"" + path + L"\" " + std::to_wstring(lines) +
                         L" " + event;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Both writers open the file and wait for the go event; the time runs from the event to the last exit.
double TwoProcesses(long lines) {
  const std::wstring path = TempPath(L"two.log");
  const std::wstring eventName = L"kesi-log-bench-go-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring readyName = eventName + L"-ready";
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  HANDLE ready = CreateSemaphoreW(nullptr, 0, 2, readyName.c_str());
  HANDLE children[2] = {StartChild(path, lines, eventName), StartChild(path, lines, eventName)};
  if (!children[0] || !children[1]) return 0;
  for (int i = 0; i < 2; ++i) WaitForSingleObject(ready, 60000);
  double start = Now();
  SetEvent(go);
  WaitForMultipleObjects(2, children, TRUE, INFINITE);
  double seconds = Now() - start;
  DWORD codes[2] = {1, 1};
  for (int i = 0; i < 2; ++i) {
    GetExitCodeProcess(children[i], &codes[i]);
    CloseHandle(children[i]);
  }
  CloseHandle(go);
  CloseHandle(ready);
  DeleteFileW(path.c_str());
  return codes[0] || codes[1] ? 0 : 2 * lines / seconds;
}

int Child(const wchar_t* path, long lines, const wchar_t* eventName) {
  kesi::LogFile log;
  log.SetSizeLimit(0xFFFFFFFFu);
  if (log.Open(path, 0, nullptr)) return 3;
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, eventName);
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (std::wstring(eventName) + L"-ready").c_str());
  if (!go || !ready) return 4;
  ReleaseSemaphore(ready, 1, nullptr);
  WaitForSingleObject(go, INFINITE);
  return WriteLines(log, lines) ? 5 : 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc == 5 && wcscmp(argv[1], L"--child") == 0) return Child(argv[2], wcstol(argv[3], nullptr, 10), argv[4]);
  long lines = 20000;
  if (argc == 3 && wcscmp(argv[1], L"--lines") == 0) lines = wcstol(argv[2], nullptr, 10);

  double reference = Reference(lines);
  double mutex = MutexAlone(lines);
  double one = OneProcess(lines, false);
  double cipher = OneProcess(lines, true);
  double two = TwoProcesses(lines);
  printf("lines=%ld reference_lines_per_s=%.0f mutex_pairs_per_s=%.0f one_lines_per_s=%.0f cipher_lines_per_s=%.0f "
         "two_lines_per_s=%.0f\n",
         lines, reference, mutex, one, cipher, two);
  return one && cipher && two ? 0 : 1;
}
