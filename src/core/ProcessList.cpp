#include "ProcessList.h"

#include <sddl.h>
#include <tlhelp32.h>

#include "LastError.h"

namespace kesi {
namespace {

DWORD QuerySessionOf(DWORD processId, DWORD* session) {
  if (!ProcessIdToSessionId(processId, session)) return LastErrorOr(ERROR_ACCESS_DENIED);
  return 0;
}

DWORD QueryUserOf(DWORD processId, std::wstring* sid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return LastErrorOr(ERROR_ACCESS_DENIED);
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, &rawToken)) return LastErrorOr(ERROR_ACCESS_DENIED);
  UniqueHandle token(rawToken);
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD bytes = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &bytes)) {
    return LastErrorOr(ERROR_ACCESS_DENIED);
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return LastErrorOr(ERROR_INVALID_SID);
  }
  UniqueLocal owned(text);
  sid->assign(text);
  return 0;
}

}  // namespace

ProcessIdentitySystem DefaultProcessIdentitySystem() {
  ProcessIdentitySystem system{};
  system.sessionOf = QuerySessionOf;
  system.userOf = QueryUserOf;
  return system;
}

ProcessIdentitySystem& CurrentProcessIdentitySystem() {
  static ProcessIdentitySystem current = DefaultProcessIdentitySystem();
  return current;
}

ProcessIdentitySystem SetProcessIdentitySystem(const ProcessIdentitySystem& system) {
  ProcessIdentitySystem previous = CurrentProcessIdentitySystem();
  CurrentProcessIdentitySystem() = system;
  return previous;
}

DWORD ListProcesses(std::vector<ProcessEntry>* processes) {
  processes->clear();
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return LastErrorOr(ERROR_ACCESS_DENIED);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    processes->push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  }
  return 0;
}

bool IsOwnSessionAndUser(DWORD processId) {
  const ProcessIdentitySystem& system = CurrentProcessIdentitySystem();
  DWORD ownSession = 0, session = 0;
  std::wstring ownUser, user;
  const DWORD self = GetCurrentProcessId();
  if (system.sessionOf(self, &ownSession) != 0 || system.sessionOf(processId, &session) != 0) return false;
  if (system.userOf(self, &ownUser) != 0 || system.userOf(processId, &user) != 0) return false;
  return session == ownSession && !user.empty() && user == ownUser;
}

DWORD FindOwnSessionProcesses(const wchar_t* exeName, std::vector<DWORD>* processIds) {
  processIds->clear();
  std::vector<ProcessEntry> processes;
  if (DWORD error = ListProcesses(&processes)) return error;
  const DWORD self = GetCurrentProcessId();
  for (const ProcessEntry& process : processes) {
    if (process.processId == self || lstrcmpiW(process.exeName.c_str(), exeName) != 0) continue;
    if (IsOwnSessionAndUser(process.processId)) processIds->push_back(process.processId);
  }
  return 0;
}

std::vector<UniqueHandle> OpenProcessesForWait(const std::vector<DWORD>& processIds) {
  std::vector<UniqueHandle> handles;
  for (DWORD processId : processIds) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process) handles.push_back(std::move(process));
  }
  return handles;
}

DWORD WaitForProcessesExit(const std::vector<UniqueHandle>& processes, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (const UniqueHandle& process : processes) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) return ERROR_TIMEOUT;
  }
  return 0;
}

}  // namespace kesi
