// The objects as a browser hosts them: created through the registered library's class factory, asked
// for their safety options, initialised from the page's object-tag parameters, handed between threads,
// given a site. No Wine host calls these interfaces, so this test container plays the browser.
#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>
#include <urlmon.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>

#include "ComFrame.h"
#include "Handles.h"
#include "PageSite.h"
#include "TestText.h"

namespace kesi::test {
namespace {

using controls::PageUrlOfSite;

struct ClassCase {
  const char* name;
  const CLSID* clsid;
  const IID* iid;
};
const ClassCase kClasses[] = {
    {"installer", &CLSID_KESInstaller, &IID_IKESInstaller},
    {"interrogator", &CLSID_KESInterrogator, &IID_IKESInterrogator},
};

ComPtr<IDispatch> CreateRegistered(const CLSID& clsid) {
  ComPtr<IDispatch> object;
  EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()));
  return object;
}

// A property bag holding the page's parameters; a missing one answers as a browser's does.
class ParameterBag final : public IPropertyBag {
 public:
  explicit ParameterBag(std::map<std::wstring, std::wstring> values) : values_(std::move(values)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    auto found = values_.find(name);
    if (found == values_.end()) return E_INVALIDARG;
    VariantClear(value);
    V_VT(value) = VT_BSTR;
    V_BSTR(value) = SysAllocString(found->second.c_str());
    return S_OK;
  }
  STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

 private:
  std::map<std::wstring, std::wstring> values_;
};


// A property read through IDispatch, as script reads it; "<error X>" when the call fails.
std::wstring GetProperty(IDispatch* object, const wchar_t* name) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return L"<no name>";
  DISPPARAMS none = {};
  UniqueVariant result;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.put(), nullptr, nullptr);
  if (FAILED(hr)) return L"<error " + std::to_wstring(hr) + L">";
  if (V_VT(&result.get()) == VT_NULL || V_VT(&result.get()) == VT_EMPTY) return L"<null>";
  if (V_VT(&result.get()) != VT_BSTR) return L"<type>";
  return V_BSTR(&result.get()) ? std::wstring(V_BSTR(&result.get())) : L"<null>";
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, const wchar_t* value) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  VARIANT argument;
  V_VT(&argument) = VT_BSTR;
  V_BSTR(&argument) = SysAllocString(value);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&argument, &named, 1, 1};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
  VariantClear(&argument);
  return hr;
}

class ControlHost : public ::testing::Test {
 protected:
  ComApartment apartment_;
};

// The dispatch ids script reaches each member by are fixed.
TEST_F(ControlHost, TypeLibraryGivesEachMemberItsDispatchId) {
  struct Member {
    const IID* iid;
    const wchar_t* name;
    DISPID id;
  };
  const Member members[] = {
      {&IID_IKESInterrogator, L"VersionString", 10},         {&IID_IKESInterrogator, L"AuthCredential", 12},
      {&IID_IKESInterrogator, L"GetVersion", 23},            {&IID_IKESInterrogator, L"SetPBwindow", 30},
      {&IID_IKESInterrogator, L"PushLogsAndReturnCode", 32}, {&IID_IKESInterrogator, L"GetLogFileLocation", 33},
      {&IID_IKESInterrogator, L"IsComponentMsiInstalled", 34}, {&IID_IKESInterrogator, L"InstallComponentMsi", 35},
      {&IID_IKESInterrogator, L"ConfigurationString", 21},   {&IID_IKESInterrogator, L"DoVistaInterrogation", 41},
      {&IID_IKESInstaller, L"Install3rdPartyComponent", 26}, {&IID_IKESInstaller, L"InstallComponent", 15},
      {&IID_IKESInstaller, L"InstallComponentVer", 16},      {&IID_IKESInstaller, L"IsComponentMsiInstalled", 17},
      {&IID_IKESInstaller, L"InstallComponentMsi", 18},      {&IID_IKESInstaller, L"ConfigurationString", 21},
      {&IID_IKESInstaller, L"AuthCredential", 20},
  };
  // The registered library's, as a script host finds it.
  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_KESILib, 2, 0, 0, library.put()));
  for (const Member& member : members) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*member.iid, info.put()));
    LPOLESTR names[] = {const_cast<LPOLESTR>(member.name)};
    DISPID id = -1;
    EXPECT_EQ(S_OK, info->GetIDsOfNames(names, 1, &id)) << Narrow(member.name);
    EXPECT_EQ(member.id, id) << Narrow(member.name);
  }
}

TEST_F(ControlHost, SafetyOptionsAreExactlyTheTwoForInterfacesTheObjectHas) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    ComPtr<IDispatch> object = CreateRegistered(*c.clsid);
    ASSERT_TRUE(object);
    ComPtr<IObjectSafety> safety;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IObjectSafety, safety.put_void()));
    DWORD supported = 99, enabled = 99;
    ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
    EXPECT_EQ(3u, supported);
    EXPECT_EQ(0u, enabled);

    struct Step {
      const IID* iid;
      DWORD mask, options;
      HRESULT expected;
      DWORD enabledAfter;  // as read back for IDispatch
    };
    const Step steps[] = {
        {&IID_IDispatch, 3, 3, S_OK, 3},
        {&IID_IDispatch, 4, 4, E_FAIL, 3},                // an option the object does not have
        {&IID_IDispatch, 7, 0, E_FAIL, 3},                // nothing of a refused mask is applied
        {&IID_IPersistPropertyBag, 1, 0, S_OK, 2},        // only the masked bit changes
        {c.iid, 1, 1, S_OK, 3},
        {&IID_IOleObject, 3, 0, E_NOINTERFACE, 3},        // an interface the object lacks
    };
    for (const Step& step : steps) {
      EXPECT_EQ(step.expected, safety->SetInterfaceSafetyOptions(*step.iid, step.mask, step.options))
          << "mask " << step.mask << " options " << step.options;
      ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
      EXPECT_EQ(step.enabledAfter, enabled) << "after mask " << step.mask;
    }
    supported = enabled = 99;
    EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IOleObject, &supported, &enabled));
    EXPECT_EQ(0u, supported);
    EXPECT_EQ(0u, enabled);
  }
}

// The object-tag parameters reach the same setters as script: what the bag gave reads back, a parameter the
// page did not give is left alone, and an empty bag loads.
TEST_F(ControlHost, PropertyBagSetsTheGivenParametersThroughTheSetters) {
  const std::wstring configuration = L"[InstallSettings]\nUILevel=NONE\n";
  struct BagCase {
    const char* name;
    std::map<std::wstring, std::wstring> parameters;
    std::wstring credential, configuration;
  };
  const BagCase cases[] = {
      {"all", {{L"AuthCredential", L"FARLINK_ID=bag"}, {L"ConfigurationString", configuration}}, L"FARLINK_ID=bag",
       configuration},
      // A property never put reads as an empty text: the object answers a null BSTR, which the type
      // library's Invoke hands on as an empty one under Wine.
      {"credential only", {{L"AuthCredential", L"FARLINK_ID=bag"}}, L"FARLINK_ID=bag", L""},
      {"none", {}, L"", L""},
  };
  for (const ClassCase& c : kClasses) {
    for (const BagCase& bagCase : cases) {
      SCOPED_TRACE(std::string(c.name) + ", " + bagCase.name);
      ComPtr<IDispatch> byBag = CreateRegistered(*c.clsid);
      ASSERT_TRUE(byBag);
      ComPtr<IPersistPropertyBag> persist;
      ASSERT_EQ(S_OK, byBag->QueryInterface(IID_IPersistPropertyBag, persist.put_void()));
      CLSID clsid = {};
      EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
      EXPECT_TRUE(IsEqualCLSID(*c.clsid, clsid));
      ParameterBag bag(bagCase.parameters);
      ASSERT_EQ(S_OK, persist->InitNew());
      ASSERT_EQ(S_OK, persist->Load(&bag, nullptr));
      EXPECT_EQ(Narrow(bagCase.credential), Narrow(GetProperty(byBag.get(), L"AuthCredential")));
      EXPECT_EQ(Narrow(bagCase.configuration), Narrow(GetProperty(byBag.get(), L"ConfigurationString")));

      // The same values put by script read back the same.
      ComPtr<IDispatch> byScript = CreateRegistered(*c.clsid);
      ASSERT_TRUE(byScript);
      for (const auto& parameter : bagCase.parameters)
        ASSERT_EQ(S_OK, PutProperty(byScript.get(), parameter.first.c_str(), parameter.second.c_str()));
      EXPECT_EQ(Narrow(GetProperty(byBag.get(), L"AuthCredential")), Narrow(GetProperty(byScript.get(), L"AuthCredential")));
      EXPECT_EQ(Narrow(GetProperty(byBag.get(), L"ConfigurationString")),
                Narrow(GetProperty(byScript.get(), L"ConfigurationString")));
    }
  }
}

// With the free-threaded marshaller, a pointer handed to a thread of another apartment is the object itself.
TEST_F(ControlHost, PointerPassedToAnotherApartmentIsTheObjectItself) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    ComPtr<IDispatch> object = CreateRegistered(*c.clsid);
    ASSERT_TRUE(object);
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IDispatch, object.get(), &stream));
    IDispatch* received = nullptr;
    HRESULT unmarshalled = E_FAIL;
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread other([&] {
      ComApartment multi(COINIT_MULTITHREADED);
      IDispatch* pointer = nullptr;
      unmarshalled = CoGetInterfaceAndReleaseStream(stream, IID_IDispatch, reinterpret_cast<void**>(&pointer));
      received = pointer;  // compared only: a proxy belongs to this apartment and is released here
      if (pointer) pointer->Release();
      SetEvent(done.get());
    });
    // A proxy would call back into this apartment: serve its messages meanwhile (bounded).
    const ULONGLONG deadline = GetTickCount64() + 30000;
    HANDLE wait = done.get();
    while (MsgWaitForMultipleObjects(1, &wait, FALSE, 1000, QS_ALLINPUT) != WAIT_OBJECT_0 &&
           GetTickCount64() < deadline) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    other.join();
    ASSERT_EQ(S_OK, unmarshalled);
    EXPECT_EQ(object.get(), received);
  }
}

// The library may be unloaded only when no object and no held class factory remains.
TEST_F(ControlHost, LibraryStaysLoadedWhileAnObjectOrFactoryLives) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KESInterrogator, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   factory.put_void()));
  HMODULE library = GetModuleHandleW(L"KESI.dll");
  ASSERT_NE(nullptr, library);
  auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(library, "DllCanUnloadNow"));
  ASSERT_NE(nullptr, canUnload);
  EXPECT_EQ(S_FALSE, canUnload()) << "a held factory";
  ComPtr<IDispatch> object;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()));
  factory.reset();
  EXPECT_EQ(S_FALSE, canUnload()) << "a live object";
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KESInstaller, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   factory.put_void()));
  IUnknown* aggregate = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(object.get(), IID_IUnknown, reinterpret_cast<void**>(&aggregate)));
  factory.reset();
  object.reset();
  EXPECT_EQ(S_OK, canUnload());
}

TEST_F(ControlHost, ClassInfoAndSite) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    ComPtr<IDispatch> object = CreateRegistered(*c.clsid);
    ASSERT_TRUE(object);
    ComPtr<IProvideClassInfo> provide;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IProvideClassInfo, provide.put_void()));
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, provide->GetClassInfo(info.put()));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
    EXPECT_TRUE(IsEqualGUID(*c.clsid, attributes->guid));
    info->ReleaseTypeAttr(attributes);

    ComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IObjectWithSite, withSite.put_void()));
    ComPtr<IOleClientSite> none;
    EXPECT_EQ(E_FAIL, withSite->GetSite(IID_IOleClientSite, none.put_void()));
    PageSite site(L"https://Appliance.Example:8443/login/page.html");
    ASSERT_EQ(S_OK, withSite->SetSite(&site));
    ComPtr<IOleClientSite> back;
    ASSERT_EQ(S_OK, withSite->GetSite(IID_IOleClientSite, back.put_void()));
    EXPECT_EQ(static_cast<IOleClientSite*>(&site), back.get());
    EXPECT_EQ(S_OK, withSite->SetSite(nullptr));
  }
}

// The page URL comes from the site's container moniker; a site without one tells none.
TEST_F(ControlHost, PageUrlIsTheContainerMonikersName) {
  PageSite site(L"https://appliance.example/login/page.html");
  EXPECT_EQ("https://appliance.example/login/page.html", Narrow(PageUrlOfSite(&site)));
  PageSite noMoniker(L"");
  EXPECT_EQ("", Narrow(PageUrlOfSite(&noMoniker)));
  EXPECT_EQ("", Narrow(PageUrlOfSite(nullptr)));
}

}  // namespace
}  // namespace kesi::test
