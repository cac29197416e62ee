// ClassifyLocalPath on any text: it never reads past the NUL, and "/" and "\" are the same separator to it
// (a path with every "/" turned into "\" is classified alike); text that does not start, after blanks,
// with a separator is local.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "LocalPath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two bytes a character, exactly as long as the input, so that a read behind the NUL is caught.
  std::vector<wchar_t> path;
  for (size_t i = 0; i + 1 < size; i += 2) path.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  path.push_back(0);
  const kesi::PathKind kind = kesi::ClassifyLocalPath(path.data());
  std::vector<wchar_t> backslashed(path);
  for (wchar_t& c : backslashed)
    if (c == L'/') c = L'\\';
  if (kesi::ClassifyLocalPath(backslashed.data()) != kind) std::abort();
  size_t start = 0;
  while (path[start] == L' ' || path[start] == L'\t') ++start;
  if (backslashed[start] != L'\\' && kind != kesi::PathKind::kLocal) std::abort();
  return 0;
}
