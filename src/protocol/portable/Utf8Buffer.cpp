#include "Utf8Buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace kesi {

namespace {

constexpr int kErrorOutOfMemory = 14;

void WipeAndFree(uint8_t* data, uint32_t length) {
  if (!data) return;
  // volatile keeps the compiler from dropping the stores to memory that is freed next.
  volatile uint8_t* p = data;
  for (uint32_t i = 0; i < length; ++i) p[i] = 0;
  std::free(data);
}

}  // namespace

Utf8Buffer::~Utf8Buffer() { Clear(); }

Utf8Buffer::Utf8Buffer(Utf8Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      wide_(std::exchange(other.wide_, nullptr)) {}

Utf8Buffer& Utf8Buffer::operator=(Utf8Buffer&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    wide_ = std::exchange(other.wide_, nullptr);
  }
  return *this;
}

void Utf8Buffer::DropCaches() {
  std::free(wide_);
  wide_ = nullptr;
}

void Utf8Buffer::Clear() {
  DropCaches();
  WipeAndFree(data_, length_);
  data_ = nullptr;
  length_ = 0;
}

uint8_t* Utf8Buffer::Allocate(uint32_t length) {
  Clear();
  if (length == UINT32_MAX) return nullptr;  // no room for the terminator
  data_ = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(length) + 1, 1));
  if (!data_) return nullptr;
  length_ = length;
  return data_;
}

void Utf8Buffer::Truncate(uint32_t length) {
  if (length >= length_) return;
  DropCaches();
  std::memset(data_ + length, 0, length_ - length);
  length_ = length;
}

int Utf8Buffer::Set(const void* bytes, uint32_t length) {
  if (!bytes) {
    Clear();
    return 0;
  }
  // Copy first: bytes may point into this buffer.
  uint8_t* copy = length == UINT32_MAX ? nullptr : static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length) + 1));
  if (!copy) {
    Clear();
    return kErrorOutOfMemory;
  }
  std::memcpy(copy, bytes, length);
  copy[length] = 0;
  Clear();
  data_ = copy;
  length_ = length;
  return 0;
}

int Utf8Buffer::SetText(const char* text) {
  if (!text) {
    Clear();
    return 0;
  }
  size_t length = std::strlen(text);
  if (length >= UINT32_MAX) {
    Clear();
    return kErrorOutOfMemory;
  }
  return Set(text, static_cast<uint32_t>(length));
}

}  // namespace kesi
