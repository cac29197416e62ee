#pragma once
// The line cipher: each text line enciphered alone with AES-256-CBC under the built-in key and a zero
// vector, PKCS #7 padded, and written as one Base64 line. Also the Base64 codec the rest of the system uses.
// OS-free: built for Windows and natively.
#include <cstddef>

// winbase.h maps these two names to its own file-encryption functions.
#ifdef EncryptFile
#undef EncryptFile
#endif
#ifdef DecryptFile
#undef DecryptFile
#endif

namespace kesi {

// Enciphers a zero-terminated 8-bit line. On true, *out is a new zero-terminated Base64 text that the
// caller releases with free().
bool EncryptLine(const char* text, char** out);
// Deciphers one Base64 line. On true, *out is new zero-terminated plaintext (released with free()).
bool DecryptLine(const char* text, char** out);
// Enciphers or deciphers a text file line by line.
bool EncryptFile(const char* inputPath, const char* outputPath);
bool DecryptFile(const char* inputPath, const char* outputPath);

// Standard Base64 with "=" padding. Returns the length written (at most outSize bytes; size the output as
// ((count + 2) / 3) * 4 + 1), or -1 without working memory.
int Base64Encode(const unsigned char* bytes, size_t count, char* out, size_t outSize);
// Decodes text (characters outside the alphabet are skipped, "=" ends it). *size holds the room in out on
// entry and the decoded length on success. Returns 0, or -1 when out would not keep one spare byte.
int Base64Decode(const char* text, unsigned char* out, size_t* size);

}  // namespace kesi
