// msi_bench PACKAGE VERSION [ROUNDS]: installs PACKAGE (the VPN client stand-in at VERSION) ROUNDS times
// through DoMsiInstall and ROUNDS times through a plain "msiexec /i PACKAGE /qn", removing the product
// after each, and prints the mean seconds of each as "name=value".
#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "BenchClock.h"
#include "Msi.h"

namespace {

constexpr wchar_t kClient[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";

void Remove() {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  MsiConfigureProductExW(kClient, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, L"REMOVE=ALL");
}

DWORD PlainMsiexec(const std::wstring& package) {
  wchar_t program[MAX_PATH];
  GetSystemDirectoryW(program, MAX_PATH);
  lstrcatW(program, L"\\msiexec.exe");
  std::wstring line = L"msiexec /i \"" + package + L"\" /qn";
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return GetLastError();
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: msi_bench PACKAGE VERSION [ROUNDS]\n");
    return 2;
  }
  const std::wstring package = argv[1];
  const int rounds = argc > 3 ? std::max(1, _wtoi(argv[3])) : 3;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring config = std::wstring(temp) + L"kesi-msi-bench.ini";
  WritePrivateProfileStringW(L"InstallSettings", L"ProductVersion", argv[2], config.c_str());
  WritePrivateProfileStringW(L"InstallSettings", L"UILevel", L"NONE", config.c_str());
  Remove();

  double viaClient = 0, viaMsiexec = 0;
  for (int i = 0; i < rounds; ++i) {
    double start = kesi::bench::Now();
    const DWORD a = kesi::install::DoMsiInstall(package.c_str(), config.c_str(), nullptr, nullptr);
    viaClient += kesi::bench::Now() - start;
    Remove();
    start = kesi::bench::Now();
    const DWORD b = PlainMsiexec(package);
    viaMsiexec += kesi::bench::Now() - start;
    Remove();
    if (a != 0 || b != 0) {
      std::fprintf(stderr, "install failed: DoMsiInstall %lu, msiexec %lu\n", a, b);
      return 1;
    }
  }
  DeleteFileW(config.c_str());
  std::printf("rounds=%d domsiinstall_s=%.3f msiexec_s=%.3f\n", rounds, viaClient / rounds, viaMsiexec / rounds);
  return 0;
}
