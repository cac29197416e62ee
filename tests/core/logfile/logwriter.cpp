// A second writer for the log tests: opens one log, reports the mutex name it derived on standard
// output, waits for the go event (when given) and writes numbered lines whose payload length varies,
// so that the test can tell an intact line from a torn or overwritten one.
//   kesi_logwriter [--event NAME] [--cipher] [--options N] PATH COUNT TAG
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "LogFile.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const wchar_t* eventName = nullptr;
  bool cipher = false;
  DWORD options = 0;
  int i = 1;
  for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; ++i) {
    if (wcscmp(argv[i], L"--event") == 0 && i + 1 < argc) eventName = argv[++i];
    else if (wcscmp(argv[i], L"--cipher") == 0) cipher = true;
    else if (wcscmp(argv[i], L"--options") == 0 && i + 1 < argc) options = wcstoul(argv[++i], nullptr, 0);
  }
  if (argc - i != 3) {
    fprintf(stderr, "usage: kesi_logwriter [--event NAME] [--cipher] [--options N] PATH COUNT TAG\n");
    return 2;
  }
  const wchar_t* path = argv[i];
  long count = wcstol(argv[i + 1], nullptr, 10);
  wchar_t tag = argv[i + 2][0];

  kesi::LogFile log;
  log.SetCipher(cipher);
  DWORD error = log.Open(path, options, nullptr);
  printf("mutex=%ls\n", log.MutexName());
  fflush(stdout);
  if (error) {
    fprintf(stderr, "open failed: %lu\n", error);
    return 3;
  }
  if (eventName) {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, eventName);
    if (!go || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 4;
    CloseHandle(go);
  }
  std::wstring payload;
  for (long n = 0; n < count; ++n) {
    int length = static_cast<int>((n * 37) % 300) + 1;
    payload.assign(length, tag);
    if (DWORD e = kesi::LogInfo(&log, L"%c %ld %d %ls", tag, n, length, payload.c_str())) {
      fprintf(stderr, "write %ld failed: %lu\n", n, e);
      return 5;
    }
  }
  log.Close();
  LocalFree(argv);
  return 0;
}
