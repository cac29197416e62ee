#pragma once
// AES (Rijndael with 128-bit blocks) for the line cipher: ECB, CBC and CFB with 1-bit feedback, keys of
// 16, 24 or 32 bytes. OS-free: built for Windows and natively.
//
// Every call starts from the vector given to Init: the object keeps no chaining state between calls, so
// one initialised object may be shared by threads that only call the const operations.
#include <cstdint>

namespace kesi {

class Rijndael {
public:
  enum Mode { ModeEcb = 0, ModeCbc = 1, ModeCfb1 = 2 };
  enum Direction { DirEncrypt = 0, DirDecrypt = 1 };
  enum KeyLength { Key128 = 0, Key192 = 1, Key256 = 2 };  // 16, 24, 32 bytes
  enum Result {
    Success = 0,
    UnsupportedMode = -1,
    UnsupportedDirection = -2,
    UnsupportedKeyLength = -3,
    MissingKey = -4,
    NotInitialised = -5,
    WrongDirection = -6,
    BadData = -7,
  };
  static constexpr int kBlockBytes = 16;

  Rijndael();
  ~Rijndael();  // wipes the expanded key
  Rijndael(const Rijndael&) = default;
  Rijndael& operator=(const Rijndael&) = default;

  // Expands the key for the direction (the inverse cipher's key for decryption). iv may be null: a zero
  // vector. Returns Success or one of the first four failures; a failed Init leaves the object unusable.
  int Init(int mode, int direction, const unsigned char* key, int keyLength,
           const unsigned char* iv = nullptr);

  // Whole 128-bit blocks only (a trailing part is ignored). Returns the number of bits processed, 0 for
  // an empty input, NotInitialised or WrongDirection.
  int BlockEncrypt(const unsigned char* input, int inputBits, unsigned char* output) const;
  int BlockDecrypt(const unsigned char* input, int inputBits, unsigned char* output) const;

  // ECB and CBC with PKCS #7 padding. PadEncrypt writes 16 * (inputBytes / 16 + 1) bytes and returns
  // that count, so an empty input (input may then be null) gives one block of sixteen 16s. PadDecrypt
  // returns the plaintext length, 0 for an empty input, or BadData when the input is not whole blocks or
  // its padding is not n bytes of value n (1 to 16). Both return NotInitialised, WrongDirection, and
  // BadData in CFB mode (which has no padding).
  int PadEncrypt(const unsigned char* input, int inputBytes, unsigned char* output) const;
  int PadDecrypt(const unsigned char* input, int inputBytes, unsigned char* output) const;

private:
  int Check(int direction) const;
  void EncryptBlock(const unsigned char in[16], unsigned char out[16]) const;
  void DecryptBlock(const unsigned char in[16], unsigned char out[16]) const;
  void CbcDecrypt(const unsigned char* input, int blocks, unsigned char* output, unsigned char chain[16],
                  unsigned char last[16]) const;
  void Cfb1(const unsigned char* input, int blocks, unsigned char* output, bool decrypt) const;

  bool notInitialised_;
  int mode_;
  int direction_;
  unsigned char iv_[16];
  int rounds_;
  uint32_t roundKeys_[60];  // 4 * (rounds + 1) words, in the order the rounds use them
};

}  // namespace kesi
