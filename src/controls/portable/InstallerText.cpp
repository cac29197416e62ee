#include "InstallerText.h"

namespace kesi::controls {

bool IsBase64Text(std::string_view text) {
  size_t digits = 0;
  size_t padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                          c == '/';
    // A digit after padding, or anything outside the alphabet.
    if (!alphabet || padding) return false;
    ++digits;
  }
  if (padding > 2) return false;
  if (padding && (digits + padding) % 4 != 0) return false;
  return digits % 4 != 1;
}

std::wstring ConfigurationFileText(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16 + 2);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    const bool last = end == std::wstring_view::npos;
    if (last) end = text.size();
    std::wstring_view line = text.substr(start, end - start);
    if (!last && !line.empty() && line.back() == L'\r') line.remove_suffix(1);
    out.append(line);
    out += L"\r\n";
    start = end + 1;
  }
  return out;
}

}  // namespace kesi::controls
