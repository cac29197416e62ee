#pragma once
// The diagnostic log: one text file per role, shared between processes under a mutex named after the
// file's identity, kept below a size limit (the full file is copied to "<path>.old" and restarted), and
// optionally written line by line through the line cipher. Numbered messages come from a module's message
// table (their ids are in the generated messages.h). Where the logs live: LogFolder.h; the bundle of them
// that support staff receive: LogBundle.h.
#include <windows.h>

#include <cstdarg>
#include <memory>

#include "Handles.h"

namespace kesi {

// Levels; lines below a log's threshold are dropped. The tag in a line is D, I, W, E or F.
enum LogLevel : int {
  kLogDebug = 0,
  kLogInfo = 1,
  kLogWarning = 2,
  kLogError = 3,
  kLogFatal = 4,
};

// Open options (bit flags).
constexpr DWORD kLogWriteThrough = 1;      // open with FILE_FLAG_WRITE_THROUGH
constexpr DWORD kLogPathAsGiven = 2;       // never place a bare file name in the log folder
constexpr DWORD kLogFresh = 8;             // delete the file first: the log holds one run
constexpr DWORD kLogEmptyWhenDiskLow = 16; // empty the log when its volume has < 10 % free

constexpr int kLogDefaultThreshold = kLogInfo;
constexpr DWORD kLogDefaultSizeLimit = 4 * 1024 * 1024;
constexpr size_t kLogLineChars = 4096;  // a line is built in this many characters and written in as many bytes

// The console: a log of this name is written to the console, never placed in the log folder.
constexpr wchar_t kConsoleLogName[] = L"CONOUT$";

class LogFile {
 public:
  LogFile() noexcept;
  virtual ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens path (a bare file name goes into the user's log folder unless kLogPathAsGiven). messageModule is
  // the module whose message table PrintMsgId reads (null: the process's executable). Returns 5023 when
  // already open, 87 for an empty path, 206 for a path of MAX_PATH characters or more, else 0 or the
  // platform's error. A failure to create the mutex is returned but leaves the file open and usable.
  virtual DWORD Open(const wchar_t* path, DWORD options, HMODULE messageModule);
  // Writes one line at level. format is a wide printf format ("%s" takes a wide string) applied to *args;
  // with args null the text is written as it stands. 87 for a level above 4; 0 without writing below the
  // threshold; else the write's error code (6 when closed).
  virtual DWORD Print(int level, const wchar_t* format, va_list* args);
  // Writes message messageId of the message module, its inserts filled from *args (null: inserts are
  // left as they stand). The result of Print, or FormatMessage's error.
  virtual DWORD PrintMsgId(int level, DWORD messageId, va_list* args);
  // Closes the file and the mutex and forgets the path and the options.
  virtual void Close();
  // Empties a disk file. 6 when closed, 50 for a file that is not on disk.
  virtual DWORD Truncate();
  // Copies the file to "<path>.old", replacing an older copy. 50 when closed or not on disk.
  virtual DWORD Rotate();

  DWORD Printf(int level, const wchar_t* format, ...);

  void SetThreshold(int level) noexcept { threshold_ = level; }
  int Threshold() const noexcept { return threshold_; }
  void SetSizeLimit(DWORD bytes) noexcept { sizeLimit_ = bytes; }
  DWORD SizeLimit() const noexcept { return sizeLimit_; }
  void SetCipher(bool on) noexcept { cipher_ = on; }
  bool Cipher() const noexcept { return cipher_; }

  bool IsOpen() const noexcept { return static_cast<bool>(file_); }
  // The full path in use (empty when closed).
  const wchar_t* Path() const noexcept { return path_ ? path_.get() : L""; }
  // "%08x%08x%08x" of volume serial, file index high and low; empty when the file has no mutex.
  const wchar_t* MutexName() const noexcept { return mutexName_; }
  // GetFileType of the open file (FILE_TYPE_UNKNOWN when closed).
  DWORD FileType() const noexcept { return fileType_; }
  DWORD Options() const noexcept { return options_; }

 private:
  DWORD Lock();
  void Unlock();
  bool DiskIsLow() const;
  DWORD TruncateLocked();
  DWORD WriteLocked(const char* bytes, DWORD count);

  UniqueFile file_;
  DWORD creationFlags_ = FILE_ATTRIBUTE_NORMAL;
  UniqueHandle mutex_;
  HMODULE messageModule_ = nullptr;
  wchar_t mutexName_[25] = {};
  DWORD reserved_ = 0;
  std::unique_ptr<wchar_t[]> path_;
  DWORD fileType_ = FILE_TYPE_UNKNOWN;
  DWORD options_ = 0;
  int threshold_ = kLogDefaultThreshold;
  DWORD sizeLimit_ = kLogDefaultSizeLimit;
  bool cipher_ = false;
};

// One line at a fixed level: (log, format, ...). A null log gives 87.
DWORD LogDebug(LogFile* log, const wchar_t* format, ...);
DWORD LogInfo(LogFile* log, const wchar_t* format, ...);
DWORD LogError(LogFile* log, const wchar_t* format, ...);
// One numbered message at a fixed level: (log, message number, inserts...). A null log gives 87.
DWORD LogMsgDebug(LogFile* log, DWORD messageId, ...);
DWORD LogMsgInfo(LogFile* log, DWORD messageId, ...);
DWORD LogMsgWarning(LogFile* log, DWORD messageId, ...);

// The free-space query behind kLogEmptyWhenDiskLow (GetDiskFreeSpaceExW's shape): a seam for tests. Returns
// the previous query; null puts GetDiskFreeSpaceExW back.
using LogDiskSpaceFn = BOOL(WINAPI*)(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                     PULARGE_INTEGER totalFree);
LogDiskSpaceFn SetLogDiskSpaceQuery(LogDiskSpaceFn query);

}  // namespace kesi
