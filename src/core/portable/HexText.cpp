#include "HexText.h"

namespace kesi {
namespace {

template <typename Char>
bool WriteHex(const uint8_t* bytes, size_t count, Char* text, size_t* length) {
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
    text[2 * i] = static_cast<Char>(kDigits[bytes[i] >> 4]);
    text[2 * i + 1] = static_cast<Char>(kDigits[bytes[i] & 0x0F]);
  }
  text[2 * count] = 0;
  *length = 2 * count;
  return true;
}

}  // namespace

bool BytesToHex(const uint8_t* bytes, size_t count, char* text, size_t* length) {
  return WriteHex(bytes, count, text, length);
}

bool BytesToHex(const uint8_t* bytes, size_t count, wchar_t* text, size_t* length) {
  return WriteHex(bytes, count, text, length);
}

std::wstring BytesToHexText(const uint8_t* bytes, size_t count) {
  if (!bytes || count == 0) return std::wstring();
  std::wstring text(2 * count + 1, L'\0');
  size_t length = text.size();
  if (!BytesToHex(bytes, count, &text[0], &length)) return std::wstring();
  text.resize(length);
  return text;
}

}  // namespace kesi
