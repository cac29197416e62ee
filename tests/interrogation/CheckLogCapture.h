#pragma once
// Captures what the checks log: a fresh log file in the temporary folder becomes the check log for the
// life of the object; Text() reads what was written so far.
#include <windows.h>

#include <string>

#include "CheckLog.h"
#include "TestLogFile.h"

namespace kesi::test {

class CheckLogCapture : public TestLogFile {
 public:
  explicit CheckLogCapture(const wchar_t* name) : TestLogFile(name) { SetCheckLog(Log()); }
  ~CheckLogCapture() { SetCheckLog(nullptr); }
};

// Narrow form of ASCII wide text (other characters as "?"), for messages and log comparisons.
inline std::string Ascii(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace kesi::test
