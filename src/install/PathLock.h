#pragma once
// One holder at a time across processes for a file or folder of the install subsystem: a mutex whose name
// is a prefix and a hash of the path, upper-cased so that every spelling of one path meets the same mutex.
// "Local\" prefixes keep it inside the caller's session, where other users cannot create objects. The
// mutex is recursive for its owner, so an operation may call back into another under the same lock.
#include <windows.h>

#include "Handles.h"

namespace kesi::install {

class PathLock {
 public:
  PathLock() = default;
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;
  ~PathLock();

  // Takes the mutex prefix + 16 hexadecimal digits of the path's hash, waiting at most waitMs. Returns 0,
  // 1460 (ERROR_TIMEOUT) when another holder kept it, 206 for a path of MAX_PATH characters or more, else
  // the system's error. An abandoned mutex (its holder ended mid-operation) is taken.
  DWORD Acquire(const wchar_t* prefix, const wchar_t* path, DWORD waitMs);

 private:
  UniqueHandle mutex_;
  bool owned_ = false;
};

}  // namespace kesi::install
