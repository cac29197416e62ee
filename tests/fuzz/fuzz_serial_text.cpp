// libFuzzer target: the disk serial decoders of the equipment identifier. A storage driver's descriptor
// and an identify answer are device output the client does not control. The first two input bytes pick
// the serial-number offset (as the descriptor's offset field would), the rest is the descriptor.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "SerialText.h"

namespace {

bool Blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A decoded serial is printable text without blanks at its ends, as long as reported.
void CheckText(const char* text, size_t length, bool printableOnly) {
  if (strlen(text) != length) __builtin_trap();
  if (length > 0 && (Blank(text[0]) || Blank(text[length - 1]))) __builtin_trap();
  if (printableOnly)
    for (size_t i = 0; i < length; ++i)
      if (static_cast<unsigned char>(text[i]) < 0x20 || static_cast<unsigned char>(text[i]) > 0x7E) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const long offset = static_cast<long>(data[0] | (data[1] << 8)) - 8;  // a few offsets below 1 too
  // An exact-size copy, so that reading past the descriptor is caught.
  std::vector<uint8_t> descriptor(data + 2, data + size);
  std::vector<char> out(descriptor.size() + 1);
  const size_t length =
      kesi::DecodeSerialText(descriptor.data(), descriptor.size(), offset, out.data(), out.size());
  CheckText(out.data(), length, true);

  // An output buffer too small for some texts: never written past.
  std::vector<char> small(4);
  CheckText(small.data(), kesi::DecodeSerialText(descriptor.data(), descriptor.size(), offset, small.data(), small.size()), true);

  std::vector<uint8_t> identify(kesi::kIdentifyDataSize, 0);
  if (!descriptor.empty())
    memcpy(identify.data(), descriptor.data(), descriptor.size() < identify.size() ? descriptor.size() : identify.size());
  char serial[kesi::kIdentifySerialLength + 1];
  CheckText(serial, kesi::DecodeIdentifySerial(identify.data(), serial, sizeof(serial)), false);
  return 0;
}
