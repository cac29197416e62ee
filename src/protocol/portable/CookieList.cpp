#include "CookieList.h"

namespace kesi {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Position of the first `what` outside double quotes, or npos.
size_t FindUnquoted(std::wstring_view s, wchar_t what) {
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'"') quoted = !quoted;
    else if (s[i] == what && !quoted) return i;
  }
  return std::wstring_view::npos;
}

}  // namespace

std::vector<CookiePair> SplitCookies(std::wstring_view text) {
  std::vector<CookiePair> pairs;
  while (!text.empty()) {
    size_t end = FindUnquoted(text, L';');
    std::wstring_view piece = text.substr(0, end);
    text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);

    size_t eq = FindUnquoted(piece, L'=');
    std::wstring_view name = Trim(piece.substr(0, eq));
    std::wstring_view value = eq == std::wstring_view::npos ? std::wstring_view() : Trim(piece.substr(eq + 1));
    if (name.empty()) continue;
    pairs.emplace_back(std::wstring(name), std::wstring(value));
  }
  return pairs;
}

std::wstring MaskCookieValues(std::wstring_view text) {
  std::wstring masked;
  while (!text.empty()) {
    size_t end = FindUnquoted(text, L';');
    std::wstring_view piece = text.substr(0, end);
    text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
    size_t eq = FindUnquoted(piece, L'=');
    std::wstring_view name = eq == std::wstring_view::npos ? std::wstring_view() : Trim(piece.substr(0, eq));
    std::wstring_view value = Trim(eq == std::wstring_view::npos ? piece : piece.substr(eq + 1));
    if (name.empty() && value.empty()) continue;
    if (!masked.empty()) masked += L"; ";
    if (eq != std::wstring_view::npos) masked.append(name.data(), name.size()).push_back(L'=');
    if (!value.empty()) masked += L"****";
  }
  return masked;
}

bool HasLineBreak(std::wstring_view text) { return text.find_first_of(L"\r\n") != std::wstring_view::npos; }

bool IsHeaderBlock(std::wstring_view text) {
  while (!text.empty()) {
    size_t end = text.find(L"\r\n");
    std::wstring_view line = text.substr(0, end);
    text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 2);
    if (HasLineBreak(line)) return false;
    size_t colon = line.find(L':');
    if (colon == 0 || colon == std::wstring_view::npos) return false;
    for (wchar_t c : line.substr(0, colon)) {
      if (c <= L' ' || c == 0x7F) return false;
    }
  }
  return true;
}

}  // namespace kesi
