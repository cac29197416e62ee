#include "NetworkStack.h"

#include <shlobj.h>
#include <wchar.h>

#include <new>
#include <string>
#include <vector>

#include "DriverRequest.h"
#include "GroupOrder.h"
#include "Handles.h"
#include "InstallSystem.h"
#include "LastError.h"
#include "LogFile.h"
#include "ModuleVersion.h"
#include "NativeFileSystem.h"

namespace kesi::install {

namespace {

// Message ids of the installer log.
constexpr DWORD kMsgDriverInstalled = 2169;
constexpr DWORD kMsgDriverRemoveFailed = 3008;
constexpr DWORD kMsgDriverUpdateFailed = 3009;
constexpr DWORD kMsgDriverFileDeleteFailed = 3010;
constexpr DWORD kMsgDriverInstallFailed = 4023;
constexpr DWORD kMsgDriverCopyFailed = 4024;
constexpr DWORD kMsgSystemFolderFailed = 4025;

constexpr wchar_t kServiceName[] = L"Lwptdi";
constexpr wchar_t kGroupName[] = L"PNP_TDI";
constexpr wchar_t kControlDevice[] = L"\\\\.\\LWPTDI";
constexpr wchar_t kGroupOrderKey[] = L"System\\CurrentControlSet\\Control\\GroupOrderList";
constexpr wchar_t kDnsService[] = L"Dnscache";
// The native registry view, also for a 32-bit caller (System\CurrentControlSet is shared anyway).
constexpr REGSAM kNativeView = KEY_WOW64_64KEY;

// The calls of a socket provider DLL.
using FolderExport = DWORD(WINAPI*)(const wchar_t* folder);
using PlainExport = DWORD(WINAPI*)();

template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// ---- The driver's system pieces ----------------------------------------------------------------

// The TCP/IP driver's service name on this system.
const wchar_t* TcpipService() { return CurrentNetworkStackSystem().isVistaOrLater() ? L"Tdx" : L"Tcpip"; }

// A DWORD value of the TCP/IP driver's service key: 0 or the registry's error (13 for another type).
DWORD ReadTcpipValue(const wchar_t* name, DWORD* value) {
  const std::wstring path = std::wstring(L"System\\CurrentControlSet\\Services\\") + TcpipService();
  UniqueKey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | kNativeView, key.put());
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  DWORD type = 0, data = 0, size = sizeof data;
  status = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  if (type != REG_DWORD || size != sizeof data) return ERROR_INVALID_DATA;
  *value = data;
  return 0;
}

DWORD TcpipTag() {
  DWORD tag = 0;
  return ReadTcpipValue(L"Tag", &tag) == 0 ? tag : 0;
}

// Reads the "PNP_TDI" list, lets change edit its bytes and writes it back when it changed.
template <typename Change>
DWORD EditGroupOrder(Change change) {
  UniqueKey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE | kNativeView, key.put());
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_NOT_FOUND;
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  std::vector<uint8_t> value;
  for (;;) {
    DWORD type = 0, size = static_cast<DWORD>(value.size());
    status = RegQueryValueExW(key.get(), kGroupName, nullptr, &type, value.empty() ? nullptr : value.data(), &size);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_NOT_FOUND;
    if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && value.empty() && size)) {
      value.resize(size);
      continue;
    }
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    value.resize(size);
    break;
  }
  bool changed = false;
  if (const DWORD error = change(&value, &changed)) return error;
  if (!changed) return 0;
  return static_cast<DWORD>(RegSetValueExW(key.get(), kGroupName, 0, REG_BINARY, value.data(),
                                           static_cast<DWORD>(value.size())));
}

DWORD RemoveDriverTag(DWORD tag) {
  if (tag == 0) return 0;  // no tag, no place in the list
  const DWORD tcpipTag = TcpipTag();
  if (tag == tcpipTag) return 0;
  return EditGroupOrder([&](std::vector<uint8_t>* value, bool* changed) {
    return RemoveGroupTag(value, tag, tcpipTag, changed);
  });
}

// Waits until service reaches state, reading its state every poll slice for at most the wait bound: 0 or
// 258 (or the query's error).
DWORD WaitForServiceState(SC_HANDLE service, DWORD state) {
  const NetworkStackSystem& system = CurrentNetworkStackSystem();
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) return LastErrorOr(ERROR_GEN_FAILURE);
    if (status.dwCurrentState == state) return 0;
    if (GetTickCount64() - start >= system.serviceWaitMs) return WAIT_TIMEOUT;
    Sleep(system.servicePollMs);
  }
}

// Restarts the DNS client when it runs, so that it binds to the stack with the new driver in it.
DWORD RestartDnsClient(SC_HANDLE manager) {
  UniqueService service(OpenServiceW(manager, kDnsService, SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_START));
  if (!service) return LastErrorOr(ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(service.get(), &status)) return LastErrorOr(ERROR_GEN_FAILURE);
  if (status.dwCurrentState != SERVICE_RUNNING) return 0;
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return LastErrorOr(ERROR_GEN_FAILURE);
  if (const DWORD error = WaitForServiceState(service.get(), SERVICE_STOPPED)) return error;
  if (!StartServiceW(service.get(), 0, nullptr)) return LastErrorOr(ERROR_GEN_FAILURE);
  DWORD error = WaitForServiceState(service.get(), SERVICE_RUNNING);
  if (error == WAIT_TIMEOUT) error = WaitForServiceState(service.get(), SERVICE_RUNNING);
  return error;
}

// A service's configuration, in buffer: the configuration or null (the system's error set).
const QUERY_SERVICE_CONFIGW* QueryConfig(SC_HANDLE service, std::vector<BYTE>* buffer) {
  DWORD size = 0;
  QueryServiceConfigW(service, nullptr, 0, &size);
  buffer->assign(size > sizeof(QUERY_SERVICE_CONFIGW) ? size : sizeof(QUERY_SERVICE_CONFIGW), 0);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer->data());
  return QueryServiceConfigW(service, config, static_cast<DWORD>(buffer->size()), &size) ? config : nullptr;
}

// Creates the driver's service (or takes the one already there), gives it its place in the load order,
// starts it and restarts the DNS client. Fails only when the service cannot be had: the load order, the
// start and the restart are judged by whether the control device then opens.
DWORD CreateDriverService(const wchar_t* driverPath) {
  // Without the TCP/IP driver's start type there is none to give; an unset one could mean boot start.
  DWORD startType = 0;
  if (const DWORD error = ReadTcpipValue(L"Start", &startType)) return error;
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return LastErrorOr(ERROR_GEN_FAILURE);
  const bool vista = CurrentNetworkStackSystem().isVistaOrLater();
  const wchar_t* dependencies = vista ? L"Tdx\0" : L"Tcpip\0";
  DWORD tag = 0;
  UniqueService service(CreateServiceW(manager.get(), kServiceName, L"", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       startType, SERVICE_ERROR_NORMAL, driverPath, kGroupName, &tag, dependencies,
                                       nullptr, nullptr));
  if (!service) {
    const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
    if (error != ERROR_SERVICE_EXISTS) return error;
    // Installed before: its tag is the one the system gave it then.
    service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return LastErrorOr(ERROR_GEN_FAILURE);
    std::vector<BYTE> buffer;
    const QUERY_SERVICE_CONFIGW* config = QueryConfig(service.get(), &buffer);
    if (!config) return LastErrorOr(ERROR_GEN_FAILURE);
    tag = config->dwTagId;
  }
  InsertDriverTag(tag);
  StartServiceW(service.get(), 0, nullptr);
  RestartDnsClient(manager.get());
  return 0;
}

// Opens the control device: 0 or the open's error.
DWORD OpenControlDevice(UniqueFile* device) {
  device->reset(CreateFileW(kControlDevice, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr));
  return *device ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
}

// Opens the control device; when it is missing and the caller is an administrator, creates the service
// and opens it again.
DWORD OpenOrCreateDriver(const wchar_t* driverPath) {
  UniqueFile device;
  DWORD error = OpenControlDevice(&device);
  if (error == ERROR_FILE_NOT_FOUND && CurrentNetworkStackSystem().isAdministrator()) {
    error = CreateDriverService(driverPath);
    if (error == 0) error = OpenControlDevice(&device);
  }
  return error;
}

// The service's image path as the service manager holds it.
DWORD ServiceImagePath(std::wstring* path) {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return LastErrorOr(ERROR_GEN_FAILURE);
  UniqueService service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  if (!service) return LastErrorOr(ERROR_GEN_FAILURE);
  std::vector<BYTE> buffer;
  const QUERY_SERVICE_CONFIGW* config = QueryConfig(service.get(), &buffer);
  if (!config) return LastErrorOr(ERROR_GEN_FAILURE);
  *path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  return 0;
}

// Hands the driver the new file through its control device, so that it replaces its own image.
DWORD SendUpdateRequest(const wchar_t* newDriverPath) {
  std::wstring image;
  if (const DWORD error = ServiceImagePath(&image)) return error;
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return length ? ERROR_FILENAME_EXCED_RANGE : LastErrorOr(ERROR_GEN_FAILURE);
  uint8_t request[kDriverUpdateRequestSize];
  if (const uint32_t error = BuildDriverUpdateRequest(newDriverPath, image.c_str(), windows, request)) return error;
  UniqueFile device;
  if (const DWORD error = OpenControlDevice(&device)) return error;
  DWORD returned = 0;
  if (!DeviceIoControl(device.get(), kDriverUpdateControlCode, request, sizeof request, nullptr, 0, &returned,
                       nullptr))
    return LastErrorOr(ERROR_GEN_FAILURE);
  return 0;
}

// The four parts of a file's fixed version; false when it has none.
bool ReadFileVersion(const wchar_t* path, WORD (&parts)[4]) {
  CModuleVersion version;
  if (version.Load(path) != 0) return false;
  return version.GetFileVersion(&parts[0], &parts[1], &parts[2], &parts[3]) != 0;
}

// The driver file below the system folder: 0, the folder query's error, or 206.
DWORD DriverFilePath(std::wstring* path) {
  wchar_t system[MAX_PATH] = {};
  const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  return JoinThreePath(system, L"DRIVERS", L"lwptdi.sys", path);
}

// A deletion whose target is already gone succeeded.
DWORD DeleteIfPresent(const wchar_t* path) {
  if (DeleteFileW(path)) return 0;
  const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

// Stops the driver (when it runs) and deletes its service; a missing service is no failure.
DWORD DeleteDriverService() {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return LastErrorOr(ERROR_GEN_FAILURE);
  UniqueService service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) {
    const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
  }
  std::vector<BYTE> buffer;
  if (const QUERY_SERVICE_CONFIGW* config = QueryConfig(service.get(), &buffer)) RemoveDriverTag(config->dwTagId);
  // A running driver keeps its image file and its service until it stops.
  SERVICE_STATUS status = {};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) WaitForServiceState(service.get(), SERVICE_STOPPED);
  if (!DeleteService(service.get())) {
    const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
    return error == ERROR_SERVICE_MARKED_FOR_DELETE ? 0 : error;
  }
  return 0;
}


}  // namespace

NetworkStackSystem DefaultNetworkStackSystem() {
  return NetworkStackSystem{&IsVistaOrLater, &IsAdministrator, 5000, 50};
}

NetworkStackSystem& CurrentNetworkStackSystem() {
  static NetworkStackSystem system = DefaultNetworkStackSystem();
  return system;
}

NetworkStackSystem SetNetworkStackSystem(const NetworkStackSystem& system) {
  const NetworkStackSystem previous = CurrentNetworkStackSystem();
  CurrentNetworkStackSystem() = system;
  return previous;
}

// ---- Socket providers ----------------------------------------------------------------------------

static DWORD InstallProviderUnguarded(const wchar_t* dllPath, LogFile* /*log*/) {
  if (!dllPath || !*dllPath) return ERROR_INVALID_PARAMETER;
  std::wstring folder;
  if (const uint32_t error = ProviderFolder(dllPath, &folder)) return error;
  // The module is released on every path out.
  UniqueModule module(LoadLibraryExW(dllPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return LastErrorOr(ERROR_MOD_NOT_FOUND);
  const auto dummy = Export<FolderExport>(module.get(), "LWInstallLspDummy");
  const auto chain = Export<FolderExport>(module.get(), "LWInstallLspChain");
  const auto installNsp = Export<FolderExport>(module.get(), "InstallNsp");
  const auto reorderNsp = Export<PlainExport>(module.get(), "ReorderNsp");
  const auto reorderLsp = Export<PlainExport>(module.get(), "LWReorderLsp");
  const auto removeLsp = Export<PlainExport>(module.get(), "LWRemoveLsp");
  const auto removeNsp = Export<PlainExport>(module.get(), "RemoveNsp");
  if (!dummy || !chain || !installNsp || !reorderNsp || !reorderLsp || !removeLsp || !removeNsp)
    return LastErrorOr(ERROR_PROC_NOT_FOUND);

  DWORD result = dummy(folder.c_str());
  if (result == 0) result = chain(folder.c_str());
  if (result == 0) result = installNsp(folder.c_str());
  if (result == 0) result = reorderNsp();
  if (result == 0) {
    reorderLsp();
    return 0;
  }
  // Undo what part of the chain went in; the failing step's code is the answer.
  removeLsp();
  removeNsp();
  return result;
}

static DWORD RemoveProviderUnguarded(const wchar_t* dllPath, LogFile* /*log*/) {
  if (!dllPath || !*dllPath) return ERROR_INVALID_PARAMETER;
  UniqueModule module(LoadLibraryExW(dllPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return GetLastError();  // nothing loaded and nothing said: nothing to remove
  const auto removeLsp = Export<PlainExport>(module.get(), "LWRemoveLsp");
  const auto removeNsp = Export<PlainExport>(module.get(), "RemoveNsp");
  const auto isNspInstalled = Export<PlainExport>(module.get(), "IsNspInstalled");
  if (!removeLsp || !removeNsp || !isNspInstalled) return LastErrorOr(ERROR_PROC_NOT_FOUND);
  if (removeLsp() == 0) return ERROR_GEN_FAILURE;
  if (isNspInstalled() != 0) return removeNsp();
  return 0;
}

// ---- The TDI driver --------------------------------------------------------------------------------

bool DriverPresent() {
  UniqueFile device;
  return OpenControlDevice(&device) == 0;
}

static DWORD InsertDriverTagUnguarded(DWORD tag) {
  if (tag == 0) return 0;  // the system gave none: the driver loads after the tagged ones
  const DWORD tcpipTag = TcpipTag();
  return EditGroupOrder([&](std::vector<uint8_t>* value, bool* changed) {
    return InsertGroupTag(value, tcpipTag, tag, changed);
  });
}

static DWORD InstallDriverUnguarded(const wchar_t* newDriverPath, LogFile* log) {
  if (!newDriverPath || !*newDriverPath) return ERROR_INVALID_PARAMETER;
  std::wstring driverPath;
  if (const DWORD error = DriverFilePath(&driverPath)) {
    LogMsgWarning(log, kMsgSystemFolderFailed, error);
    return error;
  }

  bool present = false;
  {
    NativeFileSystem native;
    present = GetFileAttributesW(driverPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!present && !CopyFileW(newDriverPath, driverPath.c_str(), TRUE)) {
      const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
      LogMsgWarning(log, kMsgDriverCopyFailed, error);
      return error;
    }
  }

  if (!present) {
    const DWORD error = OpenOrCreateDriver(driverPath.c_str());
    if (error) {
      LogMsgWarning(log, kMsgDriverInstallFailed, error);
      return error;
    }
    LogMsgInfo(log, kMsgDriverInstalled);
    return 0;
  }

  // A driver file left without its service (an earlier install that failed, a roll-back) is installed
  // again before it is brought up to date.
  UniqueFile device;
  if (OpenControlDevice(&device) == ERROR_FILE_NOT_FOUND && CurrentNetworkStackSystem().isAdministrator()) {
    const DWORD error = OpenOrCreateDriver(driverPath.c_str());
    if (error) {
      LogMsgWarning(log, kMsgDriverInstallFailed, error);
      return error;
    }
    LogMsgInfo(log, kMsgDriverInstalled);
  }
  device.reset();

  WORD installed[4] = {}, offered[4] = {};
  bool bothRead = false;
  {
    NativeFileSystem native;
    bothRead = ReadFileVersion(driverPath.c_str(), installed) && ReadFileVersion(newDriverPath, offered);
  }
  if (!bothRead || memcmp(installed, offered, sizeof installed) == 0) return 0;
  if (const DWORD error = SendUpdateRequest(newDriverPath)) {
    LogMsgWarning(log, kMsgDriverUpdateFailed, error);
    return error;
  }
  return 0;
}

static DWORD RemoveDriverUnguarded(LogFile* log) {
  DWORD result = 0;
  if (const DWORD error = DeleteDriverService()) {
    LogMsgWarning(log, kMsgDriverRemoveFailed, error);
    result = error;
  }

  std::wstring driverPath;
  DWORD error = DriverFilePath(&driverPath);
  if (error == 0) {
    NativeFileSystem native;
    error = DeleteIfPresent(driverPath.c_str());
  }
  if (error) {
    LogMsgWarning(log, kMsgDriverFileDeleteFailed, error);
    result = error;
  }

  wchar_t appData[MAX_PATH] = {};
  std::wstring logPath;
  const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
  if (FAILED(hr)) {
    result = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  } else if ((error = JoinThreePath(appData, L"Velmora\\LogFiles", L"lwtdi.log", &logPath)) != 0 ||
             (error = DeleteIfPresent(logPath.c_str())) != 0) {
    result = error;
  }
  return result;
}

// ---- Entry points: memory running out is 14, never an exception ---------------------------------

namespace {

template <typename Body>
DWORD Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace

DWORD InstallProvider(const wchar_t* dllPath, LogFile* log) {
  return Guarded([&] { return InstallProviderUnguarded(dllPath, log); });
}
DWORD RemoveProvider(const wchar_t* dllPath, LogFile* log) {
  return Guarded([&] { return RemoveProviderUnguarded(dllPath, log); });
}
DWORD InsertDriverTag(DWORD tag) {
  return Guarded([&] { return InsertDriverTagUnguarded(tag); });
}
DWORD InstallDriver(const wchar_t* newDriverPath, LogFile* log) {
  return Guarded([&] { return InstallDriverUnguarded(newDriverPath, log); });
}
DWORD RemoveDriver(LogFile* log) {
  return Guarded([&] { return RemoveDriverUnguarded(log); });
}

// ---- Which files these are ------------------------------------------------------------------------

namespace {

// The file name part of path (after the last backslash or slash).
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return name;
}

}  // namespace

bool IsProviderFile(const wchar_t* path) {
  if (!path) return false;
  const wchar_t* name = FileNamePart(path);
  return _wcsicmp(name, L"lwsp.dll") == 0 || _wcsicmp(name, L"korsp.dll") == 0;
}

bool IsDriverFile(const wchar_t* path) {
  if (!path) return false;
  const wchar_t* name = FileNamePart(path);
  const wchar_t* dot = wcsrchr(name, L'.');
  const size_t stem = dot ? static_cast<size_t>(dot - name) : wcslen(name);
  return stem == 6 && _wcsnicmp(name, L"lwptdi", 6) == 0;
}

}  // namespace kesi::install
