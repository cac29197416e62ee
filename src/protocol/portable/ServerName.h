#pragma once
// The appliance's server name as the caller gives it: "host", "host:port", "[v6 address]" or
// "[v6 address]:port". OS-free: built for Windows and natively (ASan, UBSan, libFuzzer).
#include <cstddef>
#include <cstdint>

namespace kesi {

// Default HTTPS port; a server named "host:port" is reached on that port instead.
constexpr uint16_t kApplianceDefaultPort = 443;

// Splits server into the host that the connection is made to (into hostOut, capacity cells, with its
// NUL) and the port (443 when none is named). 87 for an empty host, a port that is not a number from 1
// to 65535, a host that does not fit, or a null argument.
uint32_t SplitServerName(const wchar_t* server, wchar_t* hostOut, size_t capacity, uint16_t* port);

}  // namespace kesi
