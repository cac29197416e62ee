#pragma once
// Small owners for what the system hands out: handles, keys, Internet handles, certificate stores and
// contexts, service and Windows Installer handles, find handles, modules, LocalAlloc blocks, BSTRs,
// VARIANTs, cryptographic providers and hashes, allocated SIDs and interface pointers; a COM apartment
// scope and a critical-section lock. Each owner releases what it holds exactly once, in its destructor or
// on reset, and keeps the caller's last error across the release, so that "fail, clean up, return
// GetLastError()" reports the failure and not the clean-up.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>
#include <winsvc.h>
#include <msi.h>
#include <oleauto.h>
#include <unknwn.h>
#include <utility>

namespace kesi {

template <typename T, typename Traits>
class UniqueResource {
 public:
  UniqueResource() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueResource(T value) noexcept : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }
  // Releases the current value and returns the address to receive a new one.
  T* put() noexcept {
    reset();
    return &value_;
  }
  T release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  void reset(T value = Traits::Invalid()) noexcept {
    T old = std::exchange(value_, value);
    if (old != Traits::Invalid()) {
      const DWORD error = ::GetLastError();
      Traits::Close(old);
      ::SetLastError(error);
    }
  }

 private:
  T value_;
};

struct HandleTraits {  // handles whose "none" is null: threads, events, mutexes, processes
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // handles whose "none" is INVALID_HANDLE_VALUE: files, pipes, snapshots
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct RegKeyTraits {
  static HKEY Invalid() { return nullptr; }
  static void Close(HKEY k) { ::RegCloseKey(k); }
};
struct InternetTraits {
  static HINTERNET Invalid() { return nullptr; }
  static void Close(HINTERNET h) { ::InternetCloseHandle(h); }
};
struct LocalTraits {
  static HLOCAL Invalid() { return nullptr; }
  static void Close(HLOCAL p) { ::LocalFree(p); }
};
struct ModuleTraits {
  static HMODULE Invalid() { return nullptr; }
  static void Close(HMODULE m) { ::FreeLibrary(m); }
};

struct FindTraits {  // FindFirstFileW
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::FindClose(h); }
};
struct CertStoreTraits {
  static HCERTSTORE Invalid() { return nullptr; }
  static void Close(HCERTSTORE s) { ::CertCloseStore(s, 0); }
};
struct CertContextTraits {
  static PCCERT_CONTEXT Invalid() { return nullptr; }
  static void Close(PCCERT_CONTEXT c) { ::CertFreeCertificateContext(c); }
};
struct CertChainTraits {
  static PCCERT_CHAIN_CONTEXT Invalid() { return nullptr; }
  static void Close(PCCERT_CHAIN_CONTEXT c) { ::CertFreeCertificateChain(c); }
};
struct ServiceTraits {  // the service manager and services
  static SC_HANDLE Invalid() { return nullptr; }
  static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};
// MsiCloseHandle of the msi.dll bound at run time (MsiLibrary.h).
void CloseMsiHandle(MSIHANDLE handle);
struct MsiTraits {  // packages, databases, views and records of Windows Installer
  static MSIHANDLE Invalid() { return 0; }
  static void Close(MSIHANDLE h) { CloseMsiHandle(h); }
};
struct BstrTraits {
  static BSTR Invalid() { return nullptr; }
  static void Close(BSTR b) { ::SysFreeString(b); }
};
struct CryptProviderTraits {  // CryptAcquireContextW
  static HCRYPTPROV Invalid() { return 0; }
  static void Close(HCRYPTPROV p) { ::CryptReleaseContext(p, 0); }
};
struct CryptHashTraits {  // CryptCreateHash
  static HCRYPTHASH Invalid() { return 0; }
  static void Close(HCRYPTHASH h) { ::CryptDestroyHash(h); }
};
struct SidTraits {  // AllocateAndInitializeSid
  static PSID Invalid() { return nullptr; }
  static void Close(PSID s) { ::FreeSid(s); }
};

using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueFile = UniqueResource<HANDLE, FileHandleTraits>;
using UniqueKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueInternet = UniqueResource<HINTERNET, InternetTraits>;
using UniqueLocal = UniqueResource<HLOCAL, LocalTraits>;
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;
using UniqueFind = UniqueResource<HANDLE, FindTraits>;
using UniqueCertStore = UniqueResource<HCERTSTORE, CertStoreTraits>;
using UniqueCertContext = UniqueResource<PCCERT_CONTEXT, CertContextTraits>;
using UniqueCertChain = UniqueResource<PCCERT_CHAIN_CONTEXT, CertChainTraits>;
using UniqueService = UniqueResource<SC_HANDLE, ServiceTraits>;
using UniqueMsi = UniqueResource<MSIHANDLE, MsiTraits>;
using UniqueBstr = UniqueResource<BSTR, BstrTraits>;
using UniqueCryptProvider = UniqueResource<HCRYPTPROV, CryptProviderTraits>;
using UniqueCryptHash = UniqueResource<HCRYPTHASH, CryptHashTraits>;
using UniqueSid = UniqueResource<PSID, SidTraits>;

// An owned VARIANT: cleared (releasing its string, interface or array) in the destructor or on reset.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { reset(); }

  const VARIANT& get() const noexcept { return value_; }
  VARIANT* operator&() noexcept = delete;  // take put() instead, so that nothing is overwritten unreleased
  // Clears the current value and returns the address to receive a new one.
  VARIANT* put() noexcept {
    reset();
    return &value_;
  }
  void reset() noexcept {
    const DWORD error = ::GetLastError();
    ::VariantClear(&value_);
    ::SetLastError(error);
  }

 private:
  VARIANT value_;
};

// COM on the calling thread for the scope's lifetime. A thread that already runs COM in the other model
// (RPC_E_CHANGED_MODE) may still use it, but must not uninitialise what it did not initialise.
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept : hr_(::CoInitializeEx(nullptr, model)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  // COM can be used on this thread.
  bool Usable() const noexcept { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT Result() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

// A critical section, and the one way to hold it: a CriticalSectionLock for a scope.
class CriticalSection {
 public:
  CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
  void Enter() noexcept { ::EnterCriticalSection(&cs_); }
  void Leave() noexcept { ::LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) noexcept : cs_(cs) { cs_.Enter(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
  ~CriticalSectionLock() { cs_.Leave(); }

 private:
  CriticalSection& cs_;
};

// An owned COM interface pointer.
template <typename I>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(I* p) noexcept : p_(p) { if (p_) p_->AddRef(); }  // NOLINT: shares the reference
  ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  I* get() const noexcept { return p_; }
  I* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  I** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  I* detach() noexcept { return std::exchange(p_, nullptr); }
  void attach(I* p) noexcept {
    reset();
    p_ = p;
  }
  void reset() noexcept {
    if (I* old = std::exchange(p_, nullptr)) {
      const DWORD error = ::GetLastError();
      old->Release();
      ::SetLastError(error);
    }
  }

 private:
  I* p_ = nullptr;
};

}  // namespace kesi
