// The check for the OPSWATAV, OPSWATPFW and OPSWATAS kinds: one call into the outside engine per literal.
#include <windows.h>
#include <oleauto.h>

#include "Checks.h"
#include "Handles.h"
#include "LiteralLine.h"
#include "OpswatEngine.h"
#include "RQString.h"

namespace kesi {

namespace {

HRESULT CreateEngine(kesi::ComPtr<IOpswatEngine>* engine) {
  return CoCreateInstance(kOpswatEngineClsid, nullptr, CLSCTX_LOCAL_SERVER, kOpswatEngineIid,
                          engine->put_void());
}

// The engine object of the thread's current run (OpswatRunScope), or null outside a run.
thread_local kesi::ComPtr<IOpswatEngine>* t_runEngine = nullptr;

// The object went away with its server: worth one more try with a fresh one.
bool ServerGone(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE ||
         hr == CO_E_OBJNOTCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
         hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
}

HRESULT Call(IOpswatEngine* engine, int kind, BSTR product, VARIANT_BOOL* present) {
  switch (kind) {
    case kesi::kKindOpswatAntiVirus: return engine->CheckAntiVirus(product, present);
    case kesi::kKindOpswatAntiSpyware: return engine->CheckAntiSpyware(product, present);
    default: return engine->CheckFirewall(product, present);
  }
}

}  // namespace

HRESULT EvaluateOpswat(int kind, const RQString& parameters, LONG* verdict) {
  if (!verdict) return E_POINTER;
  if (kind != kesi::kKindOpswatAntiVirus && kind != kesi::kKindOpswatAntiSpyware &&
      kind != kesi::kKindOpswatFirewall)
    return E_INVALIDARG;

  // COM for the length of one call; a thread that already lives in the other model keeps it.
  ComApartment com;
  if (!com.Usable()) return com.Result();
  // Within a run the object is made once and kept; a failed creation is tried again by the next literal.
  kesi::ComPtr<IOpswatEngine> own;
  kesi::ComPtr<IOpswatEngine>* engine = t_runEngine ? t_runEngine : &own;
  bool kept = *engine ? true : false;
  HRESULT hr = S_OK;
  if (!*engine) {
    hr = CreateEngine(engine);
    if (FAILED(hr)) return hr;
  }

  UniqueBstr product(SysAllocString(parameters));
  if (!product) return E_OUTOFMEMORY;
  VARIANT_BOOL present = VARIANT_FALSE;
  hr = Call(engine->get(), kind, product.get(), &present);
  if (kept && ServerGone(hr)) {
    engine->reset();
    hr = CreateEngine(engine);
    if (SUCCEEDED(hr)) hr = Call(engine->get(), kind, product.get(), &present);
  }
  // The engine's boolean widened with its sign: TRUE arrives as -1.
  if (SUCCEEDED(hr)) *verdict = static_cast<LONG>(present);
  return hr;
}

OpswatRunScope::OpswatRunScope() : outer_(t_runEngine) { t_runEngine = &engine_; }

OpswatRunScope::~OpswatRunScope() {
  t_runEngine = outer_;
  ComApartment com;
  if (!com.Usable()) return;
  if (!engine_ && FAILED(CreateEngine(&engine_))) return;
  engine_->Close(0);
  engine_.reset();
}

}  // namespace kesi
