#include "CabExtract.h"

#include <fcntl.h>
#include <fdi.h>

#include <new>
#include <string>

#include "Handles.h"
#include "InstallPath.h"

namespace kesi::install {
namespace {

// The decompressor's callbacks take no context, so the handles they open are kept per thread for the
// length of one extraction: whatever the decompressor leaves open on a failure is closed afterwards.
struct Extraction {
  static constexpr int kMaxHandles = 16;  // the decompressor holds a cabinet or two and one target file
  HANDLE handles[kMaxHandles] = {};
  const std::wstring* folder = nullptr;
  DWORD abortCode = 0;  // why a notification ended the copy (the decompressor then only says "user abort")

  bool Track(HANDLE handle) {
    for (HANDLE& slot : handles) {
      if (!slot) {
        slot = handle;
        return true;
      }
    }
    return false;
  }
  bool Untrack(HANDLE handle) {
    for (HANDLE& slot : handles) {
      if (slot == handle) {
        slot = nullptr;
        return true;
      }
    }
    return false;
  }
  ~Extraction() {
    for (HANDLE handle : handles)
      if (handle) CloseHandle(handle);
  }
};
thread_local Extraction* t_extraction = nullptr;

FNALLOC(Allocate) { return ::operator new(cb, std::nothrow); }
FNFREE(Free) { ::operator delete(pv); }

INT_PTR Keep(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return -1;
  if (!t_extraction || !t_extraction->Track(handle)) {
    CloseHandle(handle);
    return -1;
  }
  return reinterpret_cast<INT_PTR>(handle);
}

FNOPEN(Open) {
  (void)pmode;
  const bool write = (oflag & (_O_WRONLY | _O_RDWR)) != 0;
  DWORD disposition = OPEN_EXISTING;
  if (oflag & _O_CREAT) disposition = (oflag & _O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
  else if (oflag & _O_TRUNC) disposition = TRUNCATE_EXISTING;
  return Keep(CreateFileA(pszFile, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, write ? 0 : FILE_SHARE_READ,
                          nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FNREAD(Read) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &got, nullptr)) return static_cast<UINT>(-1);
  return got;
}

FNWRITE(Write) {
  DWORD written = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &written, nullptr)) return static_cast<UINT>(-1);
  return written;
}

FNCLOSE(Close) {
  const HANDLE handle = reinterpret_cast<HANDLE>(hf);
  if (t_extraction) t_extraction->Untrack(handle);
  return CloseHandle(handle) ? 0 : -1;
}

FNSEEK(Seek) {
  const DWORD position = SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, static_cast<DWORD>(seektype));
  if (position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return static_cast<LONG>(position);
}

// Creates the target file of one entry; -1 (with the reason in abortCode) ends the copy.
INT_PTR CreateTarget(Extraction& extraction, const FDINOTIFICATION& info) {
  // The name comes from the downloaded archive: refuse one that could leave the folder, before anything
  // is created.
  if (CheckInstallEntryName(info.psz1) != 0) {
    extraction.abortCode = kCabEntryRefused;
    return -1;
  }
  const UINT codePage = (info.attribs & _A_NAME_IS_UTF) ? CP_UTF8 : CP_ACP;
  wchar_t name[MAX_PATH];
  if (!MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, info.psz1, -1, name, MAX_PATH) ||
      CheckInstallEntryName(name) != 0) {
    extraction.abortCode = kCabEntryRefused;
    return -1;
  }
  std::wstring path;
  if (JoinInstallPath(&path, {extraction.folder->c_str(), name}) != 0) {
    extraction.abortCode = ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  const INT_PTR file = Keep(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
  if (file == -1) extraction.abortCode = FDIERROR_TARGET_FILE;
  return file;
}

FNFDINOTIFY(Notify) {
  Extraction& extraction = *static_cast<Extraction*>(pfdin->pv);
  try {
    switch (fdint) {
      case fdintCOPY_FILE:
        return CreateTarget(extraction, *pfdin);
      case fdintCLOSE_FILE_INFO: {
        FILETIME local, utc;
        const HANDLE file = reinterpret_cast<HANDLE>(pfdin->hf);
        if (DosDateTimeToFileTime(pfdin->date, pfdin->time, &local) && LocalFileTimeToFileTime(&local, &utc))
          SetFileTime(file, nullptr, nullptr, &utc);
        if (Close(pfdin->hf) != 0) {
          extraction.abortCode = FDIERROR_TARGET_FILE;
          return FALSE;
        }
        return TRUE;
      }
      case fdintNEXT_CABINET:
        // A component is one cabinet; a set spanning several is not followed.
        extraction.abortCode = FDIERROR_WRONG_CABINET;
        return -1;
      default:  // cabinet information, a file continued from an earlier cabinet (skipped), enumeration
        return 0;
    }
  } catch (...) {
    extraction.abortCode = FDIERROR_ALLOC_FAIL;
    return -1;
  }
}

struct FdiContext {
  HFDI handle;
  ~FdiContext() {
    if (handle) FDIDestroy(handle);
  }
};

DWORD Extract(const wchar_t* cabPath, const wchar_t* folder) {
  if (!cabPath || !*cabPath || !folder || !*folder) return ERROR_INVALID_PARAMETER;
  // The decompressor wants the cabinet's folder (with its final backslash) and its name apart, in ANSI.
  char ansi[MAX_PATH];
  BOOL lossy = FALSE;
  if (!WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, cabPath, -1, ansi, MAX_PATH, nullptr, &lossy)) {
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE : ERROR_NO_UNICODE_TRANSLATION;
  }
  if (lossy) return ERROR_NO_UNICODE_TRANSLATION;
  const std::string full(ansi);
  const size_t slash = full.find_last_of("\\/");
  const std::string cabFolder = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
  const std::string cabName = slash == std::string::npos ? full : full.substr(slash + 1);
  if (cabFolder.size() >= CB_MAX_CAB_PATH || cabName.size() >= CB_MAX_CABINET_NAME) return ERROR_FILENAME_EXCED_RANGE;

  std::wstring target(folder);
  if (EnsureTrailingBackslash(&target) != 0) return ERROR_FILENAME_EXCED_RANGE;
  Extraction extraction;
  extraction.folder = &target;
  Extraction* const outer = t_extraction;
  t_extraction = &extraction;
  struct Restore {
    Extraction* outer;
    ~Restore() { t_extraction = outer; }
  } restore{outer};

  ERF erf = {};
  FdiContext fdi{FDICreate(Allocate, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf)};
  if (!fdi.handle) return erf.erfOper ? static_cast<DWORD>(erf.erfOper) : static_cast<DWORD>(FDIERROR_ALLOC_FAIL);

  const INT_PTR probe = Open(ansi, _O_BINARY | _O_RDONLY, 0);
  if (probe == -1) return GetLastError();
  FDICABINETINFO info = {};
  const BOOL isCabinet = FDIIsCabinet(fdi.handle, probe, &info);
  Close(probe);
  if (!isCabinet) return ERROR_BAD_FORMAT;

  if (FDICopy(fdi.handle, const_cast<char*>(cabName.c_str()), const_cast<char*>(cabFolder.c_str()), 0, Notify,
              nullptr, &extraction))
    return ERROR_SUCCESS;
  switch (erf.erfOper) {
    case FDIERROR_NOT_A_CABINET:
    case FDIERROR_UNKNOWN_CABINET_VERSION:
      return ERROR_BAD_FORMAT;
    case FDIERROR_USER_ABORT:
      return extraction.abortCode ? extraction.abortCode : static_cast<DWORD>(ERROR_GEN_FAILURE);
    case FDIERROR_NONE:
      return extraction.abortCode ? extraction.abortCode : static_cast<DWORD>(ERROR_GEN_FAILURE);
    default:
      return static_cast<DWORD>(erf.erfOper);
  }
}

}  // namespace

DWORD ExtractCab(const wchar_t* cabPath, const wchar_t* folder) {
  try {
    return Extract(cabPath, folder);
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace kesi::install
