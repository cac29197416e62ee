#pragma once
// The reference the package benchmarks share: a package installed by msiexec /i /qn, and a product's
// removal between runs.
#include <windows.h>
#include <msi.h>

#include <string>

namespace kesi::bench {

// The VPN client's product code, which the benchmarks' packages carry.
constexpr wchar_t kBenchClientProduct[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";

// Removes an installed product without any user interface; the installer's result.
inline UINT RemoveProduct(const wchar_t* productCode) {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  return MsiConfigureProductExW(productCode, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, L"REMOVE=ALL");
}

inline void RemoveBenchClient() { RemoveProduct(kBenchClientProduct); }

// msiexec /i "package" /qn, waited for; its exit code.
inline DWORD PlainMsiexec(const std::wstring& package) {
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

}  // namespace kesi::bench
