#pragma once
// The line cipher: each text line enciphered alone with AES-256-CBC under the built-in key and a zero
// vector, PKCS #7 padded, and written as one Base64 line (Base64.h). OS-free: built for Windows and natively.
#include <cstddef>
#include <cstdio>

// winbase.h maps these two names to its own file-encryption functions.
#ifdef EncryptFile
#undef EncryptFile
#endif
#ifdef DecryptFile
#undef DecryptFile
#endif

namespace kesi {

// Enciphers a zero-terminated 8-bit line (its line ending, if any, is part of it). On true, *out is a new
// zero-terminated Base64 text that the caller releases with free(). Failures are told on stderr.
bool EncryptLine(const char* text, char** out);
// Deciphers one Base64 line. On true, *out is new zero-terminated plaintext (released with free()); an
// empty line gives an empty text. Text that is not Base64 of whole, correctly padded blocks gives false,
// told on stderr.
bool DecryptLine(const char* text, char** out);
// True when text (length characters, without the line ending) has the exact shape of a ciphered line:
// padded Base64 of a whole number of 16-byte blocks. Readers of logs that mix ciphered and plain lines
// pass the other lines through without handing them to DecryptLine, which would complain about each on
// stderr.
bool LooksCiphered(const char* text, size_t length);
// Enciphers or deciphers a text file line by line; lines may be of any length. Each line is enciphered
// with its own line ending and written as Base64 and a single line feed; deciphering writes each
// plaintext as it stands, so DecryptFile restores what EncryptFile read byte for byte, and reads the
// ciphered logs the log file writes. Both tell their progress on stdout ("... Done.").
bool EncryptFile(const char* inputPath, const char* outputPath);
bool DecryptFile(const char* inputPath, const char* outputPath);
// Reads one line with its line ending, however long, as the two above do. On success returns a new
// zero-terminated line (released with free()) and sets *len to its length. Returns nullptr at the end of
// the input, or on a read error or when memory runs out; those two also set *failed (never cleared).
char* ReadLine(FILE* f, size_t* len, bool* failed);

}  // namespace kesi
