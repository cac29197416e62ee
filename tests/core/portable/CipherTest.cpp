// Rijndael against FIPS-197 and SP 800-38A, its padding and result codes; the line cipher on top of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LineCipher.h"
#include "Rijndael.h"
#include "TestCipher.h"
#include "TestText.h"

using namespace kesi;

using kesi::Rijndael;

namespace {

using Bytes = std::vector<unsigned char>;
using kesi::test::CipherText;
using kesi::test::DecipherText;
using kesi::test::FromHex;

}  // namespace

// FIPS-197 appendix C: one block under each key length, both directions, and in place.
TEST(Rijndael, Fips197AppendixC) {
  struct Case {
    const char* name;
    int keyLength;
    const char* key;
    const char* cipher;
  } cases[] = {
      {"C.1 AES-128", Rijndael::Key128, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"C.2 AES-192", Rijndael::Key192, "000102030405060708090a0b0c0d0e0f1011121314151617",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"C.3 AES-256", Rijndael::Key256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes key = FromHex(c.key), expected = FromHex(c.cipher);
    Rijndael enc, dec;
    ASSERT_EQ(0, enc.Init(Rijndael::ModeEcb, Rijndael::DirEncrypt, key.data(), c.keyLength));
    ASSERT_EQ(0, dec.Init(Rijndael::ModeEcb, Rijndael::DirDecrypt, key.data(), c.keyLength));
    Bytes out(16);
    EXPECT_EQ(128, enc.BlockEncrypt(plain.data(), 128, out.data()));
    EXPECT_EQ(expected, out);
    EXPECT_EQ(128, dec.BlockDecrypt(expected.data(), 128, out.data()));
    EXPECT_EQ(plain, out);
    EXPECT_EQ(128, dec.BlockDecrypt(out.data(), 128, out.data()));  // any buffer may be both
    EXPECT_EQ(128, enc.BlockEncrypt(out.data(), 128, out.data()));
    EXPECT_EQ(plain, out);
  }
}

// Chaining over several blocks (SP 800-38A F.2.5 and F.3.1); a trailing part block is not processed.
TEST(Rijndael, ChainingModesOverSeveralBlocks) {
  struct Case {
    const char* name;
    int mode, keyLength;
    const char *key, *plain, *cipher;
  } cases[] = {
      {"CBC AES-256", Rijndael::ModeCbc, Rijndael::Key256,
       "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
       "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
      {"CFB1 AES-128", Rijndael::ModeCfb1, Rijndael::Key128, "2b7e151628aed2a6abf7158809cf4f3c",
       "6bc1bee22e409f96e93d7e117393172a", "68b3a264f838f5f8c3101070d1ab4c2e"},
  };
  const Bytes iv = FromHex("000102030405060708090a0b0c0d0e0f");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes key = FromHex(c.key), plain = FromHex(c.plain), cipher = FromHex(c.cipher);
    const int bits = static_cast<int>(plain.size() * 8);
    Rijndael enc, dec;
    ASSERT_EQ(0, enc.Init(c.mode, Rijndael::DirEncrypt, key.data(), c.keyLength, iv.data()));
    ASSERT_EQ(0, dec.Init(c.mode, Rijndael::DirDecrypt, key.data(), c.keyLength, iv.data()));
    Bytes out(plain.size());
    EXPECT_EQ(bits, enc.BlockEncrypt(plain.data(), bits + 100, out.data()));
    EXPECT_EQ(cipher, out);
    EXPECT_EQ(bits, enc.BlockEncrypt(plain.data(), bits, out.data()));  // no chaining state between calls
    EXPECT_EQ(cipher, out);
    out = cipher;
    EXPECT_EQ(bits, dec.BlockDecrypt(out.data(), bits, out.data()));
    EXPECT_EQ(plain, out);
  }
}

// CBC decryption takes the blocks in groups (pairs, a triple first for an odd count): every count must
// give the plaintext back, into another buffer and in place.
TEST(Rijndael, CbcDecryptionOfEveryBlockCount) {
  const Bytes key(32, 0x3c), iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Rijndael enc, dec;
  ASSERT_EQ(0, enc.Init(Rijndael::ModeCbc, Rijndael::DirEncrypt, key.data(), Rijndael::Key256, iv.data()));
  ASSERT_EQ(0, dec.Init(Rijndael::ModeCbc, Rijndael::DirDecrypt, key.data(), Rijndael::Key256, iv.data()));
  for (int blocks = 1; blocks <= 9; ++blocks) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    const int bits = blocks * 128;
    Bytes plain(16 * blocks), cipher(16 * blocks), out(16 * blocks);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<unsigned char>(i * 29 + blocks);
    ASSERT_EQ(bits, enc.BlockEncrypt(plain.data(), bits, cipher.data()));
    EXPECT_EQ(bits, dec.BlockDecrypt(cipher.data(), bits, out.data()));
    EXPECT_EQ(plain, out);
    out = cipher;
    EXPECT_EQ(bits, dec.BlockDecrypt(out.data(), bits, out.data()));
    EXPECT_EQ(plain, out);
  }
}

TEST(Rijndael, ResultCodes) {
  const Bytes key(32, 7);
  Rijndael r;
  EXPECT_EQ(Rijndael::UnsupportedMode, r.Init(3, 0, key.data(), 2));
  EXPECT_EQ(Rijndael::UnsupportedDirection, r.Init(1, 2, key.data(), 2));
  EXPECT_EQ(Rijndael::UnsupportedKeyLength, r.Init(1, 0, key.data(), 3));
  EXPECT_EQ(Rijndael::UnsupportedKeyLength, r.Init(1, 0, key.data(), -1));
  EXPECT_EQ(Rijndael::MissingKey, r.Init(1, 0, nullptr, 2));

  unsigned char in[32] = {}, out[48];
  EXPECT_EQ(Rijndael::NotInitialised, r.BlockEncrypt(in, 128, out));
  EXPECT_EQ(Rijndael::NotInitialised, r.BlockDecrypt(in, 128, out));
  EXPECT_EQ(Rijndael::NotInitialised, r.PadEncrypt(in, 16, out));
  EXPECT_EQ(Rijndael::NotInitialised, r.PadDecrypt(in, 16, out));

  ASSERT_EQ(0, r.Init(Rijndael::ModeCbc, Rijndael::DirEncrypt, key.data(), Rijndael::Key256));
  EXPECT_EQ(Rijndael::WrongDirection, r.BlockDecrypt(in, 128, out));
  EXPECT_EQ(Rijndael::WrongDirection, r.PadDecrypt(in, 16, out));
  EXPECT_EQ(0, r.BlockEncrypt(in, 0, out));
  EXPECT_EQ(0, r.BlockEncrypt(in, 127, out));
  EXPECT_EQ(256, r.BlockEncrypt(in, 256, out));
  EXPECT_EQ(32, r.PadEncrypt(in, 16, out));  // a whole block of padding behind whole blocks
  EXPECT_EQ(16, r.PadEncrypt(nullptr, 0, out));

  // A failed Init leaves the object unusable rather than keyed with the old key.
  EXPECT_EQ(Rijndael::UnsupportedKeyLength, r.Init(1, 0, key.data(), 5));
  EXPECT_EQ(Rijndael::NotInitialised, r.BlockEncrypt(in, 128, out));

  ASSERT_EQ(0, r.Init(Rijndael::ModeCbc, Rijndael::DirDecrypt, key.data(), Rijndael::Key256));
  EXPECT_EQ(Rijndael::WrongDirection, r.BlockEncrypt(in, 128, out));
  EXPECT_EQ(Rijndael::WrongDirection, r.PadEncrypt(in, 16, out));
  EXPECT_EQ(0, r.PadDecrypt(in, 0, out));
}

// PadDecrypt rejects every last block that is not n bytes of value n, 1 <= n <= 16, and input that is not
// whole blocks; PadEncrypt's output of every length up to ten blocks round-trips.
TEST(Rijndael, Padding) {
  const Bytes key(32, 0x5a);
  Rijndael enc, dec, raw;
  ASSERT_EQ(0, enc.Init(Rijndael::ModeCbc, Rijndael::DirEncrypt, key.data(), Rijndael::Key256));
  ASSERT_EQ(0, dec.Init(Rijndael::ModeCbc, Rijndael::DirDecrypt, key.data(), Rijndael::Key256));
  ASSERT_EQ(0, raw.Init(Rijndael::ModeCbc, Rijndael::DirEncrypt, key.data(), Rijndael::Key256));

  for (int len = 0; len <= 160; ++len) {
    SCOPED_TRACE("length " + std::to_string(len));
    Bytes plain(len), cipher(176), back(176);
    for (int i = 0; i < len; ++i) plain[i] = static_cast<unsigned char>('a' + i % 26);
    const int n = enc.PadEncrypt(plain.data(), len, cipher.data());
    ASSERT_EQ(16 * (len / 16 + 1), n);
    ASSERT_EQ(len, dec.PadDecrypt(cipher.data(), n, back.data()));
    back.resize(len);
    EXPECT_EQ(plain, back);
  }

  struct Case {
    const char* name;
    unsigned char last, filler;
    int fillFrom;  // bytes [fillFrom, 15) take filler
  } bad[] = {
      {"pad value 0", 0, 0, 15},
      {"pad value 17", 17, 17, 0},
      {"pad value 255", 255, 255, 0},
      {"pad bytes differ", 4, 3, 12},
      {"one pad byte short", 4, 4, 13},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    unsigned char block[16], cipher[16], out[16];
    std::memset(block, 'x', sizeof block);
    std::memset(block + c.fillFrom, c.filler, 15 - c.fillFrom);
    block[15] = c.last;
    ASSERT_EQ(128, raw.BlockEncrypt(block, 128, cipher));
    EXPECT_EQ(Rijndael::BadData, dec.PadDecrypt(cipher, 16, out));
  }
  unsigned char cipher[32] = {}, out[32];
  EXPECT_EQ(Rijndael::BadData, dec.PadDecrypt(cipher, 17, out));
  EXPECT_EQ(Rijndael::BadData, dec.PadDecrypt(cipher, 15, out));
}

// Cipher text grows to whole blocks (an empty line is one block of padding); Base64 of n bytes has
// 4 * ceil(n / 3) characters; the key and the vector are fixed, so equal lines give equal text.
TEST(LineCipher, SizesAndRoundTrip) {
  struct Case {
    size_t length, chars;
  } cases[] = {{0, 24}, {1, 24}, {15, 24}, {16, 44}, {17, 44}, {100, 152}, {4096, 5484}};
  for (const Case& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.length));
    std::string line(c.length, 'x');
    for (size_t i = 0; i < c.length; ++i) line[i] = static_cast<char>(1 + (i * 37) % 255);
    const std::string b64 = CipherText(line);
    EXPECT_EQ(c.chars, b64.size());
    EXPECT_EQ(b64, CipherText(line));
    std::string back;
    ASSERT_TRUE(DecipherText(b64, &back));
    EXPECT_EQ(line, back);
  }
  EXPECT_NE(CipherText("line one\r\n"), CipherText("line two\r\n"));
}

TEST(LineCipher, DecryptLineAcceptsAndRejects) {
  const std::string b64 = CipherText("2024-01-02 10:11:12.013 INFO a logged line\r\n");
  std::string plain;

  ASSERT_TRUE(DecipherText("", &plain));
  EXPECT_EQ("", plain);

  // Line breaks and blanks inside the Base64 text are skipped.
  std::string spread;
  for (size_t i = 0; i < b64.size(); ++i) spread += (i % 10 == 9) ? std::string("\r\n ") + b64[i] : std::string(1, b64[i]);
  ASSERT_TRUE(DecipherText(spread, &plain));
  EXPECT_EQ("2024-01-02 10:11:12.013 INFO a logged line\r\n", plain);

  std::string tampered = b64;
  tampered[b64.size() - 5] = tampered[b64.size() - 5] == 'A' ? 'B' : 'A';  // scrambles the last block
  const std::string firstBlock = b64.substr(0, 22) + "==";
  // Two blocks make 43 characters and one "=".
  const std::string twoBlocks = CipherText("a line of two blocks\r\n");
  ASSERT_EQ(44u, twoBlocks.size());
  const std::string unpadded = twoBlocks.substr(0, 43);
  const char* rejected[][2] = {
      {"plain text", "plain text"},
      {"QUJD", "three bytes: not a whole block"},
      {"QUJDREVGR0hJSktMTU5PUA==", "one block whose padding is not valid"},
      {tampered.c_str(), "the last block altered"},
      {firstBlock.c_str(), "the first block alone"},
      {unpadded.c_str(), "the closing \"=\" removed: three characters left over"},
  };
  for (auto& r : rejected) {
    SCOPED_TRACE(r[1]);
    char sentinel = 0;
    char* out = &sentinel;
    EXPECT_FALSE(kesi::DecryptLine(r[0], &out));
    EXPECT_EQ(nullptr, out);  // a failure hands back no text
  }
}

// Only the shape of a ciphered line counts as one: a log reader hands those lines to DecryptLine and
// passes the others through.
TEST(LineCipher, LooksCipheredTellsTheShape) {
  const std::string one = CipherText("one block\r\n"), two = CipherText("a line of two blocks\r\n");
  const struct {
    std::string text;
    bool ciphered;
    const char* what;
  } cases[] = {
      {one, true, "one block: 22 characters and \"==\""},
      {two, true, "two blocks: 43 characters and \"=\""},
      {one.substr(0, 20), false, "too short"},
      {std::string(24, 'A'), false, "18 bytes: not whole blocks"},
      {std::string(22, 'A') + "=A", false, "padding inside the text"},
      {two.substr(0, 20) + "-" + two.substr(21), false, "a character outside Base64"},
      {"12/10/2026 11:40:01.123 I Beginning.", false, "a plain log line of 36 characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.ciphered, kesi::LooksCiphered(c.text.c_str(), c.text.size()));
  }
  EXPECT_FALSE(kesi::LooksCiphered(nullptr, 44));
}

// The file functions restore a file byte for byte: each line keeps its own ending (CR LF, LF or none),
// and a line may be longer than any fixed buffer.
TEST(LineCipher, FileRoundTrip) {
  const std::string name = "cipher_file_test";
  const std::string plainPath = name + ".txt", cipherPath = name + ".enc", backPath = name + ".out";
  std::string content = "first line\r\n\r\nthird, after an empty line\n";
  content += std::string(40000, 'L') + "\n";
  content += "no line end at the end";
  FILE* f = std::fopen(plainPath.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);

  ASSERT_TRUE(kesi::EncryptFile(plainPath.c_str(), cipherPath.c_str()));
  ASSERT_TRUE(kesi::DecryptFile(cipherPath.c_str(), backPath.c_str()));

  auto slurp = [](const std::string& path) {
    std::string s;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) s.append(buf, n);
    std::fclose(in);
    return s;
  };
  EXPECT_EQ(content, slurp(backPath));

  // One ciphered line per input line, each ending in a single line feed.
  const std::string ciphered = slurp(cipherPath);
  EXPECT_EQ(std::string::npos, ciphered.find('\r'));
  size_t lines = 0;
  for (char c : ciphered) lines += (c == '\n');
  EXPECT_EQ(5u, lines);
  EXPECT_EQ('\n', ciphered.back());

  // A plain line among ciphered ones fails the whole file.
  f = std::fopen(cipherPath.c_str(), "ab");
  ASSERT_NE(nullptr, f);
  std::fputs("a plain line\n", f);
  std::fclose(f);
  EXPECT_FALSE(kesi::DecryptFile(cipherPath.c_str(), backPath.c_str()));
  EXPECT_FALSE(kesi::DecryptFile((name + ".missing").c_str(), backPath.c_str()));

  std::remove(plainPath.c_str());
  std::remove(cipherPath.c_str());
  std::remove(backPath.c_str());
}
