#include "Registration.h"

#include <string>

#include "ComFrame.h"
#include "atliface.h"

// The system registrar's class, which atliface.h declares without defining.
extern "C" const CLSID CLSID_Registrar = {0x44ec053a, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};

namespace kesi::controls {

namespace {

// The registrar ends a quoted value at a lone apostrophe: a module in a folder such as "O'Brien" would be
// registered under a cut path. Doubled, the apostrophe is kept.
std::wstring RegistrarQuoted(const wchar_t* text) {
  std::wstring quoted;
  for (const wchar_t* c = text; *c; ++c) {
    quoted += *c;
    if (*c == L'\'') quoted += L'\'';
  }
  return quoted;
}

HRESULT RunScripts(const wchar_t* modulePath, bool install) {
  ComPtr<IRegistrar> registrar;
  HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, registrar.put_void());
  if (FAILED(hr)) return hr;
  hr = registrar->AddReplacement(L"MODULE", RegistrarQuoted(modulePath).c_str());
  if (FAILED(hr)) return hr;
  for (UINT resource : {kInstallerRegistryResource, kInterrogatorRegistryResource}) {
    hr = install ? registrar->ResourceRegister(modulePath, resource, L"REGISTRY")
                 : registrar->ResourceUnregister(modulePath, resource, L"REGISTRY");
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT RegisterTypeLibrary(wchar_t* modulePath, bool install) {
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(modulePath, REGKIND_NONE, library.put());
  if (FAILED(hr)) return hr;
  if (install) return RegisterTypeLib(library.get(), modulePath, nullptr);
  TLIBATTR* attributes = nullptr;
  hr = library->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                         attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  // Nothing registered is nothing to remove.
  return hr == TYPE_E_REGISTRYACCESS ? S_OK : hr;
}

// A class factory per class: a static object that holds a module lock while it is referenced.
class ClassFactory final : public IClassFactory {
 public:
  explicit constexpr ClassFactory(HRESULT (*create)(REFIID, void**)) : create_(create) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    const LONG refs = InterlockedIncrement(&refs_);
    if (refs == 1) LockModule();
    return static_cast<ULONG>(refs);
  }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) UnlockModule();
    return static_cast<ULONG>(refs);
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(riid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }

 private:
  HRESULT (*create_)(REFIID, void**);
  LONG refs_ = 0;
};

ClassFactory g_installerFactory(CreateInstallerObject);
ClassFactory g_interrogatorFactory(CreateInterrogatorObject);

}  // namespace

HRESULT RegisterControls(bool install) {
  // Callers such as installers register without COM on the thread; the registrar needs it.
  ComApartment apartment;
  if (!apartment.Usable()) return apartment.Result();
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(ControlsModule(), path, MAX_PATH);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  if (install) {
    const HRESULT hr = RunScripts(path, true);
    return FAILED(hr) ? hr : RegisterTypeLibrary(path, true);
  }
  const HRESULT hr = RegisterTypeLibrary(path, false);
  const HRESULT scripts = RunScripts(path, false);
  return FAILED(hr) ? hr : scripts;
}

HRESULT GetControlsClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid == CLSID_KESInstaller) return g_installerFactory.QueryInterface(riid, out);
  if (clsid == CLSID_KESInterrogator) return g_interrogatorFactory.QueryInterface(riid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace kesi::controls
