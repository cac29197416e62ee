#pragma once
// Reading back what a log file holds, for the Windows test programs: its lines and their messages (the
// file itself through ReadWholeFile of TestFiles.h), and a fresh log file of one test's own.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "LogFile.h"
#include "TestFiles.h"

namespace kesi::test {

// Splits at "\n", keeping each line's terminator.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// The part of a log line after its date, time, milliseconds and level tag ("<date> HH:MM:SS.mmm T ",
// the date in the system's short format for today), with *tag set to T. Empty, and *tag left alone, when
// the line does not have that shape.
inline std::string LogMessage(const std::string& line, char* tag = nullptr) {
  wchar_t wideDate[80];
  SYSTEMTIME now;
  GetLocalTime(&now);
  GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &now, nullptr, wideDate, 80);
  char date[160];
  WideCharToMultiByte(CP_ACP, 0, wideDate, -1, date, sizeof date, nullptr, nullptr);
  const size_t d = strlen(date);
  if (line.size() < d + 16 || line.compare(0, d, date) != 0) return "";
  const char* p = line.c_str() + d;
  const char shape[] = " 99:99:99.999 ";
  for (size_t i = 0; i < sizeof shape - 1; ++i) {
    if (shape[i] == '9' ? !isdigit(static_cast<unsigned char>(p[i])) : p[i] != shape[i]) return "";
  }
  if (!strchr("DIWEF", p[14]) || p[15] != ' ') return "";
  if (tag) *tag = p[14];
  return line.substr(d + 16);
}

// The messages of a plain log, one per logged line: a message that holds line breaks of its own continues
// on the lines that carry no date and time.
inline std::vector<std::string> LogEntries(const std::string& data) {
  std::vector<std::string> entries;
  for (const std::string& line : Lines(data)) {
    std::string message = LogMessage(line);
    if (!message.empty()) entries.push_back(message);
    else if (!entries.empty()) entries.back() += line;
    else entries.push_back("<no prefix> " + line);
  }
  return entries;
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
