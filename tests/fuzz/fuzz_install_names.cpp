// Entry names and CAB URL paths of any text: an accepted name holds no separator, colon, "..", control
// character or wildcard, and is neither empty nor "."; the narrow and wide checks agree; a component name
// taken from a URL is such a name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "InstallPath.h"
#include "PlainName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> narrow(data, data + size);
  narrow.push_back(0);
  const size_t narrowLength = strlen(narrow.data());
  const std::wstring asWide(narrow.data(), narrow.data() + narrowLength);
  const bool narrowOk = kesi::CheckInstallEntryName(narrow.data()) == 0;
  if (narrowOk && !fuzz::IsPlainName(asWide)) std::abort();
  if (narrowOk != (kesi::CheckInstallEntryName(asWide.c_str()) == 0)) std::abort();

  std::vector<wchar_t> path;
  for (size_t i = 0; i + 1 < size; i += 2) path.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  path.push_back(0);
  std::wstring name = L"unchanged";
  const uint32_t result = kesi::ComponentNameFromUrlPath(path.data(), &name);
  if (result == 0) {
    if (!fuzz::IsPlainName(name) || name.size() > 252) std::abort();
  } else if (result != kesi::kErrorInvalidParameter || name != L"unchanged") {
    std::abort();
  }
  return 0;
}
