#include "ConfigMac.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "ConfigText.h"
#include "LogFile.h"

namespace kesi {

namespace {

// The protected text as UTF-8 without CR bytes; null when the conversion fails or memory runs out.
std::unique_ptr<char[]> ProtectedBytes(const kesi::TextSpan& section, size_t* size) {
  if (section.length == 0 || section.length > static_cast<size_t>(INT_MAX)) return nullptr;
  const int chars = static_cast<int>(section.length);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, section.text, chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  std::unique_ptr<char[]> utf8(new (std::nothrow) char[static_cast<size_t>(bytes)]);
  if (!utf8) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, section.text, chars, utf8.get(), bytes, nullptr, nullptr) != bytes)
    return nullptr;
  char* end = std::remove(utf8.get(), utf8.get() + bytes, '\r');
  *size = static_cast<size_t>(end - utf8.get());
  return utf8;
}

// The MAC text read from the configuration in the thread's ANSI code page; null on failure.
std::unique_ptr<char[]> AnsiMac(const wchar_t* mac) {
  int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, mac, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[static_cast<size_t>(bytes)]);
  if (!ansi || WideCharToMultiByte(CP_THREAD_ACP, 0, mac, -1, ansi.get(), bytes, nullptr, nullptr) != bytes)
    return nullptr;
  return ansi;
}

// Base64 text is ASCII: its wide form for the log and the header.
void WidenAscii(const char* text, wchar_t* out, size_t outChars) {
  size_t i = 0;
  for (; text[i] && i + 1 < outChars; ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[i] = 0;
}

}  // namespace

LONG ReadConfigMac(const wchar_t* configuration, wchar_t* buffer, size_t bufferChars) {
  if (!buffer || bufferChars == 0) return kesi::kConfigNoMac;
  buffer[0] = 0;
  kesi::TextSpan value;
  if (!kesi::FindConfigMacValue(configuration, &value) || value.length >= bufferChars) return kesi::kConfigNoMac;
  wmemcpy(buffer, value.text, value.length);
  buffer[value.length] = 0;
  return value.length > 0 ? 0 : kesi::kConfigNoMac;
}

LONG VerifyConfigMac(const wchar_t* configuration, const wchar_t* mac, kesi::LogFile* log) {
  kesi::TextSpan section;
  if (!mac || !*mac || !kesi::FindLiteralSection(configuration, &section)) return kesi::kConfigBadMac;
  size_t size = 0;
  std::unique_ptr<char[]> bytes = ProtectedBytes(section, &size);
  std::unique_ptr<char[]> read = AnsiMac(mac);
  if (!bytes || !read) return kesi::kConfigBadMac;
  std::unique_ptr<char[]> computed = kesi::ComputeConfigMac(bytes.get(), size);
  if (!computed) return kesi::kConfigBadMac;

  wchar_t wide[kesi::kConfigMacTextSize];
  kesi::LogInfo(log, L"read cfg HMAC %ls", mac);
  WidenAscii(computed.get(), wide, kesi::kConfigMacTextSize);
  kesi::LogInfo(log, L"calc cfg HMAC %ls", wide);

  int same = CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, read.get(), -1, computed.get(), -1);
  return same == CSTR_EQUAL ? 0 : kesi::kConfigBadMac;
}

bool BuildMacHeader(const char* body, wchar_t* header, size_t headerChars) {
  if (!header || headerChars == 0) return false;
  header[0] = 0;
  if (!body) return false;
  std::unique_ptr<char[]> mac = kesi::ComputeConfigMac(body, strlen(body));
  if (!mac) return false;
  wchar_t wide[kesi::kConfigMacTextSize];
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, mac.get(), -1, wide, kesi::kConfigMacTextSize) <= 0) return false;
  // A cut line would carry a wrong MAC: the line goes whole or not at all.
  int n = _snwprintf(header, headerChars, L"X-Velmora-MAC: %ls\r\n", wide);
  if (n < 0 || static_cast<size_t>(n) >= headerChars) {
    header[0] = 0;
    return false;
  }
  return true;
}

}  // namespace kesi
