#pragma once
// Digests written as hexadecimal text: upper-case digits, two per byte, high nibble first. OS-free.
#include <cstddef>
#include <cstdint>

namespace kesi {

// Writes 2 x count digits and a terminator into text when *length (characters, terminator included)
// leaves room for them, and sets *length to 2 x count. With no text buffer, or one that is too small,
// nothing is written, *length receives the size needed (2 x count + 1) and the result is false.
// False as well when length is null or bytes is null while count is not 0.
bool BytesToHex(const uint8_t* bytes, size_t count, char* text, size_t* length);

}  // namespace kesi
