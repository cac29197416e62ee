#pragma once
// The version texts of installed components: the ".ver" file beside a component and the version the page
// asks for, both four numbers separated by commas, and the fixed file versions of installed files.
// OS-free: built for Windows and natively.
#include <cstddef>
#include <cstdint>

namespace kesi {

// Reads "%d,%d,%d,%d" as the C library's scanf does: each number may follow white space and carry a sign,
// each comma must come straight after the number before it, and anything after the fourth number is
// ignored. Numbers are taken modulo 2^32 and then as 16-bit values. Returns true only when all four
// numbers were read; the parts not read are 0. The narrow form reads at most size bytes of a file's text
// (it stops at a 0 byte as well); the wide form a NUL-terminated text. Null text reads nothing.
bool ParseVersionFileText(const char* text, size_t size, uint16_t parts[4]);
bool ParseVersionFileText(const wchar_t* text, uint16_t parts[4]);

// Reads up to four numbers separated by commas, each as _wtol reads it; missing ones are 0. The form the
// version of a registered server is asked with. Null or empty text gives all parts 0.
void ParseCommaVersion(const wchar_t* text, uint16_t parts[4]);

// Signed difference of the first part that differs (major first), 0 when all four are equal.
int CompareVersionParts(const uint16_t a[4], const uint16_t b[4]);

// The four parts of a fixed file version: high and low word of its most-significant half, then of its
// least-significant half.
void FileVersionParts(uint32_t versionMS, uint32_t versionLS, uint16_t parts[4]);

}  // namespace kesi
