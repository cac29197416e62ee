#pragma once
// A web page's client site, as a browser gives it to the controls on the page: its container moniker
// names the page's URL. An empty or unreadable URL gives a site without a moniker. The site lives on the
// test's stack; its counts are only kept.
#include <windows.h>
#include <ocidl.h>
#include <urlmon.h>

#include "Handles.h"

namespace kesi::test {

class PageSite final : public IOleClientSite {
 public:
  explicit PageSite(const wchar_t* url) { CreateURLMonikerEx(nullptr, url, moniker_.put(), URL_MK_UNIFORM); }
  PageSite(const PageSite&) = delete;
  PageSite& operator=(const PageSite&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD which, IMoniker** moniker) override {
    *moniker = nullptr;
    if (which != OLEWHICHMK_CONTAINER || !moniker_) return E_FAIL;
    *moniker = moniker_.get();
    (*moniker)->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    *container = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

 private:
  ComPtr<IMoniker> moniker_;
  LONG refs_ = 1;
};

}  // namespace kesi::test
