#pragma once
// The thread's last error as a result code, for calls that fail without always setting one.
#include <windows.h>

#include "ErrorCodes.h"

namespace kesi {

// GetLastError(), or fallback when the failed call left it at 0 (a failure must never read as success).
inline DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = ::GetLastError();
  return error ? error : fallback;
}

static_assert(kErrorOutOfMemory == ERROR_OUTOFMEMORY && kErrorInvalidData == ERROR_INVALID_DATA &&
                  kErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
                  kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER,
              "the portable error numbers are the system's");

}  // namespace kesi
