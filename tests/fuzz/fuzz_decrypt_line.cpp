// DecryptLine on any text must fail cleanly or give plaintext that enciphers and deciphers back to itself;
// any text enciphered by EncryptLine must decipher to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LineCipher.h"

namespace {

void RoundTrip(const char* text) {
  char* b64 = nullptr;
  if (!kesi::EncryptLine(text, &b64)) std::abort();
  char* back = nullptr;
  if (!kesi::DecryptLine(b64, &back) || std::strcmp(back, text) != 0) std::abort();
  std::free(back);
  std::free(b64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  char* plain = nullptr;
  if (kesi::DecryptLine(text.c_str(), &plain)) {
    RoundTrip(plain);
    std::free(plain);
  } else if (plain) {
    std::abort();  // a failure leaves nothing to release
  }
  RoundTrip(text.c_str());
  return 0;
}
