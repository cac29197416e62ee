#pragma once
// The diagnostic log: one text file per role, shared between processes under a mutex named after the
// file's identity, kept below a size limit (the full file is copied to "<path>.old" and restarted), and
// optionally written line by line through the line cipher. Numbered messages come from a module's message
// table. Also the log-folder helpers and the log bundle that support staff receive.
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

// Log file names of the roles.
constexpr wchar_t kInterrogatorLogName[] = L"KESInterrogator.log";
constexpr wchar_t kInstallerLogName[] = L"KESInstaller.log";
constexpr wchar_t kProvisionerLogName[] = L"kesiProvisioner.log";
constexpr wchar_t kInitLogName[] = L"kesiInit.log";
constexpr wchar_t kBootstrapperLogName[] = L"kesiBootstrapper.log";
constexpr wchar_t kInstallLogName[] = L"kesiInstall.log";
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

// The user's log folder, application data + "\Velmora\LogFiles", created when missing. folder holds
// MAX_PATH characters.
DWORD GetLogFolder(wchar_t* folder);
// The user's (perUser) or the common application-data folder into folder, and its "\Velmora\LogFiles"
// into logFolder, creating "\Velmora" and "\LogFiles" when missing. Both hold MAX_PATH characters.
DWORD PrepareLogFolder(wchar_t* folder, wchar_t* logFolder, bool perUser);
// The user's log folder + "\kesiBootstrapper.log" / "\kesiInit.log" (MAX_PATH characters).
DWORD GetBootstrapperLogPath(wchar_t* path);
DWORD GetInitLogPath(wchar_t* path);

// True while a bootstrapper runs (its event "Local\RQBootStrapRunning" exists); the bundle is not built then.
bool IsBootstrapperRunning();
// Joins the logs of logFolder (null: the user's log folder) into its "kesiBootstrapper.log": the init
// log, then the provisioner, interrogator and MSI logs, each after a ciphered header line; the MSI log
// (wide text) is ciphered block by block and deleted once appended. Missing logs are skipped. bundlePath
// (MAX_PATH characters, may be null) receives the bundle's path. 0 or the error that stopped it.
DWORD BuildLogBundle(const wchar_t* logFolder, wchar_t* bundlePath);
// Appends the wide-text log at logPath to the bundle: every 4,096-byte block converted to the ANSI code
// page and written as one ciphered line, each append locked on its range of the bundle.
DWORD AppendCipheredLog(const wchar_t* bundlePath, const wchar_t* logPath);

}  // namespace kesi
