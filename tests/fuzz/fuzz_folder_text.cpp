// Any folder text: a resolved folder fits a path buffer, never names a data stream
// unless "null" gave it outright, and never comes from an empty base.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "FolderText.h"
#include "InstallPath.h"
#include "LocalPath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: length of the base in characters; then two bytes a character.
  std::vector<wchar_t> chars;
  for (size_t i = 1; i + 1 < size; i += 2) chars.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  const size_t baseLength = data[0] % (chars.size() + 1);
  const std::wstring base(chars.begin(), chars.begin() + static_cast<std::ptrdiff_t>(baseLength));
  std::vector<wchar_t> text(chars.begin() + static_cast<std::ptrdiff_t>(baseLength), chars.end());
  text.push_back(0);
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (!text[i]) return 0;

  const kesi::FolderTextParts parts = kesi::SplitFolderText(text.data());
  std::wstring out;
  const uint32_t result = kesi::ResolveFolderText(parts, base.c_str(), &out);
  if (result != 0 && result != kesi::kErrorInvalidData && result != kesi::kErrorFilenameExceedsRange &&
      result != kesi::kErrorBadNetPath && result != kesi::kErrorBadPathName)
    std::abort();
  if (result) {
    if (!out.empty()) std::abort();
    return 0;
  }
  if (out.empty() || out.size() >= kesi::kInstallPathChars) std::abort();
  if (parts.base == kesi::FolderBase::kNone && kesi::ClassifyLocalPath(out.c_str()) != kesi::PathKind::kLocal)
    std::abort();
  if (parts.base != kesi::FolderBase::kNone) {
    if (base.empty()) std::abort();
    if (wcschr(parts.subfolder, L':')) std::abort();
  }
  return 0;
}
