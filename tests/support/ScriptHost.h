#pragma once
// Page stand-ins: a script run by the system's console script host (cscript) of the test's own bitness,
// with what it printed and its exit code. A 64-bit test starts the 64-bit host and a 32-bit test the 32-bit
// one (system32 is redirected for it), so each build's library is created by a host of its bitness.
//
// cscript exits 0 and prints nothing on an uncaught script error: stand-ins catch every error and end with
// WScript.Quit(code), and tests assert the code and the printed lines.
#include <windows.h>

#include <string>
#include <thread>

#include "Handles.h"
#include "TestFiles.h"

namespace kesi::test {

struct ScriptRun {
  DWORD exitCode = 0xFFFFFFFF;  // the script's WScript.Quit code; 0xFFFFFFFF when it did not end
  std::string output;           // what it printed (standard output and error)
  DWORD error = 0;              // why the host could not be run
};

// A stand-in script of this build's tests: build/tests/controls/scripts/<name>.
inline std::wstring ScriptPath(const std::wstring& name) { return BuildTestsFolder() + L"controls\\scripts\\" + name; }

// Runs script with arguments (appended as they are) and waits at most timeoutMs for the host to end.
inline ScriptRun RunScript(const std::wstring& script, const std::wstring& arguments = L"", DWORD timeoutMs = 120000) {
  ScriptRun run;
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring host = std::wstring(system) + L"\\cscript.exe";
  std::wstring command = L"\"" + host + L"\" //nologo \"" + script + L"\"";
  if (!arguments.empty()) command += L" " + arguments;

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    run.error = GetLastError();
    return run;
  }
  UniqueHandle reader(readEnd), writer(writeEnd);
  SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writer.get();
  startup.hStdError = writer.get();
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(host.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    run.error = GetLastError();
    return run;
  }
  UniqueHandle process(info.hProcess);
  CloseHandle(info.hThread);
  writer.reset();  // the host holds the only write end: the reads end when it does
  std::thread drain([&reader, &run] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
  });
  const bool ended = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.get(), 1);  // a hung host: its end of the pipe closes with it
  drain.join();
  if (!ended) {
    run.error = ERROR_TIMEOUT;
    return run;
  }
  GetExitCodeProcess(process.get(), &run.exitCode);
  return run;
}

}  // namespace kesi::test
