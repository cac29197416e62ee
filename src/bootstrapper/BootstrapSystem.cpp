#include "BootstrapSystem.h"

#include <exdisp.h>
#include <mshtml.h>
#include <shlobj.h>

#include <vector>

#include "BrokerPipe.h"
#include "Handles.h"
#include "LastError.h"
#include "LogFile.h"
#include "ProcessList.h"

namespace kesi::bootstrap {
namespace {


std::wstring SystemTakeOwnershipProgram() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + L"\\takeown.exe";
}

bool SystemVersion(DWORD* major, DWORD* minor) {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  return true;
}

BootstrapSystem& Table() {
  static BootstrapSystem table = DefaultBootstrapSystem();
  return table;
}

// The page of a shell browser window.
class ShellBrowserPage final : public BrowserPage {
 public:
  ShellBrowserPage(ComPtr<IWebBrowser2> browser, ComPtr<IHTMLDocument2> document)
      : browser_(std::move(browser)), document_(std::move(document)) {}

  HRESULT GetCookie(std::wstring* cookie) override {
    UniqueBstr text;
    const HRESULT hr = document_->get_cookie(text.put());
    if (FAILED(hr)) return hr;
    cookie->assign(text.get() ? text.get() : L"");
    return S_OK;
  }
  HRESULT PutCookie(const wchar_t* cookie) override {
    UniqueBstr text(SysAllocString(cookie));
    if (!text) return E_OUTOFMEMORY;
    return document_->put_cookie(text.get());
  }
  HRESULT Navigate(const wchar_t* url) override {
    UniqueBstr target(SysAllocString(url));
    if (!target) return E_OUTOFMEMORY;
    VARIANT empty;
    VariantInit(&empty);
    return browser_->Navigate(target.get(), &empty, &empty, &empty, &empty);
  }

 private:
  ComPtr<IWebBrowser2> browser_;
  ComPtr<IHTMLDocument2> document_;
};

}  // namespace

BootstrapSystem& CurrentBootstrapSystem() { return Table(); }

BootstrapSystem SetBootstrapSystem(const BootstrapSystem& system) {
  BootstrapSystem previous = Table();
  Table() = system;
  return previous;
}

BootstrapSystem DefaultBootstrapSystem() {
  BootstrapSystem system;
  system.locateBrowser = LocateShellBrowser;
  system.prompt = MessageBoxW;
  system.stopBroker = StopRunningBrokers;
  system.takeOwnershipProgram = SystemTakeOwnershipProgram;
  system.systemVersion = SystemVersion;
  system.takeOwnershipWaitMs = kTakeOwnershipWaitMs;
  return system;
}

HRESULT LocateShellBrowser(LogFile* log, std::unique_ptr<BrowserPage>* page) {
  ComPtr<IShellWindows> windows;
  HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
  if (FAILED(hr)) {
    LogError(log, L"Installation failed. Error creating SHDocVw. Error code: 0x%08x", static_cast<unsigned>(hr));
    return hr;
  }
  long count = 0;
  if (FAILED(windows->get_Count(&count))) count = 0;  // Wine has no window list: no browser
  for (long i = 0; i < count; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = i;
    ComPtr<IDispatch> item;
    if (FAILED(windows->Item(index, item.put())) || !item) continue;
    ComPtr<IWebBrowser2> browser;
    if (FAILED(item->QueryInterface(IID_IWebBrowser2, browser.put_void()))) continue;
    UniqueBstr url;
    if (FAILED(browser->get_LocationURL(url.put())) || !url) continue;
    LogInfo(log, L"locateBrowser: Current Url: %s", url.get());
    if (!wcsstr(url.get(), kInterrogatorPagePath) && !wcsstr(url.get(), kVersionDifferencePagePath)) {
      LogInfo(log, L"locateBrowser: Not msi Url, looking at next");
      continue;
    }
    LogInfo(log, L"locateBrowser: found the msi Url");
    LogInfo(log, L"locateBrowser: get_Document");
    ComPtr<IDispatch> document;
    if (FAILED(browser->get_Document(document.put())) || !document) {
      LogError(log, L"locateBrowser: get_Document failed");
      continue;
    }
    LogInfo(log, L"locateBrowser: IDispatch OK, doc object retreived");
    ComPtr<IHTMLDocument2> html;
    if (FAILED(document->QueryInterface(IID_IHTMLDocument2, html.put_void()))) {
      LogError(log, L"locateBrowser: Query interface failed, IHTMLDocument2 interface not available");
      continue;
    }
    LogInfo(log, L"locateBrowser: query interface succeded, doc interface retreived");
    page->reset(new (std::nothrow) ShellBrowserPage(browser, html));
    return *page ? S_OK : E_OUTOFMEMORY;
  }
  return S_FALSE;
}

DWORD StopRunningBrokers(LogFile* log) {
  // The broker's own stop sequence first, so that it ends its work orderly.
  std::wstring program;
  if (controls::BrokerProgramPath(&program) == 0) {
    if (GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES) {
      std::wstring line = L"\"" + program + L"\" Kill";
      STARTUPINFOW startup = {};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION info = {};
      if (CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                         &startup, &info)) {
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        if (WaitForSingleObject(process.get(), kBrokerKillWaitMs) != WAIT_OBJECT_0)
          TerminateProcess(process.get(), ERROR_TIMEOUT);
      }
    }
  }
  // Whatever is left of this session's and user's brokers is ended; the install starts only once they
  // are gone, since files still in use would only be replaced at the next restart.
  std::vector<DWORD> ids;
  if (DWORD error = FindOwnSessionProcesses(controls::kBrokerProgramName, &ids)) return error;
  std::vector<UniqueHandle> waits;
  DWORD result = 0;
  for (DWORD id : ids) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process) {
      if (GetLastError() == ERROR_INVALID_PARAMETER) continue;  // already gone
      result = LastErrorOr(ERROR_ACCESS_DENIED);
      LogError(log, L"Couldn't open process kesivista.exe for termination");
      continue;
    }
    if (!TerminateProcess(process.get(), 0) && WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
      result = LastErrorOr(ERROR_ACCESS_DENIED);
      LogError(log, L"Error terminating kesivista.exe");
      continue;
    }
    waits.push_back(std::move(process));
  }
  if (DWORD waited = WaitForProcessesExit(waits, kBrokerExitWaitMs)) {
    LogError(log, L"Error terminating kesivista.exe");
    return waited;
  }
  return result;
}

}  // namespace kesi::bootstrap
