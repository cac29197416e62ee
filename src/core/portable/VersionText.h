#pragma once
// Reading of dotted version texts ("7", "7.2", "8.60.123", "8.6.0.123") into four 16-bit parts.
// OS-free: built for Windows and natively.
#include <cstdint>

namespace kesi {

// Parses text into parts (major, minor, build, revision). A text with two dots has the shape A.BC.D: its
// middle field N gives minor N / 10 and build N mod 10. Every field is read as leading decimal digits
// (after white space and a sign, as _wtol reads them) and truncated to 16 bits. Returns 0, or 13 for a
// text with four or more dots (then only major is set). A null or empty text gives all parts 0.
unsigned ParseVersionText(const wchar_t* text, uint16_t parts[4]);

// One field's number as _wtol reads it (white space, a sign, leading decimal digits, held to a 32-bit
// long), truncated to 16 bits. Reading stops at the first character that is not a digit.
uint16_t ReadVersionField(const wchar_t* text);

}  // namespace kesi
