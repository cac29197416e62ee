#pragma once
// Configurations for the configuration route, signed with the client's own MAC.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ConfigText.h"
#include "TestText.h"

namespace kesi::test {

// UTF-8 of wide text.
inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

// The configuration MAC of bytes as text.
inline std::string MacOf(const std::string& bytes) {
  std::unique_ptr<char[]> mac = ComputeConfigMac(bytes.data(), bytes.size());
  return mac ? mac.get() : "";
}

// A configuration whose [Global] section carries the MAC of body, which must be the literal section alone
// (from its header to its last line).
inline std::wstring Signed(const std::wstring& body) {
  std::string bytes = Utf8(body);
  bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
  return L"[Global]\nHMAC=" + Widen(MacOf(bytes)) + L"\n" + body;
}

}  // namespace kesi::test
