#pragma once
// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104): the digests behind the configuration MAC. The client
// carries its own code for both rather than asking the platform, so the MAC is the same on every system
// the client runs on. OS-free: built for Windows and natively.
#include <cstddef>
#include <cstdint>

namespace kesi {

constexpr size_t kSha1DigestSize = 20;
constexpr size_t kSha1BlockSize = 64;

// Incremental SHA-1: Update any number of times, then Final (which also resets the object).
class Sha1 {
 public:
  Sha1() noexcept { Reset(); }
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void Reset() noexcept;
  void Update(const void* data, size_t size) noexcept;
  void Final(unsigned char digest[kSha1DigestSize]) noexcept;

 private:
  void Compress(const unsigned char* block) noexcept;

  uint32_t state_[5];
  uint64_t bytes_;  // message length so far
  unsigned char pending_[kSha1BlockSize];
  size_t used_;     // bytes waiting in pending_
};

// SHA-1 of size bytes.
void Sha1Digest(const void* data, size_t size, unsigned char digest[kSha1DigestSize]) noexcept;

// HMAC-SHA1 of size bytes under a key of keySize bytes (a key longer than one block is replaced by its
// digest first). The pads are wiped before returning: they are the key in another form.
void HmacSha1(const void* key, size_t keySize, const void* data, size_t size,
              unsigned char mac[kSha1DigestSize]) noexcept;

}  // namespace kesi
