#pragma once
// Zeroing of secrets (keys, key schedules, passwords, plaintext) before their memory is reused or
// released. OS-free: built for Windows and natively.
#include <cstddef>
#include <cstring>

namespace kesi {

// Zeroes size bytes at data. A plain memset of memory that is never read again is a dead store the
// optimiser may drop; the empty assembly statement claims to read the memory, so the stores stay.
inline void SecureWipe(void* data, size_t size) noexcept {
  if (!data || size == 0) return;
  std::memset(data, 0, size);
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace kesi
