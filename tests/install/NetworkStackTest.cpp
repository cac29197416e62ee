// The network-stack components under Wine: the socket providers through the fixture DLLs that journal
// their calls (provider/), the TDI driver through the fixture kernel driver (lwptdi/), the real service
// manager and a stand-in DNS client service (dnscache/). Wine's prefix has no TCP/IP driver keys, no
// "PNP_TDI" list and no DNS client: the driver cases make them and remove them again.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "NetworkStack.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestText.h"

namespace kesi::install {
namespace {

using test::FixturePath;
using test::PathExists;
using test::TempFolder;

// ---- Socket providers ----------------------------------------------------------------------------

// A provider fixture copied into a folder of the test's own under name; its journal and result file sit
// beside it.
class ProviderCopy {
 public:
  ProviderCopy(const wchar_t* fixture, const wchar_t* name) : folder_(test::CurrentTestName().c_str()) {
    dll_ = folder_ / name;
    copied_ = folder_.Created() && CopyFileW(FixturePath(std::wstring(L"provider\\") + fixture).c_str(), dll_.c_str(), FALSE);
  }
  bool Copied() const { return copied_; }
  const std::wstring& Dll() const { return dll_; }
  const std::wstring& Folder() const { return folder_.Path(); }
  void SetResult(const wchar_t* exportName, int value) {
    WritePrivateProfileStringW(L"results", exportName, std::to_wstring(value).c_str(), (dll_ + L".ini").c_str());
  }
  std::vector<std::string> Journal() const {
    std::vector<std::string> calls;
    for (std::string line : test::Lines(test::ReadWholeFile(dll_ + L".journal"))) {
      line.pop_back();
      calls.push_back(line);
    }
    return calls;
  }
  // The file can be deleted only when no module holds it (Wine refuses to delete a loaded DLL).
  bool Unloaded() const { return DeleteFileW(dll_.c_str()) != FALSE; }

 private:
  TempFolder folder_;
  std::wstring dll_;
  bool copied_ = false;
};

std::vector<std::string> InstallCalls(const std::string& folder) {
  return {"LWInstallLspDummy(" + folder + ")", "LWInstallLspChain(" + folder + ")", "InstallNsp(" + folder + ")",
          "ReorderNsp", "LWReorderLsp"};
}

TEST(NetworkStackProvider, InstallCallsTheChainInOrderWithTheFolder) {
  for (const wchar_t* name : {L"lwsp.dll", L"korsp.dll"}) {
    SCOPED_TRACE(test::Narrow(name));
    ProviderCopy provider(name, name);
    ASSERT_TRUE(provider.Copied());
    EXPECT_EQ(0u, InstallProvider(provider.Dll().c_str(), nullptr));
    EXPECT_EQ(InstallCalls(test::Narrow(provider.Folder())), provider.Journal());
    EXPECT_TRUE(provider.Unloaded());
  }
}

TEST(NetworkStackProvider, AFailingStepRollsBackAndAnswersItsCode) {
  static const wchar_t* const kSteps[] = {L"LWInstallLspDummy", L"LWInstallLspChain", L"InstallNsp", L"ReorderNsp"};
  for (size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(test::Narrow(kSteps[k]));
    ProviderCopy provider(L"lwsp.dll", L"lwsp.dll");
    ASSERT_TRUE(provider.Copied());
    provider.SetResult(kSteps[k], 1200 + static_cast<int>(k));
    // A failed roll-back changes nothing about the answer.
    provider.SetResult(L"RemoveNsp", 5);
    EXPECT_EQ(1200u + k, InstallProvider(provider.Dll().c_str(), nullptr));
    std::vector<std::string> expected = InstallCalls(test::Narrow(provider.Folder()));
    expected.resize(k + 1);
    expected.push_back("LWRemoveLsp");
    expected.push_back("RemoveNsp");
    EXPECT_EQ(expected, provider.Journal());
    EXPECT_TRUE(provider.Unloaded());
  }
}

TEST(NetworkStackProvider, AMissingExportCallsNothing) {
  ProviderCopy provider(L"noreorder\\lwsp.dll", L"lwsp.dll");
  ASSERT_TRUE(provider.Copied());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), InstallProvider(provider.Dll().c_str(), nullptr));
  EXPECT_TRUE(provider.Journal().empty());
  EXPECT_TRUE(provider.Unloaded());
}

TEST(NetworkStackProvider, RemovalAnswersByTheProvidersAnswers) {
  struct Case {
    const char* name;
    int removeLsp, isNspInstalled, removeNsp;
    DWORD result;
    std::vector<std::string> journal;
  };
  const Case cases[] = {
      {"both removed", 1, 1, 0, 0, {"LWRemoveLsp", "IsNspInstalled", "RemoveNsp"}},
      {"name space removal fails", 1, 1, 1234, 1234, {"LWRemoveLsp", "IsNspInstalled", "RemoveNsp"}},
      {"no name space provider", 1, 0, 1234, 0, {"LWRemoveLsp", "IsNspInstalled"}},
      {"layered removal fails", 0, 1, 0, ERROR_GEN_FAILURE, {"LWRemoveLsp"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProviderCopy provider(L"korsp.dll", L"korsp.dll");
    ASSERT_TRUE(provider.Copied());
    provider.SetResult(L"LWRemoveLsp", c.removeLsp);
    provider.SetResult(L"IsNspInstalled", c.isNspInstalled);
    provider.SetResult(L"RemoveNsp", c.removeNsp);
    EXPECT_EQ(c.result, RemoveProvider(provider.Dll().c_str(), nullptr));
    EXPECT_EQ(c.journal, provider.Journal());
    EXPECT_TRUE(provider.Unloaded());
  }
}

// ---- The TDI driver --------------------------------------------------------------------------------

constexpr wchar_t kServices[] = L"System\\CurrentControlSet\\Services\\";
constexpr wchar_t kGroupOrderKey[] = L"System\\CurrentControlSet\\Control\\GroupOrderList";
constexpr wchar_t kDriverJournal[] = L"Software\\KesiTest\\Lwptdi";
constexpr wchar_t kDnsJournal[] = L"Software\\KesiTest\\Dnscache";
constexpr REGSAM kNative = KEY_WOW64_64KEY;
constexpr DWORD kTcpipTag = 5;

// The native system folder for a 32-bit test too, while alive.
class NativeFiles {
 public:
  NativeFiles() {
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) active_ = Wow64DisableWow64FsRedirection(&previous_);
  }
  ~NativeFiles() {
    if (active_) Wow64RevertWow64FsRedirection(previous_);
  }

 private:
  PVOID previous_ = nullptr;
  bool active_ = false;
};

std::wstring DriverFile() {
  wchar_t system[MAX_PATH];
  SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system);
  return std::wstring(system) + L"\\DRIVERS\\lwptdi.sys";
}

std::wstring DriverLog() {
  wchar_t appData[MAX_PATH];
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
  return std::wstring(appData) + L"\\Velmora\\LogFiles\\lwtdi.log";
}

bool DriverFileExists() {
  NativeFiles native;
  return PathExists(DriverFile());
}

std::vector<BYTE> Tags(std::initializer_list<DWORD> tags) {
  std::vector<DWORD> words{static_cast<DWORD>(tags.size())};
  words.insert(words.end(), tags);
  const BYTE* bytes = reinterpret_cast<const BYTE*>(words.data());
  return std::vector<BYTE>(bytes, bytes + words.size() * 4);
}

void SetValue(const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0,
                                           KEY_SET_VALUE | kNative, nullptr, key.put(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void SetDword(const std::wstring& keyPath, const wchar_t* name, DWORD value) {
  SetValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

// The bytes of a value (empty when it is missing).
std::vector<BYTE> ReadValue(const wchar_t* keyPath, const wchar_t* name) {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | kNative, key.put())) return {};
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &size)) return {};
  std::vector<BYTE> data(size);
  if (RegQueryValueExW(key.get(), name, nullptr, nullptr, data.data(), &size)) return {};
  data.resize(size);
  return data;
}

DWORD ReadDword(const wchar_t* keyPath, const wchar_t* name) {
  const std::vector<BYTE> data = ReadValue(keyPath, name);
  DWORD value = 0;
  if (data.size() == sizeof value) memcpy(&value, data.data(), sizeof value);
  return value;
}

void DeleteValue(const wchar_t* keyPath, const wchar_t* name) {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE | kNative, key.put()) == ERROR_SUCCESS)
    RegDeleteValueW(key.get(), name);
}

void DeleteKey(const std::wstring& keyPath) { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), kNative, 0); }

bool WaitForState(SC_HANDLE service, DWORD state) {
  for (int i = 0; i < 100; ++i) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == state) return true;
    Sleep(50);
  }
  return false;
}

// Stops a service, deletes it and waits until the service manager has forgotten it.
void RemoveService(const wchar_t* name) {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  {
    UniqueService service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status;
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) WaitForState(service.get(), SERVICE_STOPPED);
    DeleteService(service.get());
  }
  for (int i = 0; i < 100; ++i) {
    UniqueService service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (!service) return;
    Sleep(50);
  }
  ADD_FAILURE() << test::Narrow(name) << " is still there";
}

// The configuration of a service; false when it cannot be read.
struct ServiceConfig {
  DWORD type = 0, startType = 0, errorControl = 0, tag = 0;
  std::wstring path, group;
};
bool QueryService(const wchar_t* name, ServiceConfig* config) {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueService service(manager ? OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG) : nullptr);
  if (!service) return false;
  DWORD size = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), raw, size, &size)) return false;
  config->type = raw->dwServiceType;
  config->startType = raw->dwStartType;
  config->errorControl = raw->dwErrorControl;
  config->tag = raw->dwTagId;
  config->path = raw->lpBinaryPathName ? raw->lpBinaryPathName : L"";
  config->group = raw->lpLoadOrderGroup ? raw->lpLoadOrderGroup : L"";
  return true;
}

bool ServiceExists(const wchar_t* name) {
  ServiceConfig config;
  return QueryService(name, &config);
}

// A service the test makes itself ("Lwptdi" with a tag of its choosing; the stand-in "Dnscache").
void CreateTestService(const wchar_t* name, DWORD type, const std::wstring& path, const wchar_t* group, DWORD tag) {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  // Wine's service manager takes the tag as given.
  UniqueService service(CreateServiceW(manager.get(), name, (std::wstring(name) + L" (test)").c_str(),
                                       SERVICE_ALL_ACCESS, type, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       path.c_str(), group, group ? &tag : nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << GetLastError();
}

void StartTestService(const wchar_t* name) {
  UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueService service(manager ? OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS) : nullptr);
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
}

// What the update request must hold: a 32-bit zero, then "\??\" + each path in a 260-unit field.
std::vector<BYTE> ExpectedRequest(const std::wstring& newPath, const std::wstring& imagePath) {
  std::vector<BYTE> request(4 + 2 * 520, 0);
  const std::wstring fields[] = {L"\\??\\" + newPath, L"\\??\\" + imagePath};
  for (int f = 0; f < 2; ++f)
    memcpy(request.data() + 4 + 520 * f, fields[f].c_str(), fields[f].size() * 2);
  return request;
}

class NetworkStackDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    CleanUp();
    saved_ = CurrentNetworkStackSystem();
    SetTcpip(L"Tdx", SERVICE_SYSTEM_START);
    SetList(Tags({4, kTcpipTag, 6}));
    CreateTestService(L"Dnscache", SERVICE_WIN32_OWN_PROCESS, FixturePath(L"dnscache\\kesidnscache.exe"), nullptr, 0);
    StartTestService(L"Dnscache");
    ASSERT_EQ(1u, DnsStarts());
  }
  void TearDown() override {
    SetNetworkStackSystem(saved_);
    CleanUp();
  }
  static void CleanUp() {
    RemoveService(L"Lwptdi");
    RemoveService(L"Dnscache");
    {
      NativeFiles native;
      DeleteFileW(DriverFile().c_str());
    }
    DeleteFileW(DriverLog().c_str());
    DeleteKey(std::wstring(kServices) + L"Tdx");
    DeleteKey(std::wstring(kServices) + L"Tcpip");
    DeleteValue(kGroupOrderKey, L"PNP_TDI");
    DeleteKey(kDriverJournal);
    DeleteKey(kDnsJournal);
  }

  static void SetTcpip(const wchar_t* service, DWORD start) {
    SetDword(std::wstring(kServices) + service, L"Start", start);
    SetDword(std::wstring(kServices) + service, L"Tag", kTcpipTag);
  }
  static void SetList(const std::vector<BYTE>& list) {
    SetValue(kGroupOrderKey, L"PNP_TDI", REG_BINARY, list.data(), static_cast<DWORD>(list.size()));
  }
  static std::vector<BYTE> List() { return ReadValue(kGroupOrderKey, L"PNP_TDI"); }
  static DWORD DnsStarts() { return ReadDword(kDnsJournal, L"Starts"); }
  static DWORD Requests() { return ReadDword(kDriverJournal, L"Requests"); }
  static std::wstring Driver(const wchar_t* build) { return FixturePath(std::wstring(L"lwptdi\\") + build + L"\\lwptdi.sys"); }

  NetworkStackSystem saved_{};
};

TEST_F(NetworkStackDriver, FreshInstallCreatesAndStartsTheService) {
  struct Case {
    const char* name;
    bool vista;
    const wchar_t* tcpip;
    DWORD start;
  };
  const Case cases[] = {{"Vista and later", true, L"Tdx", SERVICE_SYSTEM_START},
                        {"before Vista", false, L"Tcpip", SERVICE_AUTO_START}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetworkStackSystem system = saved_;
    system.isVistaOrLater = c.vista ? +[] { return true; } : +[] { return false; };
    SetNetworkStackSystem(system);
    DeleteKey(std::wstring(kServices) + L"Tdx");
    SetTcpip(c.tcpip, c.start);
    const std::vector<BYTE> list = List();
    const DWORD starts = DnsStarts();
    test::TestLogFile log(L"driver-fresh");

    EXPECT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), log.Log()));

    ServiceConfig config;
    ASSERT_TRUE(QueryService(L"Lwptdi", &config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config.type);
    EXPECT_EQ(c.start, config.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
    EXPECT_EQ(L"PNP_TDI", config.group);
    // Wine's service manager keeps the dependencies but does not report them: read what it stored.
    const std::vector<BYTE> dependencies = ReadValue((std::wstring(kServices) + L"Lwptdi").c_str(), L"DependOnService");
    EXPECT_EQ(std::wstring(c.tcpip) + std::wstring(2, L'\0'),
              std::wstring(reinterpret_cast<const wchar_t*>(dependencies.data()), dependencies.size() / 2));
    EXPECT_EQ(DriverFile(), config.path);
    EXPECT_TRUE(DriverPresent());
    EXPECT_TRUE(log.Contains("TDI driver installation complete."));
    EXPECT_EQ(starts + 1, DnsStarts());
    // Wine gives the new service no tag: the list keeps its place for a real one.
    EXPECT_EQ(list, List());
    EXPECT_EQ(0u, Requests());

    RemoveService(L"Lwptdi");
    NativeFiles native;
    DeleteFileW(DriverFile().c_str());
  }
}

TEST_F(NetworkStackDriver, InstallWithoutTheDnsClientStillSucceeds) {
  RemoveService(L"Dnscache");
  EXPECT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
  EXPECT_TRUE(DriverPresent());
}

TEST_F(NetworkStackDriver, AnInstalledDriverGetsOneRequestForAnotherVersion) {
  ASSERT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
  ASSERT_TRUE(DriverPresent());
  ServiceConfig config;
  ASSERT_TRUE(QueryService(L"Lwptdi", &config));

  EXPECT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
  EXPECT_EQ(0u, Requests()) << "same version";

  test::TestLogFile log(L"driver-update");
  EXPECT_EQ(0u, InstallDriver(Driver(L"v2").c_str(), log.Log()));
  EXPECT_EQ(1u, Requests());
  EXPECT_EQ(ExpectedRequest(Driver(L"v2"), config.path), ReadValue(kDriverJournal, L"Request"));
  EXPECT_FALSE(log.Contains("LwpTdi"));
}

TEST_F(NetworkStackDriver, AnExistingServicesTagGoesRightAfterTheTcpipDriver) {
  struct Case {
    const char* name;
    std::vector<BYTE> before, after;
  };
  const Case cases[] = {{"inserted", Tags({4, kTcpipTag, 6}), Tags({4, kTcpipTag, 7, 6})},
                        {"already listed", Tags({7, 4, kTcpipTag}), Tags({7, 4, kTcpipTag})},
                        {"no TCP/IP tag listed", Tags({4, 6}), Tags({4, 6})}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetList(c.before);
    CreateTestService(L"Lwptdi", SERVICE_KERNEL_DRIVER, DriverFile(), L"PNP_TDI", 7);
    EXPECT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
    EXPECT_TRUE(DriverPresent());
    EXPECT_EQ(c.after, List());
    RemoveService(L"Lwptdi");
    NativeFiles native;
    DeleteFileW(DriverFile().c_str());
  }
}

TEST_F(NetworkStackDriver, TheTagListItselfIsChecked) {
  DeleteValue(kGroupOrderKey, L"PNP_TDI");
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), InsertDriverTag(7));
  // A count beyond the value's bytes is refused and the value kept as it is.
  std::vector<BYTE> overlong = Tags({4, kTcpipTag});
  overlong[0] = 3;
  SetList(overlong);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), InsertDriverTag(7));
  EXPECT_EQ(overlong, List());
}

TEST_F(NetworkStackDriver, NoServiceWithoutTheStartTypeOrTheRight) {
  struct Case {
    const char* name;
    bool administrator, startValue;
  };
  const Case cases[] = {{"no TCP/IP start value", true, false}, {"not an administrator", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetworkStackSystem system = saved_;
    if (!c.administrator) system.isAdministrator = +[] { return false; };
    SetNetworkStackSystem(system);
    SetTcpip(L"Tdx", SERVICE_SYSTEM_START);
    if (!c.startValue) DeleteValue((std::wstring(kServices) + L"Tdx").c_str(), L"Start");
    test::TestLogFile log(L"driver-refused");

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), InstallDriver(Driver(L"v1").c_str(), log.Log()));
    EXPECT_FALSE(ServiceExists(L"Lwptdi"));
    EXPECT_TRUE(log.Contains("\"LwpTdiInstall failed, error: 2"));
    EXPECT_FALSE(log.Contains("TDI driver installation complete."));
    NativeFiles native;
    DeleteFileW(DriverFile().c_str());
  }
}

TEST_F(NetworkStackDriver, FailedStepsAreLoggedWithTheirCodes) {
  {
    test::TestLogFile log(L"driver-copy");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), InstallDriver(FixturePath(L"lwptdi\\v1\\absent.sys").c_str(), log.Log()));
    EXPECT_TRUE(log.Contains("\"LwpTdiInstall driver copy failed, error: 2")) << log.Text();
    EXPECT_FALSE(DriverFileExists());
  }
  {
    // Installed, but stopped and not ours to restart: the update has no device to go to.
    ASSERT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
    RemoveService(L"Lwptdi");
    NetworkStackSystem system = saved_;
    system.isAdministrator = +[] { return false; };
    SetNetworkStackSystem(system);
    test::TestLogFile log(L"driver-update");
    EXPECT_NE(0u, InstallDriver(Driver(L"v2").c_str(), log.Log()));
    EXPECT_TRUE(log.Contains("\"LwpTdiUpdate failed, error: ")) << log.Text();
    EXPECT_EQ(0u, Requests());
    SetNetworkStackSystem(saved_);
  }
  {
    // A driver file that cannot be deleted is the removal's answer.
    NativeFiles native;
    UniqueFile held(CreateFileW(DriverFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    test::TestLogFile log(L"driver-delete");
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), RemoveDriver(log.Log()));
    EXPECT_TRUE(log.Contains("\"LwpTdiUpdate lwptdi driver file deletion failed, error: 32")) << log.Text();
  }
}

TEST_F(NetworkStackDriver, ADriverFileWithoutItsServiceIsRepaired) {
  {
    NativeFiles native;
    ASSERT_TRUE(CopyFileW(Driver(L"v1").c_str(), DriverFile().c_str(), TRUE));
  }
  test::TestLogFile log(L"driver-repair");
  EXPECT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), log.Log()));
  EXPECT_TRUE(ServiceExists(L"Lwptdi"));
  EXPECT_TRUE(DriverPresent());
  EXPECT_TRUE(log.Contains("TDI driver installation complete."));
  EXPECT_EQ(0u, Requests());
}

TEST_F(NetworkStackDriver, RemovalTakesServiceTagFileAndLog) {
  SetList(Tags({4, kTcpipTag, 6}));
  CreateTestService(L"Lwptdi", SERVICE_KERNEL_DRIVER, DriverFile(), L"PNP_TDI", 7);
  ASSERT_EQ(0u, InstallDriver(Driver(L"v1").c_str(), nullptr));
  ASSERT_EQ(Tags({4, kTcpipTag, 7, 6}), List());
  ASSERT_TRUE(DriverPresent());
  const std::wstring logFile = DriverLog();
  SHCreateDirectoryExW(nullptr, logFile.substr(0, logFile.rfind(L'\\')).c_str(), nullptr);
  ASSERT_TRUE(test::WriteWholeFile(logFile, "driver log\r\n"));

  test::TestLogFile log(L"driver-remove");
  EXPECT_EQ(0u, RemoveDriver(log.Log()));
  EXPECT_FALSE(ServiceExists(L"Lwptdi"));
  EXPECT_EQ(Tags({4, kTcpipTag, 6}), List());
  EXPECT_FALSE(DriverFileExists());
  EXPECT_FALSE(PathExists(logFile));
  EXPECT_FALSE(DriverPresent());
  EXPECT_FALSE(log.Contains("LwpTdi"));

  // Nothing left to remove is no failure.
  EXPECT_EQ(0u, RemoveDriver(log.Log()));
}

}  // namespace
}  // namespace kesi::install
