// msi_bench PACKAGE VERSION [ROUNDS]: installs PACKAGE (the VPN client stand-in at VERSION) ROUNDS times
// through DoMsiInstall and ROUNDS times through a plain "msiexec /i PACKAGE /qn", removing the product
// after each, and prints the mean seconds of each as "name=value".
#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "BenchClock.h"
#include "BenchMsi.h"
#include "Msi.h"

using kesi::bench::PlainMsiexec;
using kesi::bench::RemoveBenchClient;

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
  RemoveBenchClient();

  double viaClient = 0, viaMsiexec = 0;
  for (int i = 0; i < rounds; ++i) {
    double start = kesi::bench::Now();
    const DWORD a = kesi::install::DoMsiInstall(package.c_str(), config.c_str(), nullptr, nullptr);
    viaClient += kesi::bench::Now() - start;
    RemoveBenchClient();
    start = kesi::bench::Now();
    const DWORD b = PlainMsiexec(package);
    viaMsiexec += kesi::bench::Now() - start;
    RemoveBenchClient();
    if (a != 0 || b != 0) {
      std::fprintf(stderr, "install failed: DoMsiInstall %lu, msiexec %lu\n", a, b);
      return 1;
    }
  }
  DeleteFileW(config.c_str());
  std::printf("rounds=%d domsiinstall_s=%.3f msiexec_s=%.3f\n", rounds, viaClient / rounds, viaMsiexec / rounds);
  return 0;
}
