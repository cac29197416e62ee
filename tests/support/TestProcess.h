#pragma once
// Programs that a Windows test starts and ends, and waiting for what they change.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "Handles.h"
#include "ProcessList.h"
#include "TestText.h"

namespace kesi::test {

// Asks condition every 50 ms until it holds or about timeoutMs have passed; true when it held.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 5000) {
  for (DWORD waited = 0;; waited += 50) {
    if (condition()) return true;
    if (waited >= timeoutMs) return false;
    Sleep(50);
  }
}

// A program started by the test, without a window, and ended (and waited for) with the object.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept : process_(std::move(other.process_)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    Stop();
    process_ = std::move(other.process_);
    return *this;
  }
  ~ChildProcess() { Stop(); }

  // Starts path with arguments behind its quoted name on the command line.
  ::testing::AssertionResult Start(const std::wstring& path, const std::wstring& arguments = std::wstring()) {
    Stop();
    std::wstring command = L"\"" + path + L"\"";
    if (!arguments.empty()) command += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info))
      return ::testing::AssertionFailure() << "cannot start " << Narrow(path) << ": error " << GetLastError();
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    return ::testing::AssertionSuccess();
  }

  // Ends the program (when it runs) and waits until it is gone.
  void Stop() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 10000);
    process_.reset();
  }

  HANDLE Handle() const { return process_.get(); }

 private:
  UniqueHandle process_;
};

// Ends, and waits for, every process of this session and user that runs exeName (the brokers by default;
// the cases hold the pipe's lock, so none is another test's).
inline void EndBrokers(const wchar_t* exeName = L"kesivista.exe") {
  std::vector<DWORD> ids;
  FindOwnSessionProcesses(exeName, &ids);
  for (DWORD id : ids) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) continue;
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 10000);
  }
}

}  // namespace kesi::test
