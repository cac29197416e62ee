#pragma once
// The outside product-check engine: a COM local server. Its dual interface carries three checks that
// each take a product description and answer with a 16-bit boolean, then a closing call.
#include <windows.h>
#include <oaidl.h>

#include "Handles.h"

namespace kesi {

// {6F254038-67F0-4388-973B-91CE0EBF3B24}
constexpr CLSID kOpswatEngineClsid = {0x6F254038, 0x67F0, 0x4388, {0x97, 0x3B, 0x91, 0xCE, 0x0E, 0xBF, 0x3B, 0x24}};
// {5E3A5A00-39D6-4C9E-A8DA-082E789E4C40}
constexpr IID kOpswatEngineIid = {0x5E3A5A00, 0x39D6, 0x4C9E, {0xA8, 0xDA, 0x08, 0x2E, 0x78, 0x9E, 0x4C, 0x40}};

// The slot order is the engine's: the three checks directly behind IDispatch, then the closing call.
struct IOpswatEngine : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE CheckAntiVirus(BSTR product, VARIANT_BOOL* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckAntiSpyware(BSTR product, VARIANT_BOOL* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckFirewall(BSTR product, VARIANT_BOOL* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close(int reserved) = 0;
};

// One run of checks on this thread: the OPSWAT checks made while it lasts share one engine object
// (creating one costs tens of milliseconds, a call one or two), and at its end the engine's closing call
// is made with 0, on that object or on a new one. Failures are ignored. Scopes nest; COM must stay
// initialised on the thread for the scope's lifetime.
class OpswatRunScope {
 public:
  OpswatRunScope();
  ~OpswatRunScope();
  OpswatRunScope(const OpswatRunScope&) = delete;
  OpswatRunScope& operator=(const OpswatRunScope&) = delete;

 private:
  kesi::ComPtr<IOpswatEngine> engine_;
  kesi::ComPtr<IOpswatEngine>* outer_;
};

}  // namespace kesi
