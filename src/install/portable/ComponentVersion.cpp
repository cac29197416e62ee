#include "ComponentVersion.h"

#include "VersionText.h"

namespace kesi {
namespace {

bool IsScanfSpace(unsigned c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// scanf's "%d,%d,%d,%d" over [p, end). Character types differ only in width.
template <typename Char>
bool ScanFourNumbers(const Char* p, const Char* end, uint16_t parts[4]) {
  parts[0] = parts[1] = parts[2] = parts[3] = 0;
  if (!p) return false;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p == end || *p != ',') return false;
      ++p;
    }
    while (p != end && IsScanfSpace(static_cast<unsigned>(*p))) ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || *p < '0' || *p > '9') return false;
    uint32_t value = 0;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    parts[i] = static_cast<uint16_t>(value);
  }
  return true;
}

}  // namespace

bool ParseVersionFileText(const char* text, size_t size, uint16_t parts[4]) {
  const char* end = text;
  if (text)
    while (static_cast<size_t>(end - text) < size && *end) ++end;
  return ScanFourNumbers(text, end, parts);
}

bool ParseVersionFileText(const wchar_t* text, uint16_t parts[4]) {
  const wchar_t* end = text;
  if (text)
    while (*end) ++end;
  return ScanFourNumbers(text, end, parts);
}

void ParseCommaVersion(const wchar_t* text, uint16_t parts[4]) {
  parts[0] = parts[1] = parts[2] = parts[3] = 0;
  if (!text) return;
  const wchar_t* field = text;
  for (int i = 0; i < 4; ++i) {
    parts[i] = ReadVersionField(field);
    while (*field && *field != L',') ++field;
    if (!*field) return;
    ++field;
  }
}

int CompareVersionParts(const uint16_t a[4], const uint16_t b[4]) {
  for (int i = 0; i < 4; ++i)
    if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
  return 0;
}

void FileVersionParts(uint32_t versionMS, uint32_t versionLS, uint16_t parts[4]) {
  parts[0] = static_cast<uint16_t>(versionMS >> 16);
  parts[1] = static_cast<uint16_t>(versionMS & 0xFFFF);
  parts[2] = static_cast<uint16_t>(versionLS >> 16);
  parts[3] = static_cast<uint16_t>(versionLS & 0xFFFF);
}

}  // namespace kesi
