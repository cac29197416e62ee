// SplitServerName on any server name and any host room. The name comes from the caller's configuration
// or a page: the split never reads past the name's NUL or writes outside the room, and what it accepts
// is a non-empty host that fits with its NUL and a port from 1 to 65535 that the name spells.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <vector>

#include "ServerName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte is the room in cells; the rest, two bytes a character, is the name.
  const size_t room = data[0];
  std::vector<wchar_t> name;
  for (size_t i = 1; i + 1 < size; i += 2) name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  name.push_back(0);
  const size_t nameLength = std::wcslen(name.data());
  // Exactly room cells on the heap, so that a write behind them is caught.
  std::unique_ptr<wchar_t[]> host(new wchar_t[room ? room : 1]);
  uint16_t port = 0;
  if (kesi::SplitServerName(name.data(), room ? host.get() : nullptr, room, &port) != 0) return 0;

  const size_t hostLength = std::wcslen(host.get());
  if (hostLength == 0 || hostLength >= room || hostLength > nameLength || port == 0) std::abort();
  // The host is the name's text (inside brackets for an address in them).
  const wchar_t* at = std::wcsstr(name.data(), host.get());
  if (!at || (at != name.data() && !(at == name.data() + 1 && name[0] == L'['))) std::abort();
  if (port != kesi::kApplianceDefaultPort && !std::wcschr(name.data(), L':')) std::abort();
  return 0;
}
