#pragma once
// Which enumeration route the process check takes, through its seam (HostChecks.h), and sleepers that the
// process tests start under names of their own.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "HostChecks.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::test {

enum class ProcessRoute {
  kSnapshot,       // the snapshot route, as the system has it
  kProcessStatus,  // the process-status route, behind a snapshot route that fails
};

inline const char* RouteName(ProcessRoute route) {
  return route == ProcessRoute::kSnapshot ? "snapshot route" : "process-status route";
}

inline DWORD FailingProcessRoute(const wchar_t*, LONG*) { return ERROR_CALL_NOT_IMPLEMENTED; }

// The process check takes the route for the life of the object; the default routes come back after it.
class ForcedProcessRoute {
 public:
  explicit ForcedProcessRoute(ProcessRoute route) {
    if (route == ProcessRoute::kProcessStatus) ProcessSearchSystem().snapshot = &FailingProcessRoute;
  }
  ForcedProcessRoute(const ForcedProcessRoute&) = delete;
  ForcedProcessRoute& operator=(const ForcedProcessRoute&) = delete;
  ~ForcedProcessRoute() { ResetProcessSearchRoutes(); }
};

// Copies the sleeper fixture to path, starts the copy and waits until both routes list it with its
// folder. They are asked on a thread of their own, which has no evaluation run open.
inline ::testing::AssertionResult StartSleeperAs(const std::wstring& path, ChildProcess* process) {
  if (!CopyFileW(SleeperPath().c_str(), path.c_str(), FALSE))
    return ::testing::AssertionFailure() << "cannot copy the sleeper to " << Narrow(path) << ": error "
                                         << GetLastError();
  ::testing::AssertionResult started = process->Start(path, L"60000");
  if (!started) return started;
  const bool seen = WaitUntil([&path] {
    LONG bySnapshot = 0, byStatus = 0;
    std::thread([&] {
      FindProcessBySnapshot(path.c_str(), &bySnapshot);
      FindProcessByProcessStatus(path.c_str(), &byStatus);
    }).join();
    return bySnapshot && byStatus;
  });
  if (!seen) return ::testing::AssertionFailure() << Narrow(path) << " was not seen running";
  return ::testing::AssertionSuccess();
}

}  // namespace kesi::test
