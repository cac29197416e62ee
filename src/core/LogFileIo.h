#pragma once
// What the log writer, the log folders and the log bundle share: bounded path joins, the conversion of a
// line to the ANSI code page and whole writes. Internal to the core library.
#include <windows.h>

namespace kesi {

// Appends text to a MAX_PATH buffer; false when it does not fit.
bool AppendPath(wchar_t* buffer, const wchar_t* text);
// Converts count wide characters to the ANSI code page into out (room bytes, zero-terminated), dropping
// characters from the end until the result fits. Returns the byte count.
int ToAnsi(const wchar_t* text, int count, char* out, int room);
// Writes all of bytes at the current position of file: 0, the platform's error, or 29 for a short write.
DWORD WriteAll(HANDLE file, const void* bytes, DWORD count);

}  // namespace kesi
