#pragma once
// Files and folders for the Windows test programs: this build's fixtures, a test's own temporary folder
// or file, the removal of a folder tree, and writing and probing files.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Handles.h"
#include "TestText.h"

namespace kesi::test {

// The build folder that holds tests/ (the test programs sit in build/tests/SUBSYSTEM/), with its final
// backslash.
inline std::wstring BuildTestsFolder() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe);
  path.erase(path.find_last_of(L'\\'));
  path.erase(path.find_last_of(L'\\') + 1);
  return path;
}

// A file of this build's test fixtures: tests/fixtures/<relative>, as a full path.
inline std::wstring FixturePath(const std::wstring& relative) {
  return BuildTestsFolder() + L"fixtures\\" + relative;
}

// The sleeper fixture: a windowed program that waits until it is ended.
inline std::wstring SleeperPath() { return FixturePath(L"sleeper\\kesisleeper.exe"); }

// Removes a folder and everything under it (read-only files too); a missing folder is no error.
inline void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search.get(), &found));
  }
  RemoveDirectoryW(folder.c_str());
}

// The bytes of a file, read through a handle that shares everything with its writer (a log may still
// have it open); empty when the file cannot be opened.
inline std::string ReadWholeFile(const std::wstring& path) {
  std::string data;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return data;
  char block[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got) data.append(block, got);
  return data;
}

// Creates or replaces the file at path with bytes; the failure names the path and the error.
inline ::testing::AssertionResult WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return ::testing::AssertionFailure() << Narrow(path) << ": cannot create, error " << GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    return ::testing::AssertionFailure() << Narrow(path) << ": cannot write, error " << GetLastError();
  if (written != bytes.size())
    return ::testing::AssertionFailure() << Narrow(path) << ": " << written << " of " << bytes.size() << " bytes written";
  return ::testing::AssertionSuccess();
}

inline bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The running test's name (without its suite), for naming what the test creates.
inline std::wstring CurrentTestName() {
  const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return std::wstring(name, name + strlen(name));
}

// A fresh folder "kesi-NAME-PID" in the temporary folder, removed with everything in it by the destructor.
class TempFolder {
 public:
  explicit TempFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"kesi-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(path_);
    created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
  }
  ~TempFolder() { RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool Created() const { return created_; }
  const std::wstring& Path() const { return path_; }
  // PATH\name
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
  bool created_ = false;
};

// A file in the temporary folder holding the given bytes, deleted by the destructor.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"kpt", 0, path_);
    UniqueFile file(CreateFileW(path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty())
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  ~TempFile() { DeleteFileW(path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const wchar_t* Path() const { return path_; }

 private:
  wchar_t path_[MAX_PATH] = {};
};

}  // namespace kesi::test
