#pragma once
// Captures what the checks log: a fresh log file in the temporary folder becomes the check log for the
// life of the object; Text() reads what was written so far.
#include <windows.h>

#include "CheckLog.h"
#include "TestLogFile.h"

namespace kesi::test {

class CheckLogCapture : public TestLogFile {
 public:
  explicit CheckLogCapture(const wchar_t* name) : TestLogFile(name) { SetCheckLog(Log()); }
  ~CheckLogCapture() { SetCheckLog(nullptr); }
};

}  // namespace kesi::test
