#include "VersionText.h"

#include <cwctype>

namespace kesi {

// Held to the range of a 32-bit long as _wtol holds it, then truncated to 16 bits.
uint16_t ReadVersionField(const wchar_t* p) {
  while (*p && std::iswspace(static_cast<wint_t>(*p))) ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  int64_t value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // saturated: past every 32-bit long
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)));
}

unsigned ParseVersionText(const wchar_t* text, uint16_t parts[4]) {
  parts[0] = parts[1] = parts[2] = parts[3] = 0;
  if (!text || !*text) return 0;

  const wchar_t* fields[4] = {text, nullptr, nullptr, nullptr};
  unsigned dots = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p != L'.') continue;
    if (dots < 3) fields[dots + 1] = p + 1;
    ++dots;
  }

  parts[0] = ReadVersionField(fields[0]);
  switch (dots) {
    case 0:
      break;
    case 1:
      parts[1] = ReadVersionField(fields[1]);
      break;
    case 2: {
      const uint16_t n = ReadVersionField(fields[1]);
      parts[1] = static_cast<uint16_t>(n / 10);
      parts[2] = static_cast<uint16_t>(n % 10);
      parts[3] = ReadVersionField(fields[2]);
      break;
    }
    case 3:
      parts[1] = ReadVersionField(fields[1]);
      parts[2] = ReadVersionField(fields[2]);
      parts[3] = ReadVersionField(fields[3]);
      break;
    default:
      return 13;
  }
  return 0;
}

}  // namespace kesi
