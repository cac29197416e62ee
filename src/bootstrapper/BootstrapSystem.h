#pragma once
// What the bootstrapper asks of the system that a test must vary; the defaults are the real calls. Tests
// replace entries with SetBootstrapSystem and put the previous table back.
#include <windows.h>

#include <memory>
#include <string>

namespace kesi {
class LogFile;
}

namespace kesi::bootstrap {

// The browser page that started the program (the download page): its cookies, and where it goes next.
class BrowserPage {
 public:
  virtual ~BrowserPage() = default;
  virtual HRESULT GetCookie(std::wstring* cookie) = 0;
  virtual HRESULT PutCookie(const wchar_t* cookie) = 0;
  virtual HRESULT Navigate(const wchar_t* url) = 0;
};

// The page paths that identify the starting browser window.
constexpr wchar_t kInterrogatorPagePath[] = L"/postauth/__EPCinterrogatorpage";
constexpr wchar_t kVersionDifferencePagePath[] = L"/postauth/__EPCversiondifference";

struct BootstrapSystem {
  // Finds the open browser window whose URL holds one of the two page paths and its document, logging
  // the search to log. S_OK with *page; S_FALSE when there is no such window (or no window list at all:
  // Wine's shell window list answers E_NOTIMPL); another failure when the window list cannot be made.
  HRESULT (*locateBrowser)(LogFile* log, std::unique_ptr<BrowserPage>* page);
  // Asks the user (MessageBoxW's contract); message boxes block a caller without a desktop.
  int(WINAPI* prompt)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
  // Stops the running brokers of this session and user before an upgrade, and waits until they have
  // exited. 0, or the error that left one running.
  DWORD (*stopBroker)(LogFile* log);
  // The full path of the take-ownership program ("<System32>\takeown.exe"); empty when unknown.
  std::wstring (*takeOwnershipProgram)();
  // The system's major and minor version (GetVersionExW). False when it cannot be read.
  bool (*systemVersion)(DWORD* major, DWORD* minor);
  // How long the take-ownership program may run, in milliseconds.
  DWORD takeOwnershipWaitMs;
};

BootstrapSystem& CurrentBootstrapSystem();
// Installs system and returns the previous table.
BootstrapSystem SetBootstrapSystem(const BootstrapSystem& system);
BootstrapSystem DefaultBootstrapSystem();

// The default of locateBrowser: the shell's window list, IWebBrowser2 and IHTMLDocument2.
HRESULT LocateShellBrowser(LogFile* log, std::unique_ptr<BrowserPage>* page);
// The default of stopBroker: "<application data>\Velmora\kesi\kesivista.exe Kill", bounded, then the
// termination of the brokers of this session and user that are left, waiting until they have exited.
DWORD StopRunningBrokers(LogFile* log);

// Bounds of the broker stop.
constexpr DWORD kBrokerKillWaitMs = 30000;  // for "kesivista.exe Kill" to finish
constexpr DWORD kBrokerExitWaitMs = 10000;  // for terminated brokers to be gone
constexpr DWORD kTakeOwnershipWaitMs = 300000;

}  // namespace kesi::bootstrap
