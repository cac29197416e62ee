#include "InternetUrl.h"

#include <cstring>
#include <new>

#include "LastError.h"

namespace kesi {

DWORD ParsedUrl::Parse(const wchar_t* url) {
  block_.reset();
  for (auto& p : parts_) p = nullptr;
  scheme_ = INTERNET_SCHEME_UNKNOWN;
  port_ = 0;
  if (!url) return ERROR_INVALID_PARAMETER;

  // Null pointers with non-zero lengths ask for pointers into url itself; they are copied below.
  URL_COMPONENTSW c{};
  c.dwStructSize = sizeof(c);
  c.dwSchemeLength = c.dwHostNameLength = c.dwUserNameLength = c.dwPasswordLength = c.dwUrlPathLength =
      c.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(url, 0, 0, &c)) return LastErrorOr(ERROR_INTERNET_INVALID_URL);

  const wchar_t* from[kParts] = {c.lpszScheme, c.lpszHostName, c.lpszUserName,
                                  c.lpszPassword, c.lpszUrlPath, c.lpszExtraInfo};
  const DWORD length[kParts] = {c.dwSchemeLength, c.dwHostNameLength, c.dwUserNameLength,
                                c.dwPasswordLength, c.dwUrlPathLength, c.dwExtraInfoLength};
  size_t total = 0;
  for (int i = 0; i < kParts; ++i) total += (from[i] ? length[i] : 0) + 1;
  block_.reset(new (std::nothrow) wchar_t[total]);
  if (!block_) return ERROR_OUTOFMEMORY;

  wchar_t* at = block_.get();
  for (int i = 0; i < kParts; ++i) {
    size_t n = from[i] ? length[i] : 0;
    if (n) std::memcpy(at, from[i], n * sizeof(wchar_t));
    at[n] = L'\0';
    parts_[i] = at;
    at += n + 1;
  }
  scheme_ = c.nScheme;
  port_ = c.nPort;
  return ERROR_SUCCESS;
}

DWORD IsUrlSchemeSupported(const wchar_t* url) {
  switch (GetUrlScheme(url)) {
    case INTERNET_SCHEME_HTTP:
    case INTERNET_SCHEME_HTTPS:
    case INTERNET_SCHEME_FILE:
      return ERROR_SUCCESS;
    case INTERNET_SCHEME_UNKNOWN:
    case INTERNET_SCHEME_PARTIAL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

INTERNET_SCHEME GetUrlScheme(const wchar_t* url) {
  if (!url) return INTERNET_SCHEME_UNKNOWN;
  URL_COMPONENTSW c{};
  c.dwStructSize = sizeof(c);
  c.dwSchemeLength = 1;
  if (!InternetCrackUrlW(url, 0, 0, &c)) return INTERNET_SCHEME_UNKNOWN;
  return c.nScheme;
}

DWORD UrlWithoutCredentials(const wchar_t* url, wchar_t* out, DWORD* size) {
  if (!url || !size || (!out && *size)) return ERROR_INVALID_PARAMETER;
  ParsedUrl parsed;
  if (DWORD error = parsed.Parse(url)) return error;

  URL_COMPONENTSW c{};
  c.dwStructSize = sizeof(c);
  c.lpszScheme = const_cast<wchar_t*>(parsed.schemeName());
  c.nScheme = parsed.scheme();
  c.lpszHostName = const_cast<wchar_t*>(parsed.host());
  c.nPort = parsed.port();
  c.lpszUrlPath = const_cast<wchar_t*>(parsed.path());
  c.lpszExtraInfo = const_cast<wchar_t*>(parsed.extra());
  DWORD room = *size;
  if (InternetCreateUrlW(&c, 0, out, &room)) {
    *size = room;
    return ERROR_SUCCESS;
  }
  DWORD error = GetLastError();
  if (error == ERROR_INSUFFICIENT_BUFFER) {
    *size = room;
    return error;
  }
  return error ? error : ERROR_INTERNET_INVALID_URL;
}

}  // namespace kesi
