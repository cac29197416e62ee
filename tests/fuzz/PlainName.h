#pragma once
// The fuzz targets' own statement of a plain file name, written apart from the product's check: not
// empty, not ".", no "..", no separator, colon, control character or wildcard.
#include <cwchar>
#include <string>

namespace fuzz {

inline bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name == L"." || name.find(L"..") != std::wstring::npos) return false;
  for (const wchar_t c : name)
    if ((c >= 0 && c < 0x20) || wcschr(L"\\/:*?\"<>|", c)) return false;
  return true;
}

}  // namespace fuzz
