#include "DriverRequest.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "InstallPath.h"

namespace kesi {
namespace {

// text as UTF-16 units (wchar_t is UTF-16 on Windows; elsewhere characters above U+FFFF are split).
std::vector<uint16_t> Utf16(const std::wstring& text) {
  std::vector<uint16_t> units;
  for (wchar_t c : text) {
    const uint32_t v = static_cast<uint32_t>(c);
    if (v > 0xFFFF && v <= 0x10FFFF) {
      units.push_back(static_cast<uint16_t>(0xD800 + ((v - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((v - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(v));
    }
  }
  return units;
}

bool StartsWithSystem32(const wchar_t* path) {
  static const wchar_t kPrefix[] = L"system32\\";
  for (size_t i = 0; kPrefix[i]; ++i) {
    wchar_t c = path[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    if (c != kPrefix[i]) return false;
  }
  return true;
}

// "\??\" + path as one field; false when it does not fit with its NUL.
bool FillField(const std::wstring& path, uint8_t* field) {
  const std::vector<uint16_t> units = Utf16(L"\\??\\" + path);
  if (units.size() >= kDriverPathFieldChars) return false;
  memset(field, 0, kDriverPathFieldChars * 2);
  for (size_t i = 0; i < units.size(); ++i) {
    field[2 * i] = static_cast<uint8_t>(units[i]);
    field[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  return true;
}

}  // namespace

uint32_t BuildDriverUpdateRequest(const wchar_t* newDriverPath, const wchar_t* imagePath,
                                  const wchar_t* windowsFolder, uint8_t request[kDriverUpdateRequestSize]) {
  if (!newDriverPath || !*newDriverPath || !imagePath || !*imagePath) return kErrorInvalidParameter;
  std::wstring image(imagePath);
  if (StartsWithSystem32(imagePath)) {
    if (!windowsFolder || !*windowsFolder) return kErrorInvalidParameter;
    image = std::wstring(windowsFolder) + L"\\" + image;
  }
  uint8_t built[kDriverUpdateRequestSize] = {};
  if (!FillField(newDriverPath, built + offsetof(DriverUpdateRequest, newPath)) ||
      !FillField(image, built + offsetof(DriverUpdateRequest, imagePath)))
    return kErrorFilenameExceedsRange;
  memcpy(request, built, sizeof built);
  return 0;
}

uint32_t ProviderFolder(const wchar_t* dllPath, std::wstring* folder) {
  if (!dllPath) dllPath = L"";
  const wchar_t* last = wcsrchr(dllPath, L'\\');
  const std::wstring text = last ? std::wstring(dllPath, static_cast<size_t>(last - dllPath)) : std::wstring(dllPath);
  return JoinInstallPath(folder, {text.c_str()});
}

uint32_t JoinThreePath(const wchar_t* first, const wchar_t* second, const wchar_t* third, std::wstring* out) {
  return JoinInstallPath(out, {first, L"\\", second, L"\\", third});
}

}  // namespace kesi
