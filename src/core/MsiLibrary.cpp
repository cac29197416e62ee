#include "MsiLibrary.h"

#include "Handles.h"

namespace kesi {
namespace {

template <typename F>
bool Bind(HMODULE module, WORD ordinal, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
  return *function != nullptr;
}

struct Binding {
  MsiLibrary calls = {};
  bool bound = false;
  DWORD error = 0;
};

Binding Load() {
  Binding binding;
  wchar_t path[MAX_PATH + 16];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    binding.error = length ? ERROR_BUFFER_OVERFLOW : GetLastError();
    return binding;
  }
  lstrcpyW(path + length, L"\\msi.dll");
  // Kept for the life of the process: owners may close their handles as late as static destruction.
  const HMODULE module = LoadLibraryW(path);
  if (!module) {
    binding.error = GetLastError();
    return binding;
  }
  MsiLibrary& c = binding.calls;
  binding.bound = Bind(module, 8, &c.closeHandle) && Bind(module, 70, &c.getProductInfo) &&
                  Bind(module, 72, &c.getProductProperty) && Bind(module, 88, &c.installProduct) &&
                  Bind(module, 92, &c.openDatabase) &&
                  Bind(module, 113, &c.queryProductState) && Bind(module, 141, &c.setInternalUI) &&
                  Bind(module, 169, &c.enableLog) && Bind(module, 190, &c.configureProductEx) &&
                  Bind(module, 232, &c.openPackageEx);
  if (!binding.bound) binding.error = ERROR_PROC_NOT_FOUND;
  return binding;
}

}  // namespace

const MsiLibrary* BindMsiLibrary() {
  static const Binding binding = Load();
  if (!binding.bound) {
    SetLastError(binding.error);
    return nullptr;
  }
  return &binding.calls;
}

void CloseMsiHandle(MSIHANDLE handle) {
  if (const MsiLibrary* msi = BindMsiLibrary()) msi->closeHandle(handle);
}

}  // namespace kesi
