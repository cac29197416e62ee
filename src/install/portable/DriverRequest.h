#pragma once
// The texts and the request of the network-stack components: the folder handed to a socket provider's
// install exports, the driver's file and log paths, and the update request the filter driver receives
// through its control device. OS-free: the request's bytes are built here, the caller sends them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ErrorCodes.h"

namespace kesi {

constexpr uint32_t kDriverUpdateControlCode = 0xA005D418;
constexpr size_t kDriverPathFieldChars = 260;  // UTF-16 units of each path field, its NUL included

// The update request's layout: a 32-bit zero, the new driver's path and the service's current image path,
// each "\??\" + path as UTF-16 in a 260-unit field padded with zeros.
struct DriverUpdateRequest {
  uint32_t reserved;
  uint16_t newPath[kDriverPathFieldChars];
  uint16_t imagePath[kDriverPathFieldChars];
};
static_assert(sizeof(DriverUpdateRequest) == 1044, "the driver reads a 1,044-byte request");
constexpr size_t kDriverUpdateRequestSize = sizeof(DriverUpdateRequest);

// Fills request (little-endian bytes, kDriverUpdateRequestSize of them) for newDriverPath and the
// service's imagePath; an image path beginning "system32\" (without regard to case) is completed with
// windowsFolder and a backslash first. Returns 0, kErrorInvalidParameter (87) for an empty path (or an
// empty Windows folder where one is needed), or kErrorFilenameExceedsRange (206) when a field cannot hold
// its path whole; request is written only on 0.
uint32_t BuildDriverUpdateRequest(const wchar_t* newDriverPath, const wchar_t* imagePath,
                                  const wchar_t* windowsFolder, uint8_t request[kDriverUpdateRequestSize]);

// The folder a provider DLL's install exports are given: its path up to, not including, the last
// backslash (the whole path when it has none). Returns 0, or 206 when it does not fit a path buffer.
uint32_t ProviderFolder(const wchar_t* dllPath, std::wstring* folder);

// first + "\" + second + "\" + third (the driver file below the system folder, the driver's log below the
// application-data folder). Returns 0, or 206 when the result does not fit a path buffer.
uint32_t JoinThreePath(const wchar_t* first, const wchar_t* second, const wchar_t* third, std::wstring* out);

}  // namespace kesi
