#include "Base64.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace kesi {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoder's reverse table, made at compile time so that threads never race to build it. Everything
// outside the alphabet, "=" and the terminating zero included, is -1.
struct ReverseTable {
  signed char value[256];
};
constexpr ReverseTable MakeReverseTable() {
  ReverseTable t{};
  for (int i = 0; i < 256; ++i) t.value[i] = -1;
  for (int i = 0; i < 64; ++i) t.value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return t;
}
constexpr ReverseTable kReverse = MakeReverseTable();

inline int Reverse(char c) { return kReverse.value[static_cast<unsigned char>(c)]; }

}  // namespace

int Base64Encode(const unsigned char* bytes, size_t count, char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  if (!bytes) count = 0;
  const size_t room = outSize - 1;  // one byte for the terminating zero
  size_t n = 0;
  auto put = [&](char c) {
    if (n < room) out[n++] = c;
  };
  size_t i = 0;
  for (; i + 3 <= count && n < room; i += 3) {
    const unsigned v = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8) | bytes[i + 2];
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < count && count - i < 3 && n < room) {
    const unsigned v = (unsigned(bytes[i]) << 16) | (count - i == 2 ? unsigned(bytes[i + 1]) << 8 : 0u);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(count - i == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  out[n] = '\0';
  return n > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(n);
}

int Base64Decode(const char* text, unsigned char* out, size_t* size) {
  return Base64Decode(text, out, size, nullptr);
}

int Base64Decode(const char* text, unsigned char* out, size_t* size, size_t* length) {
  if (!text || !out || !size || *size == 0) return -1;
  const size_t room = *size;
  size_t n = 0;
  unsigned quad = 0;
  int have = 0;
  const char* p = text;
  for (;;) {
    // Whole groups of four alphabet characters, the common case, go straight through; anything else (a
    // skipped character, "=", the end) takes the careful path below. A character is looked at only when
    // the one before it was in the alphabet, so nothing behind the terminating zero is read.
    while (have == 0) {
      const int a = Reverse(p[0]);
      if (a < 0) break;
      const int b = Reverse(p[1]);
      if (b < 0) break;
      const int c = Reverse(p[2]);
      if (c < 0) break;
      const int d = Reverse(p[3]);
      if (d < 0) break;
      if (room - n < 4) return -1;  // three bytes and the spare one
      const unsigned v = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
      out[n++] = static_cast<unsigned char>(v >> 16);
      out[n++] = static_cast<unsigned char>(v >> 8);
      out[n++] = static_cast<unsigned char>(v);
      p += 4;
    }
    if (*p == '\0' || *p == '=') break;
    const int v = Reverse(*p++);
    if (v < 0) continue;
    quad = (quad << 6) | static_cast<unsigned>(v);
    if (++have == 4) {
      if (room - n < 4) return -1;
      out[n++] = static_cast<unsigned char>(quad >> 16);
      out[n++] = static_cast<unsigned char>(quad >> 8);
      out[n++] = static_cast<unsigned char>(quad);
      quad = 0;
      have = 0;
    }
  }
  if (have == 2 || have == 3) {
    const size_t extra = static_cast<size_t>(have - 1);
    if (room - n < extra + 1) return -1;
    quad <<= 6 * (4 - have);
    out[n++] = static_cast<unsigned char>(quad >> 16);
    if (have == 3) out[n++] = static_cast<unsigned char>(quad >> 8);
  } else if (have == 1) {
    std::printf("Dont bother\n");  // six bits make no byte
  }
  out[n] = 0;
  *size = n;
  if (length) *length = static_cast<size_t>(p - text) + (*p ? std::strlen(p) : 0);
  return 0;
}

}  // namespace kesi
