#pragma once
// Paths of the install engine: fixed 260-character buffers on the Windows side, so every join is checked
// before it is made, and a path that does not fit is refused, never cut.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "ErrorCodes.h"

namespace kesi {

constexpr size_t kInstallPathChars = 260;  // characters of a path buffer, its terminating NUL included

// out = the parts one after another (null parts count as empty). Returns 0, or kErrorFilenameExceedsRange
// (206) when the result would not fit a path buffer; then out is left as it was.
uint32_t JoinInstallPath(std::wstring* out, std::initializer_list<const wchar_t*> parts);

// Appends a backslash unless path ends in one already; 206 (path unchanged) when it would not fit.
uint32_t EnsureTrailingBackslash(std::wstring* path);

// A name that the install engine puts below one of its folders: a CAB entry, an "Add.Code" key, an
// "InstallFile" value, the component name taken from the CAB's URL. The text comes from the downloaded
// archive and its description, so a name that could reach another folder or a data stream is refused:
// one that is null, empty or ".", or that holds "\", "/", ":" or "..". So is a name that names no file
// (control characters, wildcards) or a device ("CON", "nul.txt", "COM1"). Returns 0 or
// kErrorInvalidParameter (87). The narrow form takes a name in the ANSI code page as the extractor gives it.
uint32_t CheckInstallEntryName(const wchar_t* name);
uint32_t CheckInstallEntryName(const char* name);

// The component name from the path of its CAB's URL (the URL's path part, without query): the file name
// after the last "/" less its last four characters (the ".cab"). Returns 0, or 87 for a file name shorter
// than five or longer than 256 characters, or a name that CheckInstallEntryName refuses; then name is
// left as it was.
uint32_t ComponentNameFromUrlPath(const wchar_t* urlPath, std::wstring* name);

// A CAB URL is kept in a 260-character buffer: 0 when it fits, 87 when it is null, empty or too long.
uint32_t CheckCabUrl(const wchar_t* url);

}  // namespace kesi
