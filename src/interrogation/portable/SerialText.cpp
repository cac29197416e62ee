#include "SerialText.h"

namespace kesi {
namespace {

bool IsPrintable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool IsBlank(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A hexadecimal digit's value (white space counts as "0"), or -1.
int HexDigit(uint8_t c) {
  if (IsBlank(c)) return 0;
  if (c >= 'A' && c <= 'F') c = static_cast<uint8_t>(c - 'A' + 'a');
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Removes leading and trailing white space from out[0, length) and terminates; returns the length left.
size_t Trim(char* out, size_t length) {
  size_t end = length;
  while (end > 0 && IsBlank(static_cast<uint8_t>(out[end - 1]))) --end;
  size_t begin = 0;
  while (begin < end && IsBlank(static_cast<uint8_t>(out[begin]))) ++begin;
  for (size_t i = begin; i < end; ++i) out[i - begin] = out[i];
  out[end - begin] = '\0';
  return end - begin;
}

// Puts the pairs of out[0, length) back into reading order (an odd last byte drops out), then trims.
size_t SwapAndTrim(char* out, size_t length) {
  length &= ~static_cast<size_t>(1);
  for (size_t i = 0; i < length; i += 2) {
    const char first = out[i];
    out[i] = out[i + 1];
    out[i + 1] = first;
  }
  return Trim(out, length);
}

// The byte count of the hexadecimal reading up to its first 0 byte, or -1 when the text is not an even
// number of digits whose bytes are 0 or printable.
long HexLength(const uint8_t* text, size_t length) {
  if (length % 2 != 0) return -1;
  long decoded = -1;
  for (size_t i = 0; i < length; i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return -1;
    const uint8_t byte = static_cast<uint8_t>(high << 4 | low);
    if (byte == 0) {
      if (decoded < 0) decoded = static_cast<long>(i / 2);
    } else if (!IsPrintable(byte)) {
      return -1;
    }
  }
  return decoded < 0 ? static_cast<long>(length / 2) : decoded;
}

}  // namespace

size_t DecodeSerialText(const uint8_t* descriptor, size_t size, long offset, char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  out[0] = '\0';
  if (!descriptor || offset < 1 || static_cast<unsigned long>(offset) >= size) return 0;
  const uint8_t* text = descriptor + offset;
  const size_t room = size - static_cast<size_t>(offset);
  size_t length = 0;
  while (length < room && text[length] != 0) ++length;

  const long hexLength = HexLength(text, length);
  if (hexLength >= 0) {
    if (static_cast<size_t>(hexLength) >= outSize) return 0;
    for (long i = 0; i < hexLength; ++i)
      out[i] = static_cast<char>(HexDigit(text[2 * i]) << 4 | HexDigit(text[2 * i + 1]));
    return SwapAndTrim(out, static_cast<size_t>(hexLength));
  }

  if (length >= outSize) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (!IsPrintable(text[i])) {
      out[0] = '\0';
      return 0;
    }
    out[i] = static_cast<char>(text[i]);
  }
  return SwapAndTrim(out, length);
}

size_t DecodeIdentifySerial(const uint8_t* identify, char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  out[0] = '\0';
  if (!identify) return 0;
  // The serial field holds 20 bytes; what follows it is other data, never part of the serial.
  const uint8_t* serial = identify + kIdentifySerialOffset;
  size_t length = 0;
  while (length < kIdentifySerialLength && serial[length] != 0 && length + 2 < outSize) {
    out[length] = static_cast<char>(serial[length + 1]);
    out[length + 1] = static_cast<char>(serial[length]);
    length += 2;
  }
  size_t end = 0;
  while (end < length && out[end] != 0) ++end;
  return Trim(out, end);
}

}  // namespace kesi
