#include "LineCipher.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Base64.h"
#include "BuiltInKeys.h"
#include "Rijndael.h"

namespace kesi {
namespace {

// Lines up to this size are enciphered and deciphered without a heap block for the cipher text.
constexpr size_t kLocalBytes = 512;

// One object per direction, keyed once: the cipher calls are const, so every caller and thread shares
// them (function statics are initialised exactly once, thread-safely). They are never destroyed, so that
// a log line written while the process's statics are torn down is still enciphered correctly.
const Rijndael* LineCipher(int direction) {
  struct Pair {
    Rijndael enc, dec;
    Pair() {
      enc.Init(Rijndael::ModeCbc, Rijndael::DirEncrypt, kLineCipherKey, Rijndael::Key256);
      dec.Init(Rijndael::ModeCbc, Rijndael::DirDecrypt, kLineCipherKey, Rijndael::Key256);
    }
  };
  alignas(Pair) static unsigned char storage[sizeof(Pair)];
  static const Pair* pair = new (storage) Pair;
  return direction == Rijndael::DirEncrypt ? &pair->enc : &pair->dec;
}

bool Finish(FILE* in, FILE* out, bool ok) {
  if (in) std::fclose(in);
  if (out && std::fclose(out) != 0) ok = false;
  std::printf(ok ? "Done.\n" : "Failed.\n");
  return ok;
}

// Runs convert(line, length, out) on each line of the input, with its line ending, until one fails.
// Binary both ways: a line is enciphered with its own line ending, and a ciphered line ends in a single
// line feed whatever the platform.
template <class Convert>
bool ConvertFile(const char* verb, const char* inputPath, const char* outputPath, Convert convert) {
  if (!inputPath || !outputPath) return false;
  std::printf("%s %s, output: %s ... ", verb, inputPath, outputPath);
  std::fflush(stdout);
  FILE* in = std::fopen(inputPath, "rb");
  if (!in) return Finish(nullptr, nullptr, false);
  FILE* out = std::fopen(outputPath, "wb");
  if (!out) return Finish(in, nullptr, false);
  bool ok = true, failed = false;
  size_t len = 0;
  while (char* line = ReadLine(in, &len, &failed)) {
    ok = convert(line, len, out);
    std::free(line);
    if (!ok) break;
  }
  return Finish(in, out, ok && !failed);
}

}  // namespace

bool EncryptLine(const char* text, char** out) {
  if (!out) return false;
  *out = nullptr;
  if (!text) return false;
  const size_t len = std::strlen(text);
  if (len > static_cast<size_t>(INT_MAX - 16)) {
    std::fprintf(stderr, "Error: unable to encrypt the line %s\n", text);
    return false;
  }
  // Most lines fit the buffer on the stack; the cipher text is only a step towards the Base64 text.
  unsigned char local[kLocalBytes];
  unsigned char* cipher = len + 16 <= sizeof local ? local : static_cast<unsigned char*>(std::malloc(len + 16));
  if (!cipher) {
    std::fprintf(stderr, "Error: unable to encrypt the line %s\n", text);
    return false;
  }
  const int n = LineCipher(Rijndael::DirEncrypt)
                    ->PadEncrypt(reinterpret_cast<const unsigned char*>(text), static_cast<int>(len), cipher);
  auto release = [&] {
    if (cipher != local) std::free(cipher);
  };
  if (n <= 0) {  // an empty line still pads to one block, so 0 is a failure too
    std::fprintf(stderr, "Error: unable to encrypt the line %s\n", text);
    release();
    return false;
  }
  const size_t textSize = ((static_cast<size_t>(n) + 2) / 3) * 4 + 1;
  char* b64 = static_cast<char*>(std::malloc(textSize));
  if (!b64) {
    std::fprintf(stderr, "Error: unable to allocate memory for base64 encoding\n");
    release();
    return false;
  }
  const int written = Base64Encode(cipher, static_cast<size_t>(n), b64, textSize);
  release();
  if (written <= 0) {
    std::fprintf(stderr, "Error: unable to perform base64 encoding\n");
    std::free(b64);
    return false;
  }
  *out = b64;
  return true;
}

bool LooksCiphered(const char* text, size_t length) {
  if (!text || length < 24 || length % 4 != 0) return false;
  auto isBase64 = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  };
  size_t pad = 0;
  while (pad < 2 && text[length - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i < length - pad; ++i)
    if (!isBase64(text[i])) return false;
  return ((length / 4) * 3 - pad) % 16 == 0;
}

bool DecryptLine(const char* text, char** out) {
  if (!out) return false;
  *out = nullptr;
  if (!text) return false;
  // A line is read once: decoding into the buffer on the stack also measures it. Only a line too long for
  // that buffer is measured first and decoded into a heap block of its size.
  unsigned char local[kLocalBytes];
  unsigned char* cipher = local;
  size_t cipherLen = sizeof local;
  size_t len = 0;
  bool decoded = Base64Decode(text, local, &cipherLen, &len) == 0;
  if (!decoded) {
    len = std::strlen(text);
    cipherLen = (len / 4) * 3 + 2;
    cipher = static_cast<unsigned char*>(std::malloc(cipherLen));
    if (!cipher) {
      std::fprintf(stderr, "Error: unable to allocate memory for base64 decoding\n");
      return false;
    }
    decoded = Base64Decode(text, cipher, &cipherLen) == 0;
  }
  auto release = [&] {
    if (cipher != local) std::free(cipher);
  };
  // The decoded bytes and a spare one must fit in three bytes per four characters and two more: text
  // beyond that (three characters of a group left over) is no whole Base64 text.
  const size_t size = (len / 4) * 3 + 2;
  if (!decoded || cipherLen + 1 > size) {
    std::fprintf(stderr, "Error: unable to base64 decode the line [%s]\n", text);
    std::fprintf(stderr, "Last char: [%c]\n", len ? text[len - 1] : ' ');
    release();
    return false;
  }
  // Room for the plaintext and its terminator: padding removes at least one byte of the cipher text.
  char* plain = static_cast<char*>(std::malloc(size));
  if (!plain) {
    std::fprintf(stderr, "Error: unable to allocate memory for base64 decoding\n");
    release();
    return false;
  }
  const int n = cipherLen > static_cast<size_t>(INT_MAX)
                    ? Rijndael::BadData
                    : LineCipher(Rijndael::DirDecrypt)
                          ->PadDecrypt(cipher, static_cast<int>(cipherLen), reinterpret_cast<unsigned char*>(plain));
  release();
  if (n < 0) {
    std::fprintf(stderr, "Error: unable to decrypt the line %s\n", text);
    std::free(plain);
    return false;
  }
  plain[n] = '\0';
  *out = plain;
  return true;
}

bool EncryptFile(const char* inputPath, const char* outputPath) {
  return ConvertFile("Encrypting", inputPath, outputPath, [](char* line, size_t, FILE* out) {
    char* b64 = nullptr;
    const bool ok = EncryptLine(line, &b64) && std::fprintf(out, "%s\n", b64) >= 0;
    std::free(b64);
    return ok;
  });
}

bool DecryptFile(const char* inputPath, const char* outputPath) {
  return ConvertFile("Decrypting", inputPath, outputPath, [](char* line, size_t len, FILE* out) {
    while (len && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
    char* plain = nullptr;
    // The plaintext carries its own line ending.
    const bool ok = DecryptLine(line, &plain) && std::fputs(plain, out) >= 0;
    std::free(plain);
    return ok;
  });
}

char* ReadLine(FILE* f, size_t* len, bool* failed) {
  size_t cap = 16384, used = 0;
  char* buf = static_cast<char*>(std::malloc(cap));
  if (!buf) {
    *failed = true;
    return nullptr;
  }
  int c;
  while ((c = std::getc(f)) != EOF) {
    if (used + 2 > cap) {
      char* bigger = static_cast<char*>(std::realloc(buf, cap * 2));
      if (!bigger) {
        std::free(buf);
        *failed = true;
        return nullptr;
      }
      buf = bigger;
      cap *= 2;
    }
    buf[used++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (used == 0 || std::ferror(f)) {
    if (std::ferror(f)) *failed = true;
    std::free(buf);
    return nullptr;
  }
  buf[used] = '\0';
  *len = used;
  return buf;
}

}  // namespace kesi
