#pragma once
// Reading back what a log file holds, for the Windows test programs: the whole of a file that a log may
// still have open, and a fresh log file of one test's own.
#include <windows.h>

#include <string>

#include "LogFile.h"

namespace kesi::test {

// The bytes of a file, read through a handle that shares everything with its writer; empty when the file
// cannot be opened.
inline std::string ReadWholeFile(const std::wstring& path) {
  std::string data;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char block[4096];
  DWORD got = 0;
  while (ReadFile(file, block, sizeof block, &got, nullptr) && got) data.append(block, got);
  CloseHandle(file);
  return data;
}

// A fresh log file "kesi-NAME-PID.log" in the temporary folder, logging every level; closed and deleted
// with the object.
class TestLogFile {
 public:
  explicit TestLogFile(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"kesi-" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    log_.SetThreshold(kLogDebug);
    opened_ = log_.Open(path_.c_str(), kLogPathAsGiven | kLogFresh, nullptr) == 0;
  }
  ~TestLogFile() {
    log_.Close();
    DeleteFileW(path_.c_str());
  }
  TestLogFile(const TestLogFile&) = delete;
  TestLogFile& operator=(const TestLogFile&) = delete;

  LogFile* Log() { return &log_; }
  bool Opened() const { return opened_; }
  // Everything logged so far (ANSI text).
  std::string Text() const { return ReadWholeFile(path_); }
  bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }

 private:
  LogFile log_;
  std::wstring path_;
  bool opened_ = false;
};

}  // namespace kesi::test
