#include "InstallPath.h"

#include <cstring>
#include <cwchar>
#include <type_traits>

namespace kesi {

uint32_t JoinInstallPath(std::wstring* out, std::initializer_list<const wchar_t*> parts) {
  size_t length = 0;
  for (const wchar_t* part : parts) {
    if (!part) continue;
    length += wcslen(part);
    if (length >= kInstallPathChars) return kErrorFilenameExceedsRange;
  }
  std::wstring joined;
  joined.reserve(length);
  for (const wchar_t* part : parts)
    if (part) joined += part;
  *out = std::move(joined);
  return 0;
}

uint32_t EnsureTrailingBackslash(std::wstring* path) {
  if (!path->empty() && path->back() == L'\\') return 0;
  if (path->size() + 1 >= kInstallPathChars) return kErrorFilenameExceedsRange;
  path->push_back(L'\\');
  return 0;
}

namespace {

template <typename Char>
Char Upper(Char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

// "CON", "nul.txt", "COM1 .log": names that Windows opens as a device in any folder. The stem is the
// text before the first dot, trailing blanks ignored.
template <typename Char>
bool IsDeviceName(const Char* name) {
  size_t stem = 0;
  while (name[stem] && name[stem] != '.') ++stem;
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  auto is = [&](const char* word) {
    for (size_t i = 0; i < 3; ++i)
      if (Upper(name[i]) != static_cast<Char>(word[i])) return false;
    return true;
  };
  if (stem == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  if (stem == 4 && name[3] >= '1' && name[3] <= '9') return is("COM") || is("LPT");
  return false;
}

template <typename Char>
uint32_t CheckName(const Char* name) {
  if (!name || !name[0]) return kErrorInvalidParameter;
  if (name[0] == '.' && !name[1]) return kErrorInvalidParameter;
  for (const Char* p = name; *p; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') return kErrorInvalidParameter;
    if (*p == '.' && p[1] == '.') return kErrorInvalidParameter;
    // Control characters and wildcards name no file; the system would refuse them or read them otherwise.
    if (static_cast<std::make_unsigned_t<Char>>(*p) < 0x20 || *p == '*' || *p == '?' || *p == '"' || *p == '<' || *p == '>' || *p == '|')
      return kErrorInvalidParameter;
  }
  return IsDeviceName(name) ? kErrorInvalidParameter : 0;
}

}  // namespace

uint32_t CheckInstallEntryName(const wchar_t* name) { return CheckName(name); }
uint32_t CheckInstallEntryName(const char* name) { return CheckName(name); }

uint32_t ComponentNameFromUrlPath(const wchar_t* urlPath, std::wstring* name) {
  if (!urlPath) return kErrorInvalidParameter;
  const wchar_t* fileName = wcsrchr(urlPath, L'/');
  fileName = fileName ? fileName + 1 : urlPath;
  const size_t length = wcslen(fileName);
  if (length < 5 || length > 256) return kErrorInvalidParameter;
  std::wstring candidate(fileName, length - 4);
  if (CheckInstallEntryName(candidate.c_str())) return kErrorInvalidParameter;
  *name = std::move(candidate);
  return 0;
}

uint32_t CheckCabUrl(const wchar_t* url) {
  if (!url || !url[0]) return kErrorInvalidParameter;
  return wcslen(url) < kInstallPathChars ? 0 : kErrorInvalidParameter;
}

}  // namespace kesi
