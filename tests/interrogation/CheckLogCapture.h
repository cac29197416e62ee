#pragma once
// Captures what the checks log: a fresh log file in the temporary folder becomes the check log for the
// life of the object; Text() reads what was written so far.
#include <windows.h>

#include <string>

#include "CheckLog.h"
#include "LogFile.h"

class CheckLogCapture {
 public:
  explicit CheckLogCapture(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"kesi-" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    log_.SetThreshold(kesi::kLogDebug);
    opened_ = log_.Open(path_.c_str(), kesi::kLogPathAsGiven | kesi::kLogFresh, nullptr) == 0;
    SetCheckLog(&log_);
  }
  ~CheckLogCapture() {
    SetCheckLog(nullptr);
    log_.Close();
    DeleteFileW(path_.c_str());
  }
  CheckLogCapture(const CheckLogCapture&) = delete;
  CheckLogCapture& operator=(const CheckLogCapture&) = delete;

  bool Opened() const { return opened_; }

  // Everything logged so far (ANSI text).
  std::string Text() const {
    std::string text;
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) text.append(block, read);
    CloseHandle(file);
    return text;
  }
  bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }

 private:
  kesi::LogFile log_;
  std::wstring path_;
  bool opened_ = false;
};

// Narrow form of ASCII wide text (other characters as "?"), for messages and log comparisons.
inline std::string Ascii(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}
