#include "HexText.h"

namespace kesi {

bool BytesToHex(const uint8_t* bytes, size_t count, char* text, size_t* length) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (!length || (!bytes && count != 0)) return false;
  // 2 x count + 1 must not wrap.
  if (count > (static_cast<size_t>(-1) - 1) / 2) return false;
  const size_t needed = 2 * count + 1;
  if (!text || *length < needed) {
    *length = needed;
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  text[2 * count] = '\0';
  *length = 2 * count;
  return true;
}

}  // namespace kesi
