#pragma once
// The keys built into every program of the client (their bytes live in BuiltInKeys.inc).
#include <cstddef>

namespace kesi {
// AES-256 key of the line cipher.
extern const unsigned char kLineCipherKey[32];
// HMAC-SHA1 key of the configuration MAC, zero-terminated: its length is found by the first zero byte.
extern const unsigned char kConfigMacKey[21];
}
