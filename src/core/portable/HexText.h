#pragma once
// Bytes written as hexadecimal text (digests, fingerprints, pins): upper-case digits, two per byte, high
// nibble first. The one writer of such text, in narrow and wide characters. OS-free.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kesi {

// Writes 2 x count digits and a terminator into text when *length (characters, terminator included)
// leaves room for them, and sets *length to 2 x count. With no text buffer, or one that is too small,
// nothing is written, *length receives the size needed (2 x count + 1) and the result is false.
// False as well when length is null or bytes is null while count is not 0.
bool BytesToHex(const uint8_t* bytes, size_t count, char* text, size_t* length);
bool BytesToHex(const uint8_t* bytes, size_t count, wchar_t* text, size_t* length);

// The digits of count bytes as a wide string (empty for none, or when bytes is null).
std::wstring BytesToHexText(const uint8_t* bytes, size_t count);

}  // namespace kesi
