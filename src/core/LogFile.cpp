#include "LogFile.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "LineCipher.h"

namespace kesi {
namespace {

constexpr wchar_t kLevelTags[] = L"DIWEF";
constexpr wchar_t kLogSubfolder1[] = L"\\Velmora";
constexpr wchar_t kLogSubfolder2[] = L"\\LogFiles";
constexpr DWORD kCopyBlock = 4096;

// Appends text to a MAX_PATH buffer; false when it does not fit.
bool AppendPath(wchar_t* buffer, const wchar_t* text) {
  size_t used = wcslen(buffer);
  size_t add = wcslen(text);
  if (used + add >= MAX_PATH) return false;
  wmemcpy(buffer + used, text, add + 1);
  return true;
}

DWORD CreateFolder(const wchar_t* path) {
  if (CreateDirectoryW(path, nullptr)) return ERROR_SUCCESS;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

bool IsBareFileName(const wchar_t* path) {
  return wcspbrk(path, L"\\/:") == nullptr;
}

// Converts count wide characters to the ANSI code page into out (room bytes, zero-terminated), dropping
// characters from the end until the result fits. Returns the byte count.
int ToAnsi(const wchar_t* text, int count, char* out, int room) {
  while (count > 0) {
    int need = WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (need > 0 && need < room) {
      int n = WideCharToMultiByte(CP_ACP, 0, text, count, out, room - 1, nullptr, nullptr);
      out[n] = '\0';
      return n;
    }
    if (need <= 0) break;
    int excess = need - (room - 1);
    count -= excess > 3 ? excess / 3 : 1;
    if (count > 0 && IS_HIGH_SURROGATE(text[count - 1])) --count;
  }
  out[0] = '\0';
  return 0;
}

// Writes all of bytes at the current position of file.
DWORD WriteAll(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  if (!WriteFile(file, bytes, count, &written, nullptr)) return GetLastError();
  return written == count ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

// The line cipher's Base64 text of text followed by "\n"; plain text when the cipher fails.
DWORD WriteCipheredLine(HANDLE file, const char* text) {
  char* cipher = nullptr;
  if (!EncryptLine(text, &cipher)) return WriteAll(file, text, static_cast<DWORD>(strlen(text)));
  size_t length = strlen(cipher);
  char* line = static_cast<char*>(realloc(cipher, length + 1));
  if (!line) {
    free(cipher);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  line[length] = '\n';
  DWORD result = WriteAll(file, line, static_cast<DWORD>(length + 1));
  free(line);
  return result;
}

// Copies the file at source to the current position of target; a missing source copies nothing.
DWORD CopyInto(HANDLE target, const wchar_t* source) {
  UniqueFile in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  char block[kCopyBlock];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), block, sizeof block, &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_SUCCESS;
    if (DWORD error = WriteAll(target, block, got)) return error;
  }
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
    if (DWORD error = GetLogFolder(full)) return error;
    if (!AppendPath(full, L"\\") || !AppendPath(full, path)) return ERROR_FILENAME_EXCED_RANGE;
  } else {
    size_t length = wcslen(path);
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    wmemcpy(full, path, length + 1);
  }
  size_t length = wcslen(full);
  std::unique_ptr<wchar_t[]> owned(new (std::nothrow) wchar_t[length + 1]);
  if (!owned) return ERROR_NOT_ENOUGH_MEMORY;
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
  if (!GetDiskFreeSpaceExW(folder, &available, &total, nullptr) || total.QuadPart == 0) return false;
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
  if (!old) return ERROR_NOT_ENOUGH_MEMORY;
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

DWORD PrepareLogFolder(wchar_t* folder, wchar_t* logFolder, bool perUser) {
  if (!folder || !logFolder) return ERROR_INVALID_PARAMETER;
  int which = (perUser ? CSIDL_APPDATA : CSIDL_COMMON_APPDATA) | CSIDL_FLAG_CREATE;
  HRESULT hr = SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  wcscpy(logFolder, folder);
  if (!AppendPath(logFolder, kLogSubfolder1)) return ERROR_FILENAME_EXCED_RANGE;
  if (DWORD error = CreateFolder(logFolder)) return error;
  if (!AppendPath(logFolder, kLogSubfolder2)) return ERROR_FILENAME_EXCED_RANGE;
  return CreateFolder(logFolder);
}

DWORD GetLogFolder(wchar_t* folder) {
  if (!folder) return ERROR_INVALID_PARAMETER;
  wchar_t appData[MAX_PATH];
  return PrepareLogFolder(appData, folder, true);
}

static DWORD LogFolderFile(wchar_t* path, const wchar_t* name) {
  if (!path) return ERROR_INVALID_PARAMETER;
  if (DWORD error = GetLogFolder(path)) return error;
  if (!AppendPath(path, L"\\") || !AppendPath(path, name)) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

DWORD GetBootstrapperLogPath(wchar_t* path) { return LogFolderFile(path, kBootstrapperLogName); }

DWORD GetInitLogPath(wchar_t* path) { return LogFolderFile(path, kInitLogName); }

bool IsBootstrapperRunning() {
  UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\RQBootStrapRunning"));
  return static_cast<bool>(event);
}

DWORD AppendCipheredLog(const wchar_t* bundlePath, const wchar_t* logPath) {
  if (!bundlePath || !*bundlePath || !logPath || !*logPath) return ERROR_INVALID_PARAMETER;
  UniqueFile in(CreateFileW(logPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) return GetLastError();
  UniqueFile out(CreateFileW(bundlePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return GetLastError();

  // A block of 4,096 bytes holds 2,048 wide characters; in a multi-byte code page each may take more.
  char block[kCopyBlock];
  constexpr int kAnsiRoom = kCopyBlock * 2 + 1;
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[kAnsiRoom]);
  if (!ansi) return ERROR_NOT_ENOUGH_MEMORY;
  bool first = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), block, sizeof block, &got, nullptr)) return GetLastError();
    const wchar_t* text = reinterpret_cast<const wchar_t*>(block);
    int chars = static_cast<int>(got / sizeof(wchar_t));
    if (first && chars > 0 && text[0] == 0xFEFF) {  // the byte-order mark is no part of the text
      ++text;
      --chars;
    }
    first = false;
    if (chars > 0) {
      ToAnsi(text, chars, ansi.get(), kAnsiRoom);
      LARGE_INTEGER end = {};
      if (!SetFilePointerEx(out.get(), end, &end, FILE_END)) return GetLastError();
      // Lock the range the line is appended to, so that no other writer's bytes land inside it.
      DWORD span = static_cast<DWORD>(strlen(ansi.get())) * 2 + 64;
      bool locked = LockFile(out.get(), end.LowPart, static_cast<DWORD>(end.HighPart), span, 0);
      DWORD error = WriteCipheredLine(out.get(), ansi.get());
      if (locked) UnlockFile(out.get(), end.LowPart, static_cast<DWORD>(end.HighPart), span, 0);
      if (error) return error;
    }
    if (got < sizeof block) return ERROR_SUCCESS;
  }
}

DWORD BuildLogBundle(const wchar_t* logFolder, wchar_t* bundlePath) {
  wchar_t folder[MAX_PATH];
  if (logFolder && *logFolder) {
    if (wcslen(logFolder) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    wcscpy(folder, logFolder);
  } else if (DWORD error = GetLogFolder(folder)) {
    return error;
  }
  auto inFolder = [&folder](wchar_t* path, const wchar_t* name) {
    wcscpy(path, folder);
    return AppendPath(path, L"\\") && AppendPath(path, name);
  };
  wchar_t bundle[MAX_PATH], init[MAX_PATH], provisioner[MAX_PATH], interrogator[MAX_PATH], install[MAX_PATH];
  if (!inFolder(bundle, kBootstrapperLogName) || !inFolder(init, kInitLogName) ||
      !inFolder(provisioner, kProvisionerLogName) || !inFolder(interrogator, kInterrogatorLogName) ||
      !inFolder(install, kInstallLogName))
    return ERROR_FILENAME_EXCED_RANGE;

  {
    UniqueFile out(CreateFileW(bundle, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return GetLastError();
    struct Part {
      const char* header;
      const wchar_t* path;
    } parts[] = {
        {nullptr, init},
        {"\r\n\r\n*** Provision log contents follow ***\r\n\r\n", provisioner},
        {"\r\n\r\n*** Interrogator log contents follow ***\r\n\r\n", interrogator},
        {"\r\n\r\n*** MSI log contents follow ***\r\n\r\n", nullptr},
    };
    for (const Part& part : parts) {
      if (part.header)
        if (DWORD error = WriteCipheredLine(out.get(), part.header)) return error;
      if (part.path)
        if (DWORD error = CopyInto(out.get(), part.path)) return error;
    }
  }
  // The MSI log is removed only once it is safely in the bundle.
  if (AppendCipheredLog(bundle, install) == ERROR_SUCCESS) DeleteFileW(install);
  if (bundlePath) wcscpy(bundlePath, bundle);
  return ERROR_SUCCESS;
}

}  // namespace kesi
