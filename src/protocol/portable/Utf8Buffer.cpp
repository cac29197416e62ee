#include "Utf8Buffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "ErrorCodes.h"
#include "SecureWipe.h"

namespace kesi {

namespace {

void FreeBlock(void* block, size_t) { std::free(block); }

std::atomic<SecretReleaseFn> g_secretRelease{FreeBlock};

}  // namespace

SecretReleaseFn SetSecretRelease(SecretReleaseFn release) {
  return g_secretRelease.exchange(release ? release : FreeBlock);
}

void ReleaseSecret(void* block, size_t bytes) noexcept {
  if (!block) return;
  SecureWipe(block, bytes);
  g_secretRelease.load()(block, bytes);
}

void Utf8Buffer::FreeBytes::operator()(void* p) const noexcept { std::free(p); }

Utf8Buffer::~Utf8Buffer() { Clear(); }

Utf8Buffer::Utf8Buffer(Utf8Buffer&& other) noexcept
    : data_(std::move(other.data_)),
      length_(std::exchange(other.length_, 0)),
      wide_(std::move(other.wide_)),
      wideCount_(std::exchange(other.wideCount_, 0)) {}

Utf8Buffer& Utf8Buffer::operator=(Utf8Buffer&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = std::move(other.data_);
    length_ = std::exchange(other.length_, 0);
    wide_ = std::move(other.wide_);
    wideCount_ = std::exchange(other.wideCount_, 0);
  }
  return *this;
}

void Utf8Buffer::DropCaches() {
  ReleaseSecret(wide_.release(), wideCount_ * sizeof(wchar_t));
  wideCount_ = 0;
}

void Utf8Buffer::Clear() {
  DropCaches();
  // The terminator beyond length_ is always zero.
  ReleaseSecret(data_.release(), length_);
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
