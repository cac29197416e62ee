// The check for the OPSWATAV, OPSWATPFW and OPSWATAS kinds: one call into the outside engine per literal.
#include <windows.h>
#include <oleauto.h>

#include "Checks.h"
#include "Handles.h"
#include "LiteralLine.h"
#include "OpswatEngine.h"
#include "RQString.h"

namespace {

// COM for the length of one call. A thread that already lives in the other apartment model keeps it:
// COM is usable there, and it must not be uninitialised by us.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool Usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT Code() const { return hr_; }

 private:
  HRESULT hr_;
};

HRESULT CreateEngine(kesi::ComPtr<IOpswatEngine>* engine) {
  return CoCreateInstance(kOpswatEngineClsid, nullptr, CLSCTX_LOCAL_SERVER, kOpswatEngineIid,
                          engine->put_void());
}

}  // namespace

HRESULT EvaluateOpswat(int kind, const RQString& parameters, LONG* verdict) {
  if (!verdict) return E_POINTER;
  if (kind != kesi::kKindOpswatAntiVirus && kind != kesi::kKindOpswatAntiSpyware &&
      kind != kesi::kKindOpswatFirewall)
    return E_INVALIDARG;

  ComScope com;
  if (!com.Usable()) return com.Code();
  kesi::ComPtr<IOpswatEngine> engine;
  HRESULT hr = CreateEngine(&engine);
  if (FAILED(hr)) return hr;

  BSTR product = SysAllocString(parameters);
  if (!product) return E_OUTOFMEMORY;
  VARIANT_BOOL present = VARIANT_FALSE;
  switch (kind) {
    case kesi::kKindOpswatAntiVirus: hr = engine->CheckAntiVirus(product, &present); break;
    case kesi::kKindOpswatAntiSpyware: hr = engine->CheckAntiSpyware(product, &present); break;
    default: hr = engine->CheckFirewall(product, &present); break;
  }
  // The engine's boolean widened with its sign: TRUE arrives as -1.
  if (SUCCEEDED(hr)) *verdict = static_cast<LONG>(present);
  SysFreeString(product);
  return hr;
}

void CloseOpswatEngine() {
  ComScope com;
  if (!com.Usable()) return;
  kesi::ComPtr<IOpswatEngine> engine;
  if (SUCCEEDED(CreateEngine(&engine))) engine->Close(0);
}
