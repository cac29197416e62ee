#pragma once
// The Windows error numbers that the OS-free code returns, named once here so that it needs no windows.h.
// They are the system's own values (winerror.h); the Windows code uses the system's names for them.
#include <cstdint>

namespace kesi {

constexpr uint32_t kErrorInvalidData = 13;       // ERROR_INVALID_DATA
constexpr uint32_t kErrorOutOfMemory = 14;       // ERROR_OUTOFMEMORY
constexpr uint32_t kErrorBadNetPath = 53;        // ERROR_BAD_NETPATH
constexpr uint32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kErrorBadPathName = 161;      // ERROR_BAD_PATHNAME
constexpr uint32_t kErrorFilenameExceedsRange = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrorMessageExceedsMaxSize = 4336;  // ERROR_MESSAGE_EXCEEDS_MAX_SIZE

}  // namespace kesi
