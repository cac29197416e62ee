#pragma once
// A share that "\\127.0.0.1\NAME" reaches with no network at all: Wine maps a UNC path to the folder
// dosdevices\unc\HOST\SHARE of its prefix. A check that opened such a path would find the files put
// here, so a test tells "refused without looking" from "looked and found nothing". Outside Wine there is
// no such folder: Available() is false.
#include <windows.h>

#include <string>

#include "TestFiles.h"

namespace kesi::test {

class LoopbackShare {
 public:
  // The share's name is name with this process's id, so that parallel tests do not meet.
  explicit LoopbackShare(const std::wstring& name) : name_(name + L"-" + std::to_wstring(GetCurrentProcessId())) {
    wchar_t prefix[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || prefix[0] != L'/') return;
    std::wstring unc = L"Z:" + std::wstring(prefix) + L"/dosdevices/unc";
    for (wchar_t& c : unc)
      if (c == L'/') c = L'\\';
    CreateDirectoryW(unc.c_str(), nullptr);
    host_ = unc + L"\\127.0.0.1";
    CreateDirectoryW(host_.c_str(), nullptr);
    folder_ = host_ + L"\\" + name_;
    if (!CreateDirectoryW(folder_.c_str(), nullptr)) folder_.clear();
  }
  ~LoopbackShare() {
    if (folder_.empty()) return;
    RemoveTree(folder_);
    RemoveDirectoryW(host_.c_str());  // only when no other test's share is left in it
  }
  LoopbackShare(const LoopbackShare&) = delete;
  LoopbackShare& operator=(const LoopbackShare&) = delete;

  bool Available() const { return !folder_.empty(); }
  // "\\127.0.0.1\NAME"
  std::wstring Unc() const { return L"\\\\127.0.0.1\\" + name_; }
  const std::wstring& Name() const { return name_; }
  // The same folder by its local path.
  const std::wstring& Folder() const { return folder_; }

 private:
  std::wstring name_;
  std::wstring host_;
  std::wstring folder_;
};

}  // namespace kesi::test
