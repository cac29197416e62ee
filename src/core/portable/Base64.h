#pragma once
// Standard Base64 (RFC 4648, with "=" padding): the line cipher's text form, and the form in which
// certificates, protected secrets, the configuration MAC and the equipment id travel. OS-free: built for
// Windows and natively.
#include <cstddef>

namespace kesi {

// Writes at most outSize - 1 characters and a terminating zero (size the output as
// ((count + 2) / 3) * 4 + 1) and returns the number of characters written.
int Base64Encode(const unsigned char* bytes, size_t count, char* out, size_t outSize);
// Decodes text (characters outside the alphabet are skipped, "=" ends it). *size holds the room in out on
// entry and the decoded length on success; the byte behind the decoded ones is set to zero. Returns 0, or
// -1 when out would not keep that spare byte (or *size is 0). A single character left over (six bits)
// decodes to nothing.
int Base64Decode(const char* text, unsigned char* out, size_t* size);
// The same, and *length (on success) receives strlen(text), found on the way: a caller that needs both
// reads the text once.
int Base64Decode(const char* text, unsigned char* out, size_t* size, size_t* length);

}  // namespace kesi
