// The UTF-16 side of Utf8Buffer: texts enter and leave the buffer through the system's UTF-8 conversion.
#include <windows.h>

#include <cstdlib>

#include "Utf8Buffer.h"

namespace kesi {

int Utf8Buffer::SetWide(const wchar_t* text) {
  if (!text) {
    Clear();
    return 0;
  }
  // The size asked for includes the terminating NUL, and so does the stored length.
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    DWORD error = GetLastError();
    Clear();
    return error ? static_cast<int>(error) : ERROR_INVALID_DATA;
  }
  uint8_t* data = Allocate(static_cast<uint32_t>(size));
  if (!data) return ERROR_OUTOFMEMORY;
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, reinterpret_cast<char*>(data), size, nullptr, nullptr) != size) {
    DWORD error = GetLastError();
    Clear();
    return error ? static_cast<int>(error) : ERROR_INVALID_DATA;
  }
  return 0;
}

const wchar_t* Utf8Buffer::GetWide() {
  if (wide_) return wide_.get();
  if (!data_ || data_[0] == 0) {
    wide_.reset(static_cast<wchar_t*>(std::calloc(1, sizeof(wchar_t))));
    wideCount_ = wide_ ? 1 : 0;
    return wide_.get();
  }
  const char* text = reinterpret_cast<const char*>(data_.get());
  int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (count <= 0) return nullptr;
  const size_t bytes = static_cast<size_t>(count) * sizeof(wchar_t);
  auto* wide = static_cast<wchar_t*>(std::malloc(bytes));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, count) != count) {
    ReleaseSecret(wide, bytes);  // may hold part of the text
    return nullptr;
  }
  wide_.reset(wide);
  wideCount_ = static_cast<size_t>(count);
  return wide_.get();
}

}  // namespace kesi
