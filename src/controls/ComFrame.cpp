#include "ComFrame.h"

#include <mshtml.h>

#include <mutex>

namespace kesi::controls {

namespace {

std::atomic<LONG> g_moduleLocks{0};

// The module's type library, loaded on first use and kept for the process.
std::once_flag g_typeLibOnce;
ITypeLib* g_typeLib = nullptr;
HRESULT g_typeLibResult = E_FAIL;

void LoadControlsTypeLib() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(ControlsModule(), path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    g_typeLibResult = HRESULT_FROM_WIN32(length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  g_typeLibResult = LoadTypeLibEx(path, REGKIND_NONE, &g_typeLib);
}

}  // namespace

void LockModule() { ++g_moduleLocks; }
void UnlockModule() { --g_moduleLocks; }
LONG ModuleLockCount() { return g_moduleLocks.load(); }

HMODULE ControlsModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<const wchar_t*>(&ControlsModule), &module);
  return module;
}

HRESULT GetControlsTypeInfo(REFGUID guid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  std::call_once(g_typeLibOnce, LoadControlsTypeLib);
  if (!g_typeLib) return FAILED(g_typeLibResult) ? g_typeLibResult : E_FAIL;
  return g_typeLib->GetTypeInfoOfGuid(guid, info);
}

std::wstring PageUrlOfSite(IUnknown* site) {
  if (!site) return {};
  ComPtr<IOleClientSite> clientSite;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, clientSite.put_void())) || !clientSite) return {};
  // The page's moniker, as a browser gives it to the controls on its pages.
  ComPtr<IMoniker> moniker;
  if (SUCCEEDED(clientSite->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, moniker.put())) &&
      moniker) {
    ComPtr<IBindCtx> bind;
    if (SUCCEEDED(CreateBindCtx(0, bind.put()))) {
      LPOLESTR name = nullptr;
      if (SUCCEEDED(moniker->GetDisplayName(bind.get(), nullptr, &name)) && name) {
        std::wstring url(name);
        CoTaskMemFree(name);
        if (!url.empty()) return url;
      }
    }
  }
  // Else the container's document.
  ComPtr<IOleContainer> container;
  if (FAILED(clientSite->GetContainer(container.put())) || !container) return {};
  ComPtr<IHTMLDocument2> document;
  if (FAILED(container->QueryInterface(IID_IHTMLDocument2, document.put_void())) || !document) return {};
  BSTR url = nullptr;
  if (FAILED(document->get_URL(&url)) || !url) return {};
  std::wstring text(url, SysStringLen(url));
  SysFreeString(url);
  return text;
}

}  // namespace kesi::controls
