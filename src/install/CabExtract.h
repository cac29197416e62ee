#pragma once
// Unpacking a downloaded component CAB into the install engine's temporary folder through the system's
// cabinet decompressor (cabinet.dll).
#include <windows.h>

namespace kesi::install {

// An entry whose name CheckInstallEntryName refuses ("..\x", "sub\x", "C:x", ...) ends the extraction
// before any file of that name is created; the caller logs 4004.
constexpr DWORD kCabEntryRefused = ERROR_INVALID_PARAMETER;  // 87

// Unpacks every file of the cabinet cabPath into folder (an existing folder; with or without a final
// backslash). The decompressor takes its paths in the ANSI code page. Returns
//   0 success;
//   11 (ERROR_BAD_FORMAT) the file is not a cabinet, or a cabinet version the decompressor does not know;
//   87 (kCabEntryRefused) an entry name was refused;
//   206 (ERROR_FILENAME_EXCED_RANGE) folder + an entry name does not fit a 260-character path, or the
//       cabinet's folder does not;
//   1113 (ERROR_NO_UNICODE_TRANSLATION) cabPath has characters the ANSI code page cannot hold;
//   the Win32 error of opening the cabinet (2, 3, 5, ...) when it cannot be opened;
//   87 also for a null or empty argument; 31 (ERROR_GEN_FAILURE) a failure the decompressor gives no reason for;
//   otherwise the decompressor's own error number (erf.erfOper) unchanged: 1 cabinet not found or
//       unreadable, 4 corrupt cabinet (a data block's checksum), 5 out of memory, 6 unknown compression,
//       7 decompression failed (damaged data), 8 a target file could not be created or written,
//       9 reserve mismatch, 10 wrong cabinet (or a set spanning several cabinets), 12 unexpected end of
//       file; its 11 (user abort) never reaches the caller: it is one of the codes above.
// Files unpacked before a failure stay in folder; the caller removes the folder.
DWORD ExtractCab(const wchar_t* cabPath, const wchar_t* folder);

}  // namespace kesi::install
