#pragma once
// The test's side of the broker pipe: an instance that a broker (the program, or the broker code running in
// the test's own process) connects to, with raw writes for the frames a sender could get wrong, and the
// places of the broker's programs in the user's application-data folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BrokerCommand.h"
#include "BrokerPipe.h"
#include "Handles.h"
#include "ProcessList.h"
#include "TestFiles.h"

namespace kesi::test {

// This build's broker program and the stand-ins of this folder.
inline std::wstring BuiltBroker() { return BuildTestsFolder() + L"..\\src\\broker\\kesivista.exe"; }
inline std::wstring LauncherDouble() { return BuildTestsFolder() + L"broker\\kesilauncherdouble.exe"; }
inline std::wstring PipeSquatter() { return BuildTestsFolder() + L"broker\\kesipipesquatter.exe"; }

// "<application data>\Velmora\kesi", made when missing.
inline std::wstring ProgramFolder() {
  std::wstring path;
  controls::BrokerProgramPath(&path);
  path.erase(path.find_last_of(L'\\'));
  CreateDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr);
  CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

// One instance of the broker pipe, made by the library's own function, and the broker that connected.
class TestInstance {
 public:
  // Waits (at most timeoutMs) for the broker processId to connect; process (when given) ending ends it.
  // With processId 0, any process running the program imagePath may connect.
  ::testing::AssertionResult Accept(DWORD processId, HANDLE process = nullptr, DWORD timeoutMs = 20000,
                                    const std::wstring& imagePath = std::wstring()) {
    DWORD error = controls::CreateBrokerPipeInstance(controls::kBrokerPipeBufferBytes, &pipe_);
    if (error) return ::testing::AssertionFailure() << "instance: " << error;
    controls::BrokerIdentity broker;
    broker.processId = processId;
    broker.process = process;
    broker.imagePath = imagePath;
    error = controls::WaitForBroker(pipe_.get(), broker, timeoutMs, nullptr, &client_);
    if (error) return ::testing::AssertionFailure() << "the broker did not connect: " << error;
    return ::testing::AssertionSuccess();
  }
  // The whole exchange of the library: 0 with the reply's number, or the failing step's error.
  DWORD Exchange(const std::wstring& line, DWORD* result) {
    return controls::ExchangeBrokerCommand(pipe_.get(), client_, line, result, nullptr);
  }
  // One message of raw bytes. 0 or the error.
  DWORD Write(const std::string& bytes, DWORD timeoutMs = 20000) {
    DWORD done = 0;
    return Io(true, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), timeoutMs, &done);
  }
  // One message (at most 64 KiB). 0 with *message, or the error (ERROR_TIMEOUT after timeoutMs).
  DWORD Read(std::string* message, DWORD timeoutMs = 20000) {
    message->assign(65536, '\0');
    DWORD done = 0;
    const DWORD error = Io(false, &(*message)[0], static_cast<DWORD>(message->size()), timeoutMs, &done);
    message->resize(error ? 0 : done);
    return error;
  }
  DWORD Client() const { return client_; }
  void Close() { pipe_.reset(); }

 private:
  DWORD Io(bool write, char* buffer, DWORD size, DWORD timeoutMs, DWORD* done) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    const BOOL started = write ? WriteFile(pipe_.get(), buffer, size, nullptr, &overlapped)
                               : ReadFile(pipe_.get(), buffer, size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    const bool timedOut = WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0;
    if (timedOut) CancelIoEx(pipe_.get(), &overlapped);
    if (GetOverlappedResult(pipe_.get(), &overlapped, done, TRUE)) return 0;
    return timedOut ? ERROR_TIMEOUT : GetLastError();
  }

  UniqueFile pipe_;
  DWORD client_ = 0;
};

// The length field for a claimed size.
inline std::string LengthField(uint32_t bytes) {
  std::string field;
  for (int shift = 0; shift < 32; shift += 8) field += static_cast<char>((bytes >> shift) & 0xFF);
  return field;
}

// The reply bytes for result.
inline std::string ReplyOf(const char* digits) { return std::string(digits) + '\0'; }

}  // namespace kesi::test
