#include "ServerName.h"

#include <cwchar>

#include "ErrorCodes.h"

namespace kesi {

uint32_t SplitServerName(const wchar_t* server, wchar_t* hostOut, size_t capacity, uint16_t* port) {
  if (!server || !*server || !hostOut || !capacity || !port) return kErrorInvalidParameter;
  const wchar_t* hostStart = server;
  size_t hostLength = wcslen(server);
  const wchar_t* portText = nullptr;
  if (server[0] == L'[') {
    const wchar_t* close = wcschr(server, L']');
    if (!close || close == server + 1) return kErrorInvalidParameter;
    hostStart = server + 1;
    hostLength = static_cast<size_t>(close - hostStart);
    if (close[1] == L':')
      portText = close + 2;
    else if (close[1] != 0)
      return kErrorInvalidParameter;
  } else {
    const wchar_t* colon = wcschr(server, L':');
    // A bare IPv6 address has more than one colon and names no port.
    if (colon && !wcschr(colon + 1, L':')) {
      hostLength = static_cast<size_t>(colon - server);
      portText = colon + 1;
    }
  }
  if (hostLength == 0 || hostLength >= capacity) return kErrorInvalidParameter;
  unsigned long number = kApplianceDefaultPort;
  if (portText) {
    if (!*portText || wcslen(portText) > 5) return kErrorInvalidParameter;
    number = 0;
    for (const wchar_t* p = portText; *p; ++p) {
      if (*p < L'0' || *p > L'9') return kErrorInvalidParameter;
      number = number * 10 + static_cast<unsigned long>(*p - L'0');
    }
    if (number == 0 || number > 65535) return kErrorInvalidParameter;
  }
  wmemcpy(hostOut, hostStart, hostLength);
  hostOut[hostLength] = 0;
  *port = static_cast<uint16_t>(number);
  return 0;
}

}  // namespace kesi
