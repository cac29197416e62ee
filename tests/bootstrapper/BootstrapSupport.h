#pragma once
// What the bootstrapper's cases share: the user's folders the bootstrapper reads, its (ciphered) init log,
// the client package stand-ins and their product, and doubles of the browser page.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "BootstrapSystem.h"
#include "LogFolder.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestMsi.h"
#include "UacPolicyScope.h"

namespace kesi::bootstrap::test {

using namespace kesi::test;

constexpr wchar_t kPackageProduct[] = L"{7C3E2B1A-5D4F-4E6A-9B8C-1A2B3C4D5E61}";

inline std::wstring AppData() {
  wchar_t folder[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  return folder;
}

inline std::wstring VelmoraFolder() { return AppData() + L"\\Velmora"; }

inline std::wstring InitLogPath() {
  wchar_t path[MAX_PATH] = {};
  GetInitLogPath(path);
  return path;
}

// The plaintext of a ciphered log; empty when there is none.
inline std::string DecipheredLog(const std::wstring& path) {
  std::string plain;
  for (std::string line : Lines(ReadWholeFile(path))) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string text;
    plain += DecipherText(line, &text) ? text : line + "\n";
  }
  return plain;
}

// The plaintext of the bootstrapper's init log; empty when there is none.
inline std::string InitLog() { return DecipheredLog(InitLogPath()); }

// A package stand-in of this build: "kesi-signed.msi" or "kesi-unsigned.msi".
inline std::wstring PackagePath(const wchar_t* name) { return BuildTestsFolder() + L"bootstrapper\\packages\\" + name; }

inline bool ProductInstalled() { return IsProductInstalled(kPackageProduct); }
inline void RemoveProduct() { RemoveProductIfInstalled(kPackageProduct); }

// The browser page double: the cookie text it gives, and the cookies and navigations it received.
struct PageRecord {
  std::wstring cookie;
  bool located = false;
  std::vector<std::wstring> puts;
  std::vector<std::wstring> navigations;
};

inline PageRecord& Page() {
  static PageRecord record;
  return record;
}

class PageDouble final : public BrowserPage {
 public:
  HRESULT GetCookie(std::wstring* cookie) override {
    *cookie = Page().cookie;
    return S_OK;
  }
  HRESULT PutCookie(const wchar_t* cookie) override {
    Page().puts.push_back(cookie);
    return S_OK;
  }
  HRESULT Navigate(const wchar_t* url) override {
    Page().navigations.push_back(url);
    return S_OK;
  }
};

inline HRESULT LocatePageDouble(LogFile*, std::unique_ptr<BrowserPage>* page) {
  Page().located = true;
  page->reset(new PageDouble());
  return S_OK;
}

inline int WINAPI UnexpectedPrompt(HWND, const wchar_t*, const wchar_t*, UINT) {
  ADD_FAILURE() << "unexpected prompt";
  return IDOK;
}

// The system table for one case, put back afterwards; the broker stop does nothing unless a case says so.
class SystemScope {
 public:
  SystemScope() : previous_(CurrentBootstrapSystem()) {
    BootstrapSystem system = DefaultBootstrapSystem();
    system.locateBrowser = LocatePageDouble;
    system.prompt = UnexpectedPrompt;
    system.stopBroker = [](LogFile*) -> DWORD { return 0; };
    system.takeOwnershipProgram = []() { return FixturePath(L"..\\bootstrapper\\takeown\\takeown.exe"); };
    system.systemVersion = [](DWORD* major, DWORD* minor) {
      *major = 6;
      *minor = 1;
      return true;
    };
    SetBootstrapSystem(system);
    Page() = PageRecord();
  }
  ~SystemScope() { SetBootstrapSystem(previous_); }
  SystemScope(const SystemScope&) = delete;
  SystemScope& operator=(const SystemScope&) = delete;

 private:
  BootstrapSystem previous_;
};

}  // namespace kesi::bootstrap::test
