#pragma once
// Text helpers for the tests of every preset (standard C++ only).
#include <cstddef>
#include <string>
#include <vector>

namespace kesi::test {

// Printable ASCII of wide text, for failure messages and comparisons with logged lines: any other
// character becomes "?".
inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  return out;
}

inline std::string Narrow(const wchar_t* text) { return Narrow(std::wstring(text ? text : L"")); }

// Wide form of ASCII text.
inline std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// text with every line feed preceded by a carriage return.
inline std::wstring WithCrLf(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\n') out += L'\r';
    out += c;
  }
  return out;
}

// Lower-case hexadecimal digits of size bytes.
inline std::string ToHex(const void* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

// The bytes that pairs of hexadecimal digits spell (either case); a trailing single digit is ignored.
inline std::vector<unsigned char> FromHex(const std::string& hex) {
  auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  return bytes;
}

}  // namespace kesi::test
