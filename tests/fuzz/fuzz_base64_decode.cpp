// Base64Decode on any text and any output room: it never writes outside the room it was given, keeps one
// spare byte, and what it decodes encodes back to text that decodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the room: the size DecryptLine offers, or a small one to reach the edges.
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t len = std::strlen(text.c_str());
  const size_t room = (data[0] & 1) ? (len / 4) * 3 + 2 : data[0] >> 1;
  // Exactly room bytes on the heap, so that a write behind them is caught.
  std::unique_ptr<unsigned char[]> out(new unsigned char[room ? room : 1]);
  size_t got = room;
  if (kesi::Base64Decode(text.c_str(), out.get(), &got) != 0) {
    if (room && (data[0] & 1) && len % 4 == 0) std::abort();  // that room always suffices for whole quads
    return 0;
  }
  if (got >= room || out[got] != 0) std::abort();

  const size_t textSize = ((got + 2) / 3) * 4 + 1;
  std::unique_ptr<char[]> b64(new char[textSize]);
  if (kesi::Base64Encode(out.get(), got, b64.get(), textSize) != static_cast<int>(textSize - 1)) std::abort();
  std::unique_ptr<unsigned char[]> again(new unsigned char[got + 1]);
  size_t againSize = got + 1;
  if (kesi::Base64Decode(b64.get(), again.get(), &againSize) != 0 || againSize != got ||
      std::memcmp(again.get(), out.get(), got) != 0)
    std::abort();
  return 0;
}
