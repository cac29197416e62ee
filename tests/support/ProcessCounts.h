#pragma once
// What a process holds (the test's own, or a program it started), for tests that look for leaks: its
// handles, counted through the system's handle information (GetProcessHandleCount answers 0 under Wine),
// and its threads (Tool Help).
#include <windows.h>
#include <tlhelp32.h>

#include <memory>
#include <new>

#include "Handles.h"

namespace kesi::test {

// The handles process processId holds, or -1 when the system does not tell.
inline long HandleCountOf(DWORD processId) {
  // The extended form of the system's handle information (class 64), whose process ids are full width.
  struct Entry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
  };
  struct Information {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry handles[1];
  };
  using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryFn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
  if (!query) return -1;
  constexpr ULONG kExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  ULONG size = 1 << 20;
  for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
    if (!buffer) return -1;
    ULONG needed = 0;
    const LONG status = query(kExtendedHandleInformation, buffer.get(), size, &needed);
    if (status == kInfoLengthMismatch) continue;
    if (status < 0) return -1;
    const auto* information = reinterpret_cast<const Information*>(buffer.get());
    long count = 0;
    for (ULONG_PTR i = 0; i < information->count; ++i) {
      if (information->handles[i].processId == processId) ++count;
    }
    return count;
  }
  return -1;
}

// The threads of process processId, or -1 when Tool Help does not tell.
inline long ThreadCountOf(DWORD processId) {
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  long count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == processId) ++count;
  }
  return count;
}

inline long OwnHandleCount() { return HandleCountOf(GetCurrentProcessId()); }
inline long OwnThreadCount() { return ThreadCountOf(GetCurrentProcessId()); }

}  // namespace kesi::test
