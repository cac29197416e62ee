// The version texts of components on any bytes: the file reader never reads past its size, a complete
// read is the same for the bytes and for their characters, and a comparison is antisymmetric.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ComponentVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, not NUL-terminated, so that a read past size is caught.
  std::unique_ptr<char[]> bytes(new char[size ? size : 1]);
  if (size) memcpy(bytes.get(), data, size);
  uint16_t fromBytes[4];
  const bool complete = kesi::ParseVersionFileText(bytes.get(), size, fromBytes);

  std::vector<wchar_t> wide;
  for (size_t i = 0; i < size && data[i]; ++i) wide.push_back(static_cast<wchar_t>(data[i]));
  wide.push_back(0);
  uint16_t fromChars[4];
  if (kesi::ParseVersionFileText(wide.data(), fromChars) != complete) std::abort();
  if (memcmp(fromBytes, fromChars, sizeof fromBytes) != 0) std::abort();

  uint16_t registered[4];
  kesi::ParseCommaVersion(wide.data(), registered);
  const int ab = kesi::CompareVersionParts(fromBytes, registered);
  const int ba = kesi::CompareVersionParts(registered, fromBytes);
  if ((ab > 0) != (ba < 0) || (ab == 0) != (ba == 0)) std::abort();
  return 0;
}
