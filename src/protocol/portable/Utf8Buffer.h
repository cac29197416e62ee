#pragma once
// The byte buffer in which encoded LPRPC messages and texts taken out of replies are held. Its data is
// always one byte longer than its length and zero-filled, so it can be read as a NUL-terminated text.
// OS-free, except for the UTF-16 operations, which exist in the Windows build only.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kesi {

// Blocks that may hold secrets (buffer contents, their UTF-16 copies, owned LPRPC texts) are wiped and
// then handed to one release function, std::free unless a test puts another in to look at each block
// as it goes. Returns the previous function; null puts std::free back.
using SecretReleaseFn = void (*)(void* block, size_t bytes);
SecretReleaseFn SetSecretRelease(SecretReleaseFn release);
// Wipes bytes bytes at block (from malloc or calloc) and releases the block; null is ignored.
void ReleaseSecret(void* block, size_t bytes) noexcept;

class Utf8Buffer {
 public:
  Utf8Buffer() = default;
  ~Utf8Buffer();
  Utf8Buffer(const Utf8Buffer&) = delete;
  Utf8Buffer& operator=(const Utf8Buffer&) = delete;
  Utf8Buffer(Utf8Buffer&& other) noexcept;
  Utf8Buffer& operator=(Utf8Buffer&& other) noexcept;

  // Replaces the contents with a copy of length bytes (null bytes empties it). 0, or 14 without memory
  // (the old contents are gone either way).
  int Set(const void* bytes, uint32_t length);
  // Copies a NUL-terminated text; the length does not count the NUL. Null empties the buffer.
  int SetText(const char* text);
  // Replaces the contents with length zero bytes (plus the terminator) for the caller to fill, and
  // returns them; null without memory. Truncate then sets the length actually used.
  uint8_t* Allocate(uint32_t length);
  // Shortens the contents to length bytes (never lengthens them); the bytes cut off are zeroed.
  void Truncate(uint32_t length);
  // Zeroes the bytes and releases them: message and session buffers may hold secrets.
  void Clear();

  const uint8_t* GetData() const { return data_.get(); }  // null when empty
  const char* GetText() const { return data_ ? reinterpret_cast<const char*>(data_.get()) : ""; }
  uint32_t GetLength() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }

#ifdef _WIN32
  // Stores the UTF-8 form of a UTF-16 text; the length then counts the terminating NUL that the
  // conversion writes. Null empties the buffer. 0, 14 without memory, or the conversion's error code.
  int SetWide(const wchar_t* text);
  // The contents as UTF-16 (up to the first NUL), converted on first request and cached until the
  // contents change. Null only when memory runs out.
  const wchar_t* GetWide();
#endif

 private:
  void DropCaches();

  // Allocated with calloc: a large reply's fresh pages need no clearing of ours.
  struct FreeBytes {
    void operator()(void* p) const noexcept;
  };
  using Bytes = std::unique_ptr<uint8_t[], FreeBytes>;

  Bytes data_;  // wiped before it is released
  uint32_t length_ = 0;
  // Cached UTF-16 view (Windows build only), from malloc, of wideCount_ characters with the NUL; it holds
  // the same secret as data_ and is wiped the same way.
  std::unique_ptr<wchar_t[], FreeBytes> wide_;
  size_t wideCount_ = 0;
};

}  // namespace kesi
