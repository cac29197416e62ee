#include "FolderText.h"

#include <cwchar>

#include "InstallPath.h"
#include "LocalPath.h"

namespace kesi {
namespace {

struct Keyword {
  const wchar_t* text;
  FolderBase base;
};

constexpr Keyword kKeywords[] = {
    {L"local", FolderBase::kLocal},     {L"localdata", FolderBase::kLocalData},
    {L"global", FolderBase::kGlobal},   {L"windows", FolderBase::kWindows},
    {L"system", FolderBase::kSystem},   {L"program", FolderBase::kProgram},
    {L"null", FolderBase::kNone},
};

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// text[0, length) equals keyword without regard to (ASCII) case.
bool IsKeyword(const wchar_t* text, size_t length, const wchar_t* keyword) {
  if (wcslen(keyword) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (AsciiLower(text[i]) != keyword[i]) return false;
  return true;
}

// "C:\..." or "C:/...".
bool IsDriveAbsolute(const wchar_t* path) {
  const wchar_t letter = AsciiLower(path[0]);
  return letter >= L'a' && letter <= L'z' && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

}  // namespace

FolderTextParts SplitFolderText(const wchar_t* text) {
  FolderTextParts parts;
  if (!text) return parts;
  parts.subfolder = text;
  const wchar_t* colon = wcschr(text, L':');
  if (!colon) return parts;
  for (const Keyword& k : kKeywords) {
    if (IsKeyword(text, static_cast<size_t>(colon - text), k.text)) {
      parts.base = k.base;
      parts.subfolder = colon + 1;
      break;
    }
  }
  return parts;
}

uint32_t ResolveFolderText(const FolderTextParts& parts, const wchar_t* baseFolder, std::wstring* out) {
  const wchar_t* sub = parts.subfolder ? parts.subfolder : L"";
  if (parts.base == FolderBase::kNone) {
    // An absolute path on a local drive: another machine's share or a device is refused before any file
    // call could reach it, and a relative or rooted text would depend on the current folder or drive.
    if (const uint32_t refused = RefusedPathStatus(ClassifyLocalPath(sub))) return refused;
    if (!IsDriveAbsolute(sub)) return kErrorInvalidData;
    return JoinInstallPath(out, {sub});
  }
  if (!baseFolder || !*baseFolder) return kErrorInvalidData;
  if (parts.base == FolderBase::kCaller) {
    if (!*sub || wcschr(sub, L':')) return kErrorInvalidData;
    return JoinInstallPath(out, {baseFolder, sub});
  }
  if (wcschr(sub, L':')) return kErrorInvalidData;

  std::wstring base(baseFolder);
  if (parts.base == FolderBase::kLocal) {
    while (!base.empty() && base.back() == L'\\') base.pop_back();
    const size_t cut = base.rfind(L'\\');
    if (cut == std::wstring::npos || cut == 0) return kErrorInvalidData;
    base.resize(cut);
  }
  if (!*sub) return JoinInstallPath(out, {base.c_str(), L"\\"});
  const wchar_t* middle = parts.base == FolderBase::kLocal ? L"\\" : L"\\Velmora\\";
  return JoinInstallPath(out, {base.c_str(), middle, sub});
}

}  // namespace kesi
