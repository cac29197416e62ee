#pragma once
// The configuration MAC on the Windows side: reading the "HMAC=" value of a configuration, checking it
// against the protected literal section, and the header line that carries the MAC of a result post.
// The digest itself and the walk of the text are OS-free (ConfigText.h); the text conversions are the
// system's.
#include <windows.h>

namespace kesi {

class LogFile;

// Room for the value read from [Global] (a value of this many characters or more counts as missing).
constexpr size_t kConfigMacBufferChars = 128;
// Room for the header line, terminator included.
constexpr size_t kMacHeaderChars = 1024;

// Copies the "HMAC=" value of the [Global] section into buffer (bufferChars characters) when it is
// shorter than the buffer. 0 when a non-empty value was copied; else -504 and buffer is left empty.
LONG ReadConfigMac(const wchar_t* configuration, wchar_t* buffer, size_t bufferChars);

// Computes the MAC of the configuration's protected text (its UTF-8 form, CRs removed) and compares it
// with mac without regard to case. 0 when they match; -505 when they do not, when there is no literal
// section, when an input is missing or a conversion fails. Logs the value read and the value computed
// to log (when given).
LONG VerifyConfigMac(const wchar_t* configuration, const wchar_t* mac, kesi::LogFile* log = nullptr);

// Writes "X-Velmora-MAC: <MAC of body>\r\n" into header (headerChars characters, terminator included),
// where body is zero-terminated. True when the line was written; otherwise header is left empty and the
// post goes out without it.
bool BuildMacHeader(const char* body, wchar_t* header, size_t headerChars);

}  // namespace kesi
