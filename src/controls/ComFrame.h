#pragma once
// The COM frame of the two scriptable objects: reference counting, the aggregated free-threaded
// marshaller, IDispatch served from the embedded type library, IObjectSafety, IPersistPropertyBag,
// IProvideClassInfo and IObjectWithSite, the object's lock and the module's lock count.
//
// Both objects are registered for both threading models and aggregate the free-threaded marshaller, so
// their methods are called on any thread: every method takes the object's lock (Lock()) to copy or
// replace its fields and does its work on copies.
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <atomic>
#include <new>
#include <string>

#include "Handles.h"
#include "kesi_idl.h"

namespace kesi::controls {

// The module's lock count: objects and class factories alive, explicit locks and running recurring
// threads. The library may be unloaded only at 0.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The module that holds this code (KESI.dll, or a program that links the controls).
HMODULE ControlsModule();

// The type information for guid (an interface or class) from the type library embedded in the module as
// TYPELIB 1. The library is loaded once per process.
HRESULT GetControlsTypeInfo(REFGUID guid, ITypeInfo** info);

// The URL of the page that hosts an object with site as its site: the client site's container moniker, or
// the container document's URL. Empty when there is no site or it tells no URL.
std::wstring PageUrlOfSite(IUnknown* site);

// The safety options the objects support: safe for untrusted callers and for untrusted data.
constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// The frame of a scriptable object whose dual interface is Interface (IKESInstaller or IKESInterrogator).
// Derived implements the interface's methods; the property bag sets AuthCredential and
// ConfigurationString through Derived's own setters.
template <class Interface>
class ScriptableObject : public Interface,
                         public IObjectSafety,
                         public IPersistPropertyBag,
                         public IProvideClassInfo,
                         public IObjectWithSite {
 public:
  ScriptableObject(const ScriptableObject&) = delete;
  ScriptableObject& operator=(const ScriptableObject&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == *iid_) {
      *out = static_cast<Interface*>(this);
    } else if (riid == IID_IObjectSafety) {
      *out = static_cast<IObjectSafety*>(this);
    } else if (riid == IID_IPersistPropertyBag || riid == IID_IPersist) {
      *out = static_cast<IPersistPropertyBag*>(this);
    } else if (riid == IID_IProvideClassInfo) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else if (riid == IID_IObjectWithSite) {
      *out = static_cast<IObjectWithSite*>(this);
    } else if (riid == IID_IMarshal && marshaller_) {
      return marshaller_->QueryInterface(riid, out);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch, from the type library.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetControlsTypeInfo(*iid_, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = GetControlsTypeInfo(*iid_, info.put());
    return FAILED(hr) ? hr : info->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = GetControlsTypeInfo(*iid_, info.put());
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<Interface*>(this), id, flags, params, result, exception, argError);
  }

  // IObjectSafety: exactly the two options of kSupportedSafety, for the interfaces the object has.
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override {
    if (!supported || !enabled) return E_POINTER;
    *supported = 0;
    *enabled = 0;
    IUnknown* probe = nullptr;
    const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
    if (FAILED(hr)) return hr;
    probe->Release();
    *supported = kSupportedSafety;
    *enabled = safety_.load();
    return S_OK;
  }
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD options) override {
    IUnknown* probe = nullptr;
    if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&probe)))) return E_NOINTERFACE;
    probe->Release();
    if (mask & ~kSupportedSafety) return E_FAIL;
    DWORD current = safety_.load();
    while (!safety_.compare_exchange_weak(current, (current & ~mask) | (options & mask))) {
    }
    return S_OK;
  }

  // IPersistPropertyBag: the page's object-tag parameters AuthCredential and ConfigurationString.
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = *clsid_;
    return S_OK;
  }
  STDMETHODIMP InitNew() override { return S_OK; }
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* errorLog) override {
    if (!bag) return E_POINTER;
    // A property the page did not give is skipped; a setter's failure is the load's.
    HRESULT hr = LoadProperty(bag, errorLog, L"AuthCredential", &Interface::put_AuthCredential);
    if (SUCCEEDED(hr)) hr = LoadProperty(bag, errorLog, L"ConfigurationString", &Interface::put_ConfigurationString);
    return hr;
  }
  STDMETHODIMP Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

  // IProvideClassInfo
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return GetControlsTypeInfo(*clsid_, info);
  }

  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* site) override {
    CriticalSectionLock hold(lock_);
    site_ = ComPtr<IUnknown>(site);
    return S_OK;
  }
  STDMETHODIMP GetSite(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<IUnknown> site = Site();
    return site ? site->QueryInterface(riid, out) : E_FAIL;
  }

  // Creates an object of Derived the way the class factory does: construct, final construction (the
  // marshaller), then the requested interface; the object is destroyed when either step fails.
  template <class Derived>
  static HRESULT Create(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    Derived* object = new (std::nothrow) Derived();
    if (!object) return E_OUTOFMEMORY;
    // The count is raised around final construction without going through Release, which would destroy
    // the object at 0 before it is handed out.
    InterlockedIncrement(&object->refs_);
    HRESULT hr = static_cast<ScriptableObject*>(object)->FinalConstruct();
    InterlockedDecrement(&object->refs_);
    if (SUCCEEDED(hr)) hr = object->QueryInterface(riid, out);
    if (FAILED(hr)) delete object;
    return hr;
  }

 protected:
  ScriptableObject(const IID& iid, const CLSID& clsid) noexcept : iid_(&iid), clsid_(&clsid) { LockModule(); }
  virtual ~ScriptableObject() { UnlockModule(); }

  // Final construction: the free-threaded marshaller aggregated on the object. Derived may extend it.
  virtual HRESULT FinalConstruct() {
    return CoCreateFreeThreadedMarshaler(static_cast<Interface*>(this), marshaller_.put());
  }

  // The object's lock, held to copy or replace fields.
  CriticalSection& Lock() { return lock_; }
  // The site the host gave, or null.
  ComPtr<IUnknown> Site() {
    CriticalSectionLock hold(lock_);
    return site_;
  }
  // The URL of the hosting page, or empty when the object has no site that tells one (script hosts and
  // the programs that create the objects themselves).
  std::wstring PageUrl() {
    ComPtr<IUnknown> site = Site();
    return site ? PageUrlOfSite(site.get()) : std::wstring();
  }

 private:
  HRESULT LoadProperty(IPropertyBag* bag, IErrorLog* errorLog, const wchar_t* name,
                       HRESULT (STDMETHODCALLTYPE Interface::*setter)(BSTR)) {
    UniqueVariant value;
    VARIANT* read = value.put();
    V_VT(read) = VT_BSTR;
    V_BSTR(read) = nullptr;
    HRESULT hr = bag->Read(name, read, errorLog);
    if (FAILED(hr)) return S_OK;
    if (V_VT(read) != VT_BSTR) {
      hr = VariantChangeType(read, read, 0, VT_BSTR);
      if (FAILED(hr)) return hr;
    }
    return (static_cast<Interface*>(this)->*setter)(V_BSTR(read));
  }

  const IID* iid_;
  const CLSID* clsid_;
  LONG refs_ = 0;
  std::atomic<DWORD> safety_{0};
  ComPtr<IUnknown> marshaller_;
  ComPtr<IUnknown> site_;
  CriticalSection lock_;
};

// The creators the class factories use (one per class, beside each object).
HRESULT CreateInstallerObject(REFIID riid, void** out);
HRESULT CreateInterrogatorObject(REFIID riid, void** out);

}  // namespace kesi::controls
