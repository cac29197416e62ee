#include "PathLock.h"

#include <cwchar>

#include "LastError.h"

namespace kesi::install {

PathLock::~PathLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

DWORD PathLock::Acquire(const wchar_t* prefix, const wchar_t* path, DWORD waitMs) {
  if (wcslen(path) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  wchar_t upper[MAX_PATH];
  wcscpy(upper, path);
  CharUpperBuffW(upper, static_cast<DWORD>(wcslen(upper)));
  unsigned long long hash = 14695981039346656037ull;  // FNV-1a over the UTF-16 code units
  for (const wchar_t* p = upper; *p; ++p) {
    hash ^= static_cast<unsigned short>(*p);
    hash *= 1099511628211ull;
  }
  wchar_t name[96];
  if (swprintf(name, 96, L"%ls%016llx", prefix, hash) < 0) return ERROR_FILENAME_EXCED_RANGE;
  mutex_.reset(CreateMutexW(nullptr, FALSE, name));
  if (!mutex_) return LastErrorOr(ERROR_INTERNAL_ERROR);
  switch (WaitForSingleObject(mutex_.get(), waitMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      owned_ = true;
      return ERROR_SUCCESS;
    case WAIT_TIMEOUT:
      return ERROR_TIMEOUT;
    default:
      return LastErrorOr(ERROR_INTERNAL_ERROR);
  }
}

}  // namespace kesi::install
