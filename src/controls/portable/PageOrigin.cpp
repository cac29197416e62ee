#include "PageOrigin.h"

namespace kesi::controls {

std::wstring HostOfUrl(std::wstring_view url) {
  const size_t scheme = url.find(L"://");
  if (scheme == std::wstring_view::npos || scheme == 0) return {};
  for (size_t i = 0; i < scheme; ++i) {
    const wchar_t c = url[i];
    const bool schemeChar = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                            c == L'+' || c == L'-' || c == L'.';
    if (!schemeChar) return {};
  }
  std::wstring_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of(L"/\\?#"));
  const size_t at = authority.rfind(L'@');
  if (at != std::wstring_view::npos) authority.remove_prefix(at + 1);
  std::wstring_view host = authority;
  if (!host.empty() && host.front() == L'[') {  // [v6 address]:port
    const size_t close = host.find(L']');
    if (close == std::wstring_view::npos) return {};
    host = host.substr(0, close + 1);
  } else {
    host = host.substr(0, host.find(L':'));
  }
  std::wstring lower(host);
  for (wchar_t& c : lower) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return lower;
}

bool SameHostAsPage(std::wstring_view url, std::wstring_view pageUrl) {
  const std::wstring host = HostOfUrl(url);
  return !host.empty() && host == HostOfUrl(pageUrl);
}

}  // namespace kesi::controls
