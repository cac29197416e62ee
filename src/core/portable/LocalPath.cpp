#include "LocalPath.h"

#include <cwctype>

namespace kesi {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool SameLetters(const wchar_t* text, const wchar_t* upper) {
  for (; *upper; ++text, ++upper)
    if (*text != *upper && *text != static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*upper)))) return false;
  return true;
}

// text starts with "UNC" and a separator (the device namespace's name for the network redirector).
bool IsUncPrefix(const wchar_t* text) { return SameLetters(text, L"UNC") && IsSeparator(text[3]); }

}  // namespace

PathKind ClassifyLocalPath(const wchar_t* path) {
  if (!path) return PathKind::kLocal;
  while (*path == L' ' || *path == L'\t') ++path;
  if (!IsSeparator(path[0])) return PathKind::kLocal;  // "C:\x", "C:x", "x\y"
  if (IsSeparator(path[1])) {
    // "\\.\" and "\\?\" (also "\\." and "\\?" alone) are the device namespace; everything else that starts
    // with two separators is a server: WebDAV ("\\host@SSL@443\x") and an empty host included.
    if ((path[2] == L'.' || path[2] == L'?') && (IsSeparator(path[3]) || path[3] == 0))
      return path[3] && IsUncPrefix(path + 4) ? PathKind::kNetwork : PathKind::kDevice;
    return PathKind::kNetwork;
  }
  // "\??\" is the object manager's own prefix, which the file calls pass through unchanged.
  if (path[1] == L'?' && path[2] == L'?' && IsSeparator(path[3]))
    return IsUncPrefix(path + 4) ? PathKind::kNetwork : PathKind::kDevice;
  return PathKind::kLocal;  // "\x": the root of the current drive
}

uint32_t RefusedPathStatus(PathKind kind) {
  switch (kind) {
    case PathKind::kNetwork: return kErrorBadNetPath;
    case PathKind::kDevice: return kErrorBadPathName;
    default: return 0;
  }
}

}  // namespace kesi
