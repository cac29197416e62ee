#pragma once
// Small owners for the handles, keys, Internet handles, interface pointers and LocalAlloc blocks of the
// system: each releases what it holds exactly once, in its destructor or on reset.
#include <windows.h>
#include <wininet.h>
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
    if (old != Traits::Invalid()) Traits::Close(old);
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

using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueFile = UniqueResource<HANDLE, FileHandleTraits>;
using UniqueKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueInternet = UniqueResource<HINTERNET, InternetTraits>;
using UniqueLocal = UniqueResource<HLOCAL, LocalTraits>;
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;

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
    if (I* old = std::exchange(p_, nullptr)) old->Release();
  }

 private:
  I* p_ = nullptr;
};

}  // namespace kesi
