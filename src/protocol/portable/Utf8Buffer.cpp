#include "Utf8Buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "ErrorCodes.h"
#include "SecureWipe.h"

namespace kesi {

void Utf8Buffer::FreeBytes::operator()(uint8_t* p) const noexcept { std::free(p); }

Utf8Buffer::~Utf8Buffer() { Clear(); }

Utf8Buffer::Utf8Buffer(Utf8Buffer&& other) noexcept
    : data_(std::move(other.data_)), length_(std::exchange(other.length_, 0)), wide_(std::move(other.wide_)) {}

Utf8Buffer& Utf8Buffer::operator=(Utf8Buffer&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = std::move(other.data_);
    length_ = std::exchange(other.length_, 0);
    wide_ = std::move(other.wide_);
  }
  return *this;
}

void Utf8Buffer::DropCaches() { wide_.reset(); }

void Utf8Buffer::Clear() {
  DropCaches();
  if (data_) SecureWipe(data_.get(), length_);
  data_.reset();
  length_ = 0;
}

uint8_t* Utf8Buffer::Allocate(uint32_t length) {
  Clear();
  if (length == UINT32_MAX) return nullptr;  // no room for the terminator
  data_.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(length) + 1, 1)));
  if (!data_) return nullptr;
  length_ = length;
  return data_.get();
}

void Utf8Buffer::Truncate(uint32_t length) {
  if (length >= length_) return;
  DropCaches();
  std::memset(data_.get() + length, 0, length_ - length);
  length_ = length;
}

int Utf8Buffer::Set(const void* bytes, uint32_t length) {
  if (!bytes) {
    Clear();
    return 0;
  }
  // Copy first: bytes may point into this buffer.
  Bytes copy(length == UINT32_MAX ? nullptr : static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length) + 1)));
  if (!copy) {
    Clear();
    return static_cast<int>(kErrorOutOfMemory);
  }
  std::memcpy(copy.get(), bytes, length);
  copy[length] = 0;
  Clear();
  data_ = std::move(copy);
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
    return static_cast<int>(kErrorOutOfMemory);
  }
  return Set(text, static_cast<uint32_t>(length));
}

}  // namespace kesi
