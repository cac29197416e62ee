// Agent URLs and versions of any text: an accepted deploy place is made of plain names (no separator,
// colon, "..", control character or wildcard, not empty, not "."), with an agent file type; a refused one
// leaves nothing behind. A reduced version is refused or printable, and the text comparison never reads
// past either version.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "AgentRules.h"
#include "PlainName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<wchar_t> text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  text.push_back(0);

  kesi::DeployPlace place;
  const uint32_t result = kesi::DeployPlaceFromUrl(text.data(), &place);
  if (result == 0) {
    if (!fuzz::IsPlainName(place.fileName)) std::abort();
    for (const std::wstring& folder : place.folders)
      if (!fuzz::IsPlainName(folder)) std::abort();
    if (place.extension != L".msi" && place.extension != L".dll" && place.extension != L".cfg" &&
        place.extension != L".pbk")
      std::abort();
  } else if (result != kesi::kErrorInvalidParameter || !place.folders.empty() || !place.fileName.empty()) {
    std::abort();
  }

  kesi::ThreePartVersion version;
  if (!kesi::ReduceAgentVersion(text.data(), &version) && (version.major || version.minor || version.build))
    std::abort();
  kesi::ThreePartText(version);

  const size_t half = text.size() / 2;
  std::wstring agent(text.data(), text.data() + half);
  kesi::DllVersionNeedsUpdate(agent.c_str(), text.data() + half);

  std::wstring credential = L"unchanged";
  const uint32_t taken = kesi::CredentialFromCookieText(text.data(), &credential);
  if (taken == 0 ? credential.size() >= kesi::kCredentialChars || credential.compare(0, 11, L"FARLINK_ID=") != 0
                 : credential != L"unchanged")
    std::abort();
  return 0;
}
