#pragma once
// URLs as WinINet reads them: parsing into parts, the schemes the transfer layer accepts, and a URL
// rebuilt without its credentials.
#include <windows.h>
#include <wininet.h>

#include <memory>

namespace kesi {

// The parts of a URL (InternetCrackUrlW), copied into one block that the object owns. Parts the URL lacks
// are empty texts, never null.
class ParsedUrl {
 public:
  ParsedUrl() = default;
  ParsedUrl(const ParsedUrl&) = delete;
  ParsedUrl& operator=(const ParsedUrl&) = delete;

  // 0, the system's error for a URL it cannot read (12005, 12006), 87 for null, 14 without memory.
  DWORD Parse(const wchar_t* url);

  INTERNET_SCHEME scheme() const { return scheme_; }
  INTERNET_PORT port() const { return port_; }
  const wchar_t* schemeName() const { return part(0); }
  const wchar_t* host() const { return part(1); }
  const wchar_t* user() const { return part(2); }
  const wchar_t* password() const { return part(3); }
  const wchar_t* path() const { return part(4); }
  const wchar_t* extra() const { return part(5); }  // "?query#fragment", as it stands in the URL

 private:
  static constexpr int kParts = 6;
  const wchar_t* part(int i) const { return parts_[i] ? parts_[i] : L""; }

  std::unique_ptr<wchar_t[]> block_;
  const wchar_t* parts_[kParts] = {};
  INTERNET_SCHEME scheme_ = INTERNET_SCHEME_UNKNOWN;
  INTERNET_PORT port_ = 0;
};

// 0 for the schemes the transfer layer serves by default (http, https, file), 12006 for a scheme WinINet
// does not know (or a URL it cannot read), 50 for any other known scheme (ftp among them).
DWORD IsUrlSchemeSupported(const wchar_t* url);

// The URL's INTERNET_SCHEME, or INTERNET_SCHEME_UNKNOWN when it cannot be read.
INTERNET_SCHEME GetUrlScheme(const wchar_t* url);

// Rebuilds url without user name and password into out (*size characters of room). On success *size is
// the length written (without the NUL); 122 when out is too small, with *size the room needed (NUL
// included). Other failures are the system's.
DWORD UrlWithoutCredentials(const wchar_t* url, wchar_t* out, DWORD* size);

}  // namespace kesi
