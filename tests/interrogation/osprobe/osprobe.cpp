// Evaluates OSVERSION parameter texts in a process of its own, so that a test can give this executable a
// Windows version of its own (Wine's per-executable AppDefaults). Each argument is one parameter text;
// bit i of the exit code is the verdict of argument i + 1, and bit 30 is set when a status was not 0.
#include <windows.h>
#include <shellapi.h>

#include "Checks.h"
#include "Handles.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const kesi::UniqueLocal arguments(argv);
  if (!argv || argc > 31) return -1;
  int code = 0;
  for (int i = 1; i < argc; ++i) {
    LONG verdict = 0;
    if (kesi::EvaluateOSVersion(argv[i], &verdict) != 0) code |= 1 << 30;
    if (verdict == 1) code |= 1 << (i - 1);
  }
  return code;
}
