#include "BrokerPackage.h"

#include <shlobj.h>

#include <new>

namespace kesi::install {

DWORD BrokerPackagePath(std::wstring* path) {
  wchar_t folder[MAX_PATH];
  const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  try {
    path->assign(folder);
    path->append(L"\\Velmora\\deploy\\");
    path->append(kBrokerPackageName);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return 0;
}

bool IsBrokerPackageTarget(const std::wstring& target) {
  std::wstring lower = target;
  if (!lower.empty()) CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
  return lower.find(L"kesivista.msi") != std::wstring::npos;
}

}  // namespace kesi::install
