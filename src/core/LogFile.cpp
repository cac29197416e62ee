#include "LogFile.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "LineCipher.h"
#include "LogFileIo.h"
#include "LogFolder.h"

namespace kesi {
namespace {

constexpr wchar_t kLevelTags[] = L"DIWEF";

std::atomic<LogDiskSpaceFn> g_diskSpace{&GetDiskFreeSpaceExW};

bool IsBareFileName(const wchar_t* path) {
  return wcspbrk(path, L"\\/:") == nullptr;
}

DWORD PrintAt(LogFile* log, int level, const wchar_t* format, va_list* args) {
  if (!log) return ERROR_INVALID_PARAMETER;
  return log->Print(level, format, args);
}

DWORD PrintMsgAt(LogFile* log, int level, DWORD messageId, va_list* args) {
  if (!log) return ERROR_INVALID_PARAMETER;
  return log->PrintMsgId(level, messageId, args);
}

}  // namespace

LogFile::LogFile() noexcept = default;

LogFile::~LogFile() { Close(); }

DWORD LogFile::Open(const wchar_t* path, DWORD options, HMODULE messageModule) {
  if (file_) return ERROR_INVALID_STATE;
  if (!path || !*path) return ERROR_INVALID_PARAMETER;

  wchar_t full[MAX_PATH];
  if (!(options & kLogPathAsGiven) && IsBareFileName(path) && lstrcmpiW(path, kConsoleLogName) != 0) {
    if (DWORD error = GetLogFolderFile(full, path)) return error;
  } else {
    size_t length = wcslen(path);
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    wmemcpy(full, path, length + 1);
  }
  size_t length = wcslen(full);
  std::unique_ptr<wchar_t[]> owned(new (std::nothrow) wchar_t[length + 1]);
  if (!owned) return ERROR_OUTOFMEMORY;
  wmemcpy(owned.get(), full, length + 1);

  if (options & kLogFresh) DeleteFileW(full);

  creationFlags_ = FILE_ATTRIBUTE_NORMAL | ((options & kLogWriteThrough) ? FILE_FLAG_WRITE_THROUGH : 0);
  UniqueFile file(CreateFileW(full, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, creationFlags_, nullptr));
  if (!file) return GetLastError();

  file_ = std::move(file);
  path_ = std::move(owned);
  options_ = options;
  messageModule_ = messageModule;
  reserved_ = 0;
  mutexName_[0] = L'\0';
  fileType_ = GetFileType(file_.get());
  if (fileType_ != FILE_TYPE_DISK) return ERROR_SUCCESS;

  // Every process that opens this file derives the same name, whatever path it used to reach it.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file_.get(), &info)) return ERROR_SUCCESS;
  swprintf(mutexName_, 25, L"%08x%08x%08x", static_cast<unsigned>(info.dwVolumeSerialNumber),
           static_cast<unsigned>(info.nFileIndexHigh), static_cast<unsigned>(info.nFileIndexLow));
  mutex_.reset(CreateMutexW(nullptr, FALSE, mutexName_));
  if (!mutex_) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD LogFile::Print(int level, const wchar_t* format, va_list* args) {
  if (level < 0 || level > kLogFatal) return ERROR_INVALID_PARAMETER;
  if (level < threshold_) return ERROR_SUCCESS;
  if (!file_) return ERROR_INVALID_HANDLE;
  if (!format) format = L"";

  // Compose outside the lock. Room for the closing CR-LF is always kept, so a line never runs into the
  // next; a part that does not fit in what is left is written as empty text.
  wchar_t line[kLogLineChars];
  constexpr int kRoom = static_cast<int>(kLogLineChars) - 3;
  int used = 0;
  SYSTEMTIME now;
  GetLocalTime(&now);
  int n = GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &now, nullptr, line, kRoom + 1);
  used = n > 0 ? n - 1 : 0;
  line[used++] = L' ';
  n = GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &now, L"HH':'mm':'ss", line + used, kRoom + 1 - used);
  used += n > 0 ? n - 1 : 0;
  n = _snwprintf(line + used, kRoom - used, L".%03u %c ", static_cast<unsigned>(now.wMilliseconds),
                 static_cast<int>(kLevelTags[level]));
  used += n > 0 ? n : 0;
  if (args) {
    va_list copy;
    va_copy(copy, *args);
    n = _vsnwprintf(line + used, kRoom - used, format, copy);
    va_end(copy);
    used += n > 0 ? n : 0;
  } else {
    size_t length = wcslen(format);
    if (length <= static_cast<size_t>(kRoom - used)) {
      wmemcpy(line + used, format, length);
      used += static_cast<int>(length);
    }
  }
  line[used++] = L'\r';
  line[used++] = L'\n';
  line[used] = L'\0';

  char ansi[kLogLineChars + 1];
  int ansiLength = ToAnsi(line, used - 2, ansi, static_cast<int>(kLogLineChars) - 1);
  ansi[ansiLength++] = '\r';
  ansi[ansiLength++] = '\n';
  ansi[ansiLength] = '\0';

  const char* bytes = ansi;
  DWORD count = static_cast<DWORD>(ansiLength);
  char* cipher = nullptr;
  std::unique_ptr<char[]> ciphered;
  if (cipher_ && EncryptLine(ansi, &cipher)) {
    size_t length = strlen(cipher);
    ciphered.reset(new (std::nothrow) char[length + 1]);
    if (ciphered) {
      memcpy(ciphered.get(), cipher, length);
      ciphered[length] = '\n';
      bytes = ciphered.get();
      count = static_cast<DWORD>(length + 1);
    }
    free(cipher);
  }

  if (DWORD error = Lock()) return error;
  DWORD result = WriteLocked(bytes, count);
  Unlock();
  return result;
}

DWORD LogFile::WriteLocked(const char* bytes, DWORD count) {
  if (fileType_ == FILE_TYPE_DISK) {
    if ((options_ & kLogEmptyWhenDiskLow) && DiskIsLow()) TruncateLocked();
    // Moving to the end gives the size as well: one call less per line while the mutex is held.
    LARGE_INTEGER zero = {}, size = {};
    if (SetFilePointerEx(file_.get(), zero, &size, FILE_END) && static_cast<ULONGLONG>(size.QuadPart) >= sizeLimit_) {
      Rotate();  // a failed copy still empties the log
      TruncateLocked();
    }
  }
  return WriteAll(file_.get(), bytes, count);
}

DWORD LogFile::Lock() {
  if (!mutex_) return ERROR_SUCCESS;
  // An abandoned mutex still passes ownership: a writer that died mid-line must not stop the others.
  DWORD wait = WaitForSingleObject(mutex_.get(), INFINITE);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return ERROR_SUCCESS;
  return wait == WAIT_FAILED ? GetLastError() : ERROR_INTERNAL_ERROR;
}

void LogFile::Unlock() {
  if (mutex_) ReleaseMutex(mutex_.get());
}

bool LogFile::DiskIsLow() const {
  wchar_t folder[MAX_PATH];
  wcscpy(folder, path_.get());
  if (wchar_t* slash = wcsrchr(folder, L'\\')) slash[1] = L'\0';
  else if (!GetCurrentDirectoryW(MAX_PATH, folder)) return false;
  ULARGE_INTEGER available, total;
  if (!g_diskSpace.load()(folder, &available, &total, nullptr) || total.QuadPart == 0) return false;
  return available.QuadPart < total.QuadPart / 10;
}

DWORD LogFile::PrintMsgId(int level, DWORD messageId, va_list* args) {
  Print(kLogDebug, L"LogFile::PrintMsgId", nullptr);
  wchar_t text[kLogLineChars];
  DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | (args ? 0 : FORMAT_MESSAGE_IGNORE_INSERTS);
  DWORD length = FormatMessageW(flags, messageModule_, messageId, 0, text, kLogLineChars, args);
  if (length == 0) {
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_MR_MID_NOT_FOUND;
    Printf(kLogDebug, L"LogFile::PrintMsgId: FormatMessage failed [%d|%0x]", error, error);
    return error;
  }
  Print(kLogDebug, L"LogFile::PrintMsgId: FormatMessage succeeded", nullptr);
  DWORD result = Print(level, text, nullptr);
  Printf(kLogDebug, L"LogFile::PrintMsgId: Print result [%d|%0x]", result, result);
  return result;
}

void LogFile::Close() {
  if (file_) {
    Printf(kLogDebug, L"Log file closed, pid %08x", GetCurrentProcessId());
    file_.reset();
  }
  path_.reset();
  mutex_.reset();
  mutexName_[0] = L'\0';
  fileType_ = FILE_TYPE_UNKNOWN;
  options_ = 0;
}

DWORD LogFile::Truncate() {
  if (!file_) return ERROR_INVALID_HANDLE;
  if (fileType_ != FILE_TYPE_DISK) return ERROR_NOT_SUPPORTED;
  if (DWORD error = Lock()) return error;
  DWORD result = TruncateLocked();
  Unlock();
  return result;
}

DWORD LogFile::TruncateLocked() {
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get()))
    return GetLastError();
  return ERROR_SUCCESS;
}

DWORD LogFile::Rotate() {
  if (!file_ || fileType_ != FILE_TYPE_DISK) return ERROR_NOT_SUPPORTED;
  size_t length = wcslen(path_.get());
  std::unique_ptr<wchar_t[]> old(new (std::nothrow) wchar_t[length + 5]);
  if (!old) return ERROR_OUTOFMEMORY;
  wmemcpy(old.get(), path_.get(), length);
  wmemcpy(old.get() + length, L".old", 5);
  if (DWORD error = Lock()) return error;
  DWORD result = CopyFileW(path_.get(), old.get(), FALSE) ? ERROR_SUCCESS : GetLastError();
  Unlock();
  return result;
}

DWORD LogFile::Printf(int level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  DWORD result = Print(level, format, &args);
  va_end(args);
  return result;
}

DWORD LogDebug(LogFile* log, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  DWORD result = PrintAt(log, kLogDebug, format, &args);
  va_end(args);
  return result;
}

DWORD LogInfo(LogFile* log, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  DWORD result = PrintAt(log, kLogInfo, format, &args);
  va_end(args);
  return result;
}

DWORD LogError(LogFile* log, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  DWORD result = PrintAt(log, kLogError, format, &args);
  va_end(args);
  return result;
}

DWORD LogMsgDebug(LogFile* log, DWORD messageId, ...) {
  va_list args;
  va_start(args, messageId);
  DWORD result = PrintMsgAt(log, kLogDebug, messageId, &args);
  va_end(args);
  return result;
}

DWORD LogMsgInfo(LogFile* log, DWORD messageId, ...) {
  va_list args;
  va_start(args, messageId);
  DWORD result = PrintMsgAt(log, kLogInfo, messageId, &args);
  va_end(args);
  return result;
}

DWORD LogMsgWarning(LogFile* log, DWORD messageId, ...) {
  va_list args;
  va_start(args, messageId);
  DWORD result = PrintMsgAt(log, kLogWarning, messageId, &args);
  va_end(args);
  return result;
}

LogDiskSpaceFn SetLogDiskSpaceQuery(LogDiskSpaceFn query) {
  return g_diskSpace.exchange(query ? query : &GetDiskFreeSpaceExW);
}

}  // namespace kesi
