#include "BrokerSystem.h"

#include <shlobj.h>

#include "BrokerPipe.h"
#include "ComFrame.h"
#include "Handles.h"
#include "KESInterrogator.h"

namespace kesi::broker {
namespace {

DWORD Interrogate(const std::wstring& credential, const std::wstring& urlConfiguration, const std::wstring& urlPost,
                  LogFile* log) {
  ComPtr<IKESInterrogator> object;
  HRESULT hr = controls::CreateInterrogatorObject(IID_IKESInterrogator, object.put_void());
  if (FAILED(hr)) {
    LogError(log, L"kesiVista::DoInterrogation interrogator instance creation failed");
    return static_cast<DWORD>(hr);
  }
  UniqueBstr text(SysAllocStringLen(credential.data(), static_cast<UINT>(credential.size())));
  hr = text ? object->put_AuthCredential(text.get()) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    LogError(log, L"kesiVista::DoInterrogation put_AuthCredential failed");
    return static_cast<DWORD>(hr);
  }
  // The object made by CreateInterrogatorObject is the library's own class: the logon flow is one of its
  // operations outside the type library.
  auto* interrogator = static_cast<controls::KESInterrogator*>(object.get());
  LONG code = 1;
  hr = interrogator->DoInterrogationLogon(urlConfiguration.c_str(), urlPost.c_str(), &code);
  if (hr == 1051) {
    LogInfo(log, L"kesiVista::DoInterrogation punting install of kesiVista to ozmInstaller");
  } else if (hr != S_OK) {
    LogError(log, L"kesiVista::DoInterrogation DoInterrogationLogon failed");
  }
  return hr != S_OK ? static_cast<DWORD>(hr) : static_cast<DWORD>(code);
}

DWORD ProgramFolder(std::wstring* folder) {
  std::wstring path;
  const DWORD error = controls::BrokerProgramPath(&path);
  if (error) return error;
  folder->assign(path, 0, path.find_last_of(L'\\'));
  return 0;
}

}  // namespace

BrokerSystem DefaultBrokerSystem() {
  BrokerSystem system{};
  system.interrogate = Interrogate;
  system.createInstaller = controls::CreateInstallerObject;
  system.programFolder = ProgramFolder;
  system.requestMs = 30000;
  system.launcherMs = 90000;
  system.stopConnectMs = 30000;
  system.stopExitMs = 15000;
  system.retryMs = 50;
  return system;
}

BrokerSystem& CurrentBrokerSystem() {
  static BrokerSystem current = DefaultBrokerSystem();
  return current;
}

BrokerSystem SetBrokerSystem(const BrokerSystem& system) {
  BrokerSystem previous = CurrentBrokerSystem();
  CurrentBrokerSystem() = system;
  return previous;
}

}  // namespace kesi::broker
