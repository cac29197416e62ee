#pragma once
// The reference the package benchmarks share: the client package installed by msiexec /i /qn, and its
// removal between runs.
#include <windows.h>
#include <msi.h>

#include <string>

namespace kesi::bench {

// The VPN client's product code, which the benchmarks' packages carry.
constexpr wchar_t kBenchClientProduct[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";

inline void RemoveBenchClient() {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  MsiConfigureProductExW(kBenchClientProduct, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, L"REMOVE=ALL");
}

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
