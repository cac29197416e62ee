#pragma once
// Text helpers for the tests of every preset (standard C++ only).
#include <string>

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

}  // namespace kesi::test
