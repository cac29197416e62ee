#include "Sha1.h"

#include <cstring>

#include "SecureWipe.h"

namespace kesi {

namespace {

inline uint32_t Rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBigEndian(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

Sha1::~Sha1() { SecureWipe(this, sizeof(*this)); }

void Sha1::Reset() noexcept {
  state_[0] = 0x67452301u;
  state_[1] = 0xEFCDAB89u;
  state_[2] = 0x98BADCFEu;
  state_[3] = 0x10325476u;
  state_[4] = 0xC3D2E1F0u;
  bytes_ = 0;
  used_ = 0;
  std::memset(pending_, 0, sizeof(pending_));
}

void Sha1::Compress(const unsigned char* block) noexcept {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t t = Rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = t;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  SecureWipe(w, sizeof(w));
}

void Sha1::Update(const void* data, size_t size) noexcept {
  if (!data || size == 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  bytes_ += size;
  if (used_ > 0) {
    size_t take = kSha1BlockSize - used_;
    if (take > size) take = size;
    std::memcpy(pending_ + used_, p, take);
    used_ += take;
    p += take;
    size -= take;
    if (used_ < kSha1BlockSize) return;
    Compress(pending_);
    used_ = 0;
  }
  for (; size >= kSha1BlockSize; p += kSha1BlockSize, size -= kSha1BlockSize) Compress(p);
  if (size > 0) {
    std::memcpy(pending_, p, size);
    used_ = size;
  }
}

void Sha1::Final(unsigned char digest[kSha1DigestSize]) noexcept {
  const uint64_t bits = bytes_ * 8;
  // The message, a one bit, zeros up to 56 bytes into the last block, then the length in bits.
  pending_[used_++] = 0x80;
  if (used_ > kSha1BlockSize - 8) {
    std::memset(pending_ + used_, 0, kSha1BlockSize - used_);
    Compress(pending_);
    used_ = 0;
  }
  std::memset(pending_ + used_, 0, kSha1BlockSize - 8 - used_);
  for (int i = 0; i < 8; ++i) pending_[kSha1BlockSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  Compress(pending_);
  for (int i = 0; i < 5; ++i) StoreBigEndian(state_[i], digest + 4 * i);
  Reset();
}

void Sha1Digest(const void* data, size_t size, unsigned char digest[kSha1DigestSize]) noexcept {
  Sha1 sha;
  sha.Update(data, size);
  sha.Final(digest);
}

void HmacSha1(const void* key, size_t keySize, const void* data, size_t size,
              unsigned char mac[kSha1DigestSize]) noexcept {
  unsigned char block[kSha1BlockSize] = {};
  if (key && keySize > kSha1BlockSize) {
    Sha1Digest(key, keySize, block);
  } else if (key && keySize > 0) {
    std::memcpy(block, key, keySize);
  }

  unsigned char pad[kSha1BlockSize];
  unsigned char inner[kSha1DigestSize];
  Sha1 sha;
  for (size_t i = 0; i < kSha1BlockSize; ++i) pad[i] = block[i] ^ 0x36;
  sha.Update(pad, sizeof(pad));
  sha.Update(data, size);
  sha.Final(inner);

  for (size_t i = 0; i < kSha1BlockSize; ++i) pad[i] = block[i] ^ 0x5C;
  sha.Update(pad, sizeof(pad));
  sha.Update(inner, sizeof(inner));
  sha.Final(mac);

  SecureWipe(block, sizeof(block));
  SecureWipe(pad, sizeof(pad));
  SecureWipe(inner, sizeof(inner));
}

}  // namespace kesi
