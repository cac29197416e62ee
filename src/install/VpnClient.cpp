// The VPN client package: its decision from the install configuration file, the direct msiexec run, the
// hand-off to the client's update service with the progress window, and whether it is installed.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <new>
#include <string>
#include <vector>

#include "GlobalFacts.h"
#include "Handles.h"
#include "InstallSystem.h"
#include "LastError.h"
#include "LogFile.h"
#include "Msi.h"
#include "MsiInternal.h"
#include "MsiLibrary.h"
#include "MsiRules.h"
#include "messages.h"

namespace kesi::install {
namespace {

constexpr wchar_t kSettings[] = L"InstallSettings";
constexpr wchar_t kDefaultProductCode[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";
constexpr wchar_t kDefaultProductVersion[] = L"90.90.900";
constexpr wchar_t kStartEvent[] = L"Global\\tqvpnmgr.software.install.start";
constexpr wchar_t kOlderStartEvent[] = L"TQVPNMGR_SOFTWAREUPDATE";
constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\TQVpnSUPPipe";
constexpr wchar_t kCompletionEvent[] = L"Global\\connect.tunnel.install.complete";
constexpr wchar_t kConnectoid[] = L"Connectoid 1";

int WINAPI DefaultPrompt(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  return MessageBoxW(owner, text, caption, type);
}

bool DefaultIsSupportedSystem() { return IsWindows2000OrLater(); }

// A value of the configuration file; def when the file is not given or has no such value.
std::wstring ReadSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key, const wchar_t* def) {
  if (!file || !*file) return def;
  std::vector<wchar_t> buffer(256);
  for (;;) {
    const DWORD length = GetPrivateProfileStringW(section, key, def, buffer.data(), static_cast<DWORD>(buffer.size()), file);
    if (length + 1 < buffer.size()) return std::wstring(buffer.data(), length);
    if (buffer.size() >= 65536) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 4);
  }
}

bool HasSection(const wchar_t* file, const wchar_t* section) {
  wchar_t probe[8];
  return GetPrivateProfileSectionW(section, probe, 8, file) > 0;
}

// The installed product's "VersionString"; false when it cannot be read (not installed).
bool ReadInstalledVersion(const wchar_t* productCode, std::wstring* version) {
  const MsiLibrary* msi = BindMsiLibrary();
  if (!msi) return false;
  wchar_t text[64];
  DWORD size = 64;
  if (msi->getProductInfo(productCode, INSTALLPROPERTY_VERSIONSTRING, text, &size) != ERROR_SUCCESS) return false;
  version->assign(text, size);
  return true;
}

std::wstring SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  UniqueLocal owner(text);
  return length ? std::wstring(text, length) : std::wstring();
}

// The interactive user's application-data folder, as the update service is told.
DWORD ReadUserAppData(std::wstring* folder) {
  wchar_t path[MAX_PATH] = {};
  const HRESULT hr = GlobalFactSystem().getFolderPath(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : ERROR_PATH_NOT_FOUND;
  *folder = path;
  return 0;
}

// ---- The progress window --------------------------------------------------------------------------

class ProgressWindow {
 public:
  ProgressWindow() = default;
  ~ProgressWindow() {
    if (window_) DestroyWindow(window_);
  }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Without a window the hand-off goes on unseen.
  void Open() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    RECT work = {0, 0, 800, 600};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int workWidth = work.right - work.left, workHeight = work.bottom - work.top;
    const int width = workWidth / 3, height = workHeight / 6;
    window_ = CreateWindowExW(0, WC_STATICW, L"Velmora Connect", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE,
                              work.left + (workWidth - width) / 2, work.top + (workHeight - height) / 2, width,
                              height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!window_) return;
    RECT client = {};
    GetClientRect(window_, &client);
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 10, client.bottom - 25 - 20,
                           client.right - 20, 20, window_, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!bar_) return;
    SendMessageW(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, 50));
    SendMessageW(bar_, PBM_SETSTEP, 1, 0);
  }

  void Step() {
    if (bar_) SendMessageW(bar_, PBM_STEPIT, 0, 0);
    MSG message;
    while (window_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

 private:
  HWND window_ = nullptr;
  HWND bar_ = nullptr;
};

// ---- The update service ---------------------------------------------------------------------------

struct ServiceLink {
  UniqueHandle startEvent;
  UniqueFile pipe;
};

// The service's start event (the older one too when olderEvent), else its pipe. False when none answers.
bool OpenUpdateService(bool olderEvent, const MsiSystem& system, ServiceLink* link) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStartEvent);
  if (!event && olderEvent) event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kOlderStartEvent);
  if (event) {
    link->startEvent.reset(event);
    return true;
  }
  if (!WaitNamedPipeW(kServicePipe, system.pipeWaitMs)) return false;
  link->pipe.reset(CreateFileW(kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
  return static_cast<bool>(link->pipe);
}

// The completion event, created not signalled; one left signalled by an earlier install is reset, so that
// only this install's completion ends the wait.
DWORD OpenCompletionEvent(UniqueHandle* event) {
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, kCompletionEvent);
  bool existed = created && GetLastError() == ERROR_ALREADY_EXISTS;
  if (!created) {
    created = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kCompletionEvent);
    if (!created) return LastErrorOr(ERROR_INVALID_HANDLE);
    existed = true;
  }
  event->reset(created);
  if (existed && !ResetEvent(created)) return LastErrorOr(ERROR_INVALID_HANDLE);
  return 0;
}

// One overlapped transfer on the pipe, waited for at most waitMs (then cancelled: 1460).
DWORD PipeTransfer(HANDLE pipe, bool write, void* bytes, DWORD size, DWORD waitMs) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return LastErrorOr(ERROR_OUTOFMEMORY);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = done.get();
  DWORD moved = 0;
  const BOOL finished = write ? WriteFile(pipe, bytes, size, &moved, &overlapped)
                              : ReadFile(pipe, bytes, size, &moved, &overlapped);
  if (!finished) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    if (WaitForSingleObject(done.get(), waitMs) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &overlapped, &moved, TRUE);  // the buffer is in use until then
      return ERROR_TIMEOUT;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &moved, FALSE)) return LastErrorOr(ERROR_GEN_FAILURE);
  }
  return 0;
}

// The 524-byte request with the user's folder; the reply is read (bounded) and ignored.
DWORD SendServiceRequest(HANDLE pipe, const MsiSystem& system) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  std::wstring folder;
  if (DWORD error = ReadUserAppData(&folder)) return error;
  UpdateServiceMessage request;
  if (!BuildUpdateServiceRequest(folder.c_str(), &request)) return ERROR_FILENAME_EXCED_RANGE;
  if (DWORD error = PipeTransfer(pipe, true, request.data(), static_cast<DWORD>(request.size()), system.pipeReplyMs))
    return error;
  UpdateServiceMessage reply;
  PipeTransfer(pipe, false, reply.data(), static_cast<DWORD>(reply.size()), system.pipeReplyMs);
  return 0;
}

// Signals the start event, or sends the request over the pipe; the link is closed afterwards.
DWORD TriggerService(ServiceLink* link, const MsiSystem& system) {
  DWORD error = 0;
  if (link->startEvent) {
    if (!SetEvent(link->startEvent.get())) error = LastErrorOr(ERROR_INVALID_HANDLE);
    link->startEvent.reset();
  } else {
    error = SendServiceRequest(link->pipe.get(), system);
    link->pipe.reset();
  }
  return error;
}

// Waits for completion in slices of the progress bar's step, at most serviceWaitMs: 0, 1460 or the wait's
// error.
DWORD WaitWithProgress(HANDLE completion, ProgressWindow* progress, const MsiSystem& system) {
  const DWORD start = GetTickCount();
  for (;;) {
    progress->Step();
    const DWORD waited = WaitForSingleObject(completion, system.progressSliceMs);
    if (waited == WAIT_OBJECT_0) return 0;
    if (waited != WAIT_TIMEOUT) return LastErrorOr(ERROR_INVALID_HANDLE);
    if (GetTickCount() - start >= system.serviceWaitMs) return ERROR_TIMEOUT;
  }
}

DWORD WaitBounded(HANDLE completion, DWORD waitMs) {
  const DWORD waited = WaitForSingleObject(completion, waitMs);
  if (waited == WAIT_OBJECT_0) return 0;
  return waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastErrorOr(ERROR_INVALID_HANDLE);
}

DWORD InstallThroughService(ServiceLink* link, bool vista, const MsiSystem& system, LogFile* log) {
  ProgressWindow progress;
  if (vista) {
    progress.Open();
    progress.Step();
    progress.Step();
  }
  UniqueHandle completion;
  if (DWORD error = OpenCompletionEvent(&completion)) {
    LogError(log, L"DoMsiInstall: install completion event not available, error %d", error);
    return error;
  }
  if (DWORD error = TriggerService(link, system)) {
    LogError(log, L"DoMsiInstall: update service request failed, error %d", error);
    return error;
  }
  DWORD result;
  if (vista) {
    result = WaitWithProgress(completion.get(), &progress, system);
  } else {
    Sleep(system.serviceStartDelayMs);
    result = WaitBounded(completion.get(), system.serviceWaitPreVistaMs);
    if (result == 0) Sleep(system.serviceSettleMs);
  }
  if (result == ERROR_TIMEOUT) LogError(log, L"DoMsiInstall: the update service did not complete the install in time");
  return result;
}

DWORD MsiexecOutcome(DWORD started, DWORD exitCode, const wchar_t* who, LogFile* log) {
  if (started) {
    LogError(log, L"%s: msiexec could not be started, error %d", who, started);
    return started;
  }
  if (exitCode == 0) return 0;
  LogInfo(log, L"%s: %s", who, MsiResultText(exitCode).c_str());
  return exitCode;
}

DWORD InstallDirectly(const wchar_t* packagePath, const wchar_t* configFile, bool upgrade,
                      const wchar_t* extraArguments, bool vista, LogFile* log) {
  const std::wstring levelText =
      ReadSetting(configFile, kSettings, upgrade ? L"UILevelUpdate" : L"UILevel", L"FULL");
  const MsiUiChoice ui = ChooseMsiUi(levelText.c_str(), upgrade, vista);
  const std::wstring line = VpnClientCommandLine(packagePath, ui.switchText, extraArguments, nullptr, upgrade, configFile);
  DWORD exitCode = 0;
  const DWORD started = RunMsiexec(line, &exitCode);
  const DWORD result = MsiexecOutcome(started, exitCode, L"DoMsiInstall", log);
  // 3010 and 1641: the product is in place; no restart is started from here.
  return IsMsiSuccess(result) ? 0 : result;
}

DWORD DoMsiInstallChecked(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* extraArguments,
                          LogFile* log) {
  const MsiSystem system = CurrentMsiSystem();
  if (!system.isSupportedSystem()) return ERROR_NOT_SUPPORTED;
  const bool vista = system.isVistaOrLater();
  const bool administrator = system.isAdministrator();
  ServiceLink link;
  bool throughService = false;
  if (!administrator) {
    throughService = OpenUpdateService(true, system, &link);
    if (!throughService && !vista) return ERROR_INSTALL_PACKAGE_REJECTED;
  } else if (vista) {
    throughService = OpenUpdateService(false, system, &link);
  }

  const int decision = DecideVpnClientInstall(configFile);
  if (decision == kVpnInstalledNewer) {
    const std::wstring text = SystemMessage(ERROR_PRODUCT_VERSION);
    system.prompt(nullptr, text.c_str(), nullptr, MB_OK | MB_ICONERROR);
    return 0;
  }
  const bool upgrade = decision == kVpnUpgrade || decision == kVpnCurrent;
  if (!throughService) return InstallDirectly(packagePath, configFile, upgrade, extraArguments, vista, log);
  return InstallThroughService(&link, vista, system, log);
}

// The phone book's entry matches the file's server: installed stays 1 only then.
bool PhoneBookMatches(const wchar_t* configFile) {
  wchar_t common[MAX_PATH] = {};
  if (FAILED(GlobalFactSystem().getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
    return false;
  std::wstring folder = common;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  folder += L"Microsoft\\Network\\Connections\\Pbk\\";
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  const std::wstring phoneBook = folder + L"rasphone.pbk";
  if (GetFileAttributesW(phoneBook.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const std::wstring name = ReadSetting(configFile, kConnectoid, L"ConnectionName", L"");
  const std::wstring server = ReadSetting(configFile, kConnectoid, L"VpnServer", L"");
  const std::wstring number = ReadSetting(phoneBook.c_str(), name.c_str(), L"PhoneNumber", L"");
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, number.c_str(), -1, server.c_str(), -1) == CSTR_EQUAL;
}

}  // namespace

// ---- The seam -------------------------------------------------------------------------------------

MsiSystem DefaultMsiSystem() {
  return MsiSystem{&DefaultIsSupportedSystem, &IsVistaOrLater, &IsAdministrator, &DefaultPrompt,
                   kUpdateServiceWaitMs, kUpdateServiceWaitPreVistaMs, 5000, 3000, kUpdatePipeWaitMs,
                   kUpdatePipeReplyMs, 500};
}

MsiSystem& CurrentMsiSystem() {
  static MsiSystem system = DefaultMsiSystem();
  return system;
}

MsiSystem SetMsiSystem(const MsiSystem& system) {
  const MsiSystem previous = CurrentMsiSystem();
  CurrentMsiSystem() = system;
  return previous;
}

// ---- The decision and the exports ------------------------------------------------------------------

int DecideVpnClientInstall(const wchar_t* configFile) {
  try {
    const std::wstring productCode = ReadSetting(configFile, kSettings, L"ProductCode", kDefaultProductCode);
    std::wstring installed;
    if (!ReadInstalledVersion(productCode.c_str(), &installed)) return kVpnNotInstalled;
    const std::wstring offered = ReadSetting(configFile, kSettings, L"ProductVersion", kDefaultProductVersion);
    return DecideVpnClient(installed.c_str(), offered.c_str());
  } catch (const std::bad_alloc&) {
    return kVpnNotInstalled;
  }
}

DWORD DoMsiInstallWithLog(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t* extraArguments,
                          LogFile* log) {
  try {
    return DoMsiInstallChecked(packagePath ? packagePath : L"", configFile, extraArguments, log);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD DoMsiInstall(const wchar_t* packagePath, const wchar_t* configFile, const wchar_t*,
                   const wchar_t* extraArguments) {
  return DoMsiInstallWithLog(packagePath, configFile, extraArguments, nullptr);
}

DWORD DoMsiCfgInstall(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }

DWORD IsMsiComponentInstalled(const wchar_t* configFile, DWORD* installed, LogFile* log) {
  if (!configFile || !*configFile || !installed) return ERROR_INVALID_PARAMETER;
  try {
    switch (DecideVpnClientInstall(configFile)) {
      case kVpnUpgrade:
        LogMsgInfo(log, MSG_MSI_UPGRADE_NEEDED);
        *installed = 0;
        break;
      case kVpnInstalledNewer:
        LogMsgInfo(log, MSG_MSI_NEWER);
        *installed = 1;
        break;
      case kVpnCurrent:
        LogMsgInfo(log, MSG_MSI_CURRENT);
        *installed = 1;
        break;
      default:
        LogMsgInfo(log, MSG_MSI_NOT_INSTALLED);
        *installed = 0;
        break;
    }
    if (*installed && HasSection(configFile, kConnectoid)) *installed = PhoneBookMatches(configFile) ? 1 : 0;
    return 0;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD IsMsiComponentInstalled(const wchar_t* configFile, DWORD* installed) {
  return IsMsiComponentInstalled(configFile, installed, nullptr);
}

DWORD IsMsiComponentCfgInstalled(const wchar_t* configFile, DWORD* installed) {
  if (installed) *installed = 0;
  if (!configFile || !*configFile) return ERROR_INVALID_PARAMETER;
  const DWORD result = IsMsiComponentInstalled(configFile, installed);
  // The file's sections are read as well; the answer stays that of the check above.
  std::vector<wchar_t> names(4096);
  GetPrivateProfileSectionNamesW(names.data(), static_cast<DWORD>(names.size()), configFile);
  return result;
}

// ---- The provisioner's VPN client install ------------------------------------------------------------

DWORD InstallVpnClientAgent(const wchar_t* packagePath, bool wasInstalled, const wchar_t* logPath, LogFile* log) {
  if (!packagePath || !*packagePath) return ERROR_INVALID_PARAMETER;
  try {
    const MsiSystem system = CurrentMsiSystem();
    const std::wstring source = packagePath;
    const size_t slash = source.find_last_of(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : source.substr(0, slash);
    const std::wstring target = (folder.empty() ? std::wstring() : folder + L"\\") + L"tqvpn.msi";
    if (lstrcmpiW(source.c_str(), target.c_str()) != 0) {
      if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES && !DeleteFileW(target.c_str()))
        LogInfo(log, L"InstallNg: removal of %s failed rc = %d", target.c_str(), static_cast<int>(GetLastError()));
      LogInfo(log, L"InstallNg: rename: %s to: %s", source.c_str(), target.c_str());
      if (!MoveFileW(source.c_str(), target.c_str())) {
        const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
        LogInfo(log, L"InstallNg: rename failed. ");
        return error;
      }
    }

    if (wasInstalled && system.isVistaOrLater()) {
      const size_t parentEnd = folder.find_last_of(L'\\');
      const std::wstring copy =
          (parentEnd == std::wstring::npos ? std::wstring() : folder.substr(0, parentEnd + 1)) + L"tqvpn.msi";
      LogInfo(log, L"InstallNg: copy %s to %s", target.c_str(), copy.c_str());
      if (!CopyFileW(target.c_str(), copy.c_str(), FALSE)) {
        LogInfo(log, L"InstallNg: MSI file copy failed");
        return ERROR_INVALID_COMMAND_LINE;
      }
      LogInfo(log, L"InstallNg: MSI file copied");
      ServiceLink link;
      if (!OpenUpdateService(false, system, &link)) {
        LogInfo(log, L"DoMsiInstall: upgrade event open failed");
        return ERROR_INSTALL_PACKAGE_REJECTED;
      }
      UniqueHandle completion;
      if (DWORD error = OpenCompletionEvent(&completion)) return error;
      LogInfo(log, L"DoMsiInstall: install completion event opened");
      if (DWORD error = TriggerService(&link, system)) return error;
      LogInfo(log, L"DoMsiInstall: upgrade event tripped");
      Sleep(system.serviceStartDelayMs);
      const DWORD result = WaitBounded(completion.get(), system.serviceWaitMs);
      if (result == 0) LogInfo(log, L"DoMsiInstall: install complete event complete");
      return result;
    }

    DWORD exitCode = 0;
    const DWORD started = RunMsiexec(VpnAgentCommandLine(target.c_str(), logPath, wasInstalled), &exitCode);
    return started ? started : exitCode;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace kesi::install
