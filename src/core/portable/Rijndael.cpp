#include "Rijndael.h"

#include <climits>
#include <cstring>
#include <utility>

#include "SecureWipe.h"

namespace kesi {
namespace {

// Round tables, computed at compile time: Te combines SubBytes, ShiftRows' byte choice and MixColumns
// for one state byte; Td does the same for the inverse cipher. Four rotations of each save the rotates
// in the inner loop: a round is 16 lookups and 16 XORs.
struct Tables {
  uint8_t sbox[256];
  uint8_t inv[256];
  uint32_t te[4][256];
  uint32_t td[4][256];
};

constexpr uint8_t Xtime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t Mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = Xtime(a);
    b >>= 1;
  }
  return r;
}

constexpr uint32_t Word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d;
}

constexpr uint32_t Rotr8(uint32_t x) { return (x >> 8) | (x << 24); }

constexpr Tables MakeTables() {
  Tables t{};
  // Powers and logarithms of the generator 3 give the multiplicative inverses in GF(2^8).
  uint8_t exp[256] = {};
  uint8_t log[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    exp[i] = x;
    log[x] = static_cast<uint8_t>(i);
    x = static_cast<uint8_t>(x ^ Xtime(x));
  }
  for (int i = 0; i < 256; ++i) {
    uint8_t b = i ? exp[(255 - log[i]) % 255] : 0;
    uint8_t s = b;
    for (int k = 0; k < 4; ++k) {  // the affine map: b ^ rotl1 ^ rotl2 ^ rotl3 ^ rotl4 ^ 0x63
      b = static_cast<uint8_t>((b << 1) | (b >> 7));
      s ^= b;
    }
    s ^= 0x63;
    t.sbox[i] = s;
    t.inv[s] = static_cast<uint8_t>(i);
  }
  for (int i = 0; i < 256; ++i) {
    uint8_t s = t.sbox[i];
    uint32_t e = Word(Mul(s, 2), s, s, Mul(s, 3));
    uint8_t v = t.inv[i];
    uint32_t d = Word(Mul(v, 14), Mul(v, 9), Mul(v, 13), Mul(v, 11));
    for (int r = 0; r < 4; ++r) {
      t.te[r][i] = e;
      t.td[r][i] = d;
      e = Rotr8(e);
      d = Rotr8(d);
    }
  }
  return t;
}

constexpr Tables kT = MakeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xed && kT.inv[0x63] == 0x00, "S-box");

inline uint32_t Load(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void Store(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline uint32_t SubWord(uint32_t w) {
  return Word(kT.sbox[w >> 24], kT.sbox[(w >> 16) & 0xff], kT.sbox[(w >> 8) & 0xff], kT.sbox[w & 0xff]);
}

inline void Xor16(unsigned char* dst, const unsigned char* a, const unsigned char* b) {
  for (int i = 0; i < 16; ++i) dst[i] = static_cast<unsigned char>(a[i] ^ b[i]);
}

// Row r of a new column comes from the column r places after it (ShiftRows) in the forward cipher and r
// places before it in the inverse one; callers pass a column and the three after it, in order.
template <bool Inverse>
inline uint32_t RoundColumn(const uint32_t (&T)[4][256], uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3) {
  if (Inverse) std::swap(c1, c3);
  return T[0][c0 >> 24] ^ T[1][(c1 >> 16) & 0xff] ^ T[2][(c2 >> 8) & 0xff] ^ T[3][c3 & 0xff];
}

// The last round has no MixColumns: the S-box (or its inverse) alone.
template <bool Inverse>
inline uint32_t LastColumn(const uint8_t* S, uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3) {
  if (Inverse) std::swap(c1, c3);
  return Word(S[c0 >> 24], S[(c1 >> 16) & 0xff], S[(c2 >> 8) & 0xff], S[c3 & 0xff]);
}

// One block through all the rounds; rk holds the inverse cipher's keys (see Init) when Inverse is set.
// Forced inline so that each direction keeps its rounds in its own member: left to itself, GCC makes
// them a tail call, and deciphering under Wine measured a few per cent slower (bench/cipher/run.sh).
template <bool Inverse>
__attribute__((always_inline)) inline void CipherBlock(const uint32_t* rk, int rounds, const unsigned char* in,
                                                       unsigned char* out) {
  const auto& T = Inverse ? kT.td : kT.te;
  uint32_t s0 = Load(in) ^ rk[0];
  uint32_t s1 = Load(in + 4) ^ rk[1];
  uint32_t s2 = Load(in + 8) ^ rk[2];
  uint32_t s3 = Load(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = RoundColumn<Inverse>(T, s0, s1, s2, s3) ^ rk[0];
    uint32_t t1 = RoundColumn<Inverse>(T, s1, s2, s3, s0) ^ rk[1];
    uint32_t t2 = RoundColumn<Inverse>(T, s2, s3, s0, s1) ^ rk[2];
    uint32_t t3 = RoundColumn<Inverse>(T, s3, s0, s1, s2) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const uint8_t* S = Inverse ? kT.inv : kT.sbox;
  Store(out, LastColumn<Inverse>(S, s0, s1, s2, s3) ^ rk[0]);
  Store(out + 4, LastColumn<Inverse>(S, s1, s2, s3, s0) ^ rk[1]);
  Store(out + 8, LastColumn<Inverse>(S, s2, s3, s0, s1) ^ rk[2]);
  Store(out + 12, LastColumn<Inverse>(S, s3, s0, s1, s2) ^ rk[3]);
}

// N blocks through the inverse cipher side by side, for CBC decryption, where no block waits for
// another: a round of one block does not depend on the other's, so their table lookups overlap instead of
// each round waiting for the previous one.
template <int N>
__attribute__((always_inline)) inline void InverseBlocks(const uint32_t* rk, int rounds, const unsigned char* in,
                                                         unsigned char* out) {
  uint32_t s[N][4];
#pragma GCC unroll 4
  for (int b = 0; b < N; ++b)
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) s[b][c] = Load(in + 16 * b + 4 * c) ^ rk[c];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
#pragma GCC unroll 4
    for (int b = 0; b < N; ++b) {
      const uint32_t t0 = RoundColumn<true>(kT.td, s[b][0], s[b][1], s[b][2], s[b][3]) ^ rk[0];
      const uint32_t t1 = RoundColumn<true>(kT.td, s[b][1], s[b][2], s[b][3], s[b][0]) ^ rk[1];
      const uint32_t t2 = RoundColumn<true>(kT.td, s[b][2], s[b][3], s[b][0], s[b][1]) ^ rk[2];
      const uint32_t t3 = RoundColumn<true>(kT.td, s[b][3], s[b][0], s[b][1], s[b][2]) ^ rk[3];
      s[b][0] = t0;
      s[b][1] = t1;
      s[b][2] = t2;
      s[b][3] = t3;
    }
  }
  rk += 4;
#pragma GCC unroll 4
  for (int b = 0; b < N; ++b) {
    unsigned char* o = out + 16 * b;
    Store(o, LastColumn<true>(kT.inv, s[b][0], s[b][1], s[b][2], s[b][3]) ^ rk[0]);
    Store(o + 4, LastColumn<true>(kT.inv, s[b][1], s[b][2], s[b][3], s[b][0]) ^ rk[1]);
    Store(o + 8, LastColumn<true>(kT.inv, s[b][2], s[b][3], s[b][0], s[b][1]) ^ rk[2]);
    Store(o + 12, LastColumn<true>(kT.inv, s[b][3], s[b][0], s[b][1], s[b][2]) ^ rk[3]);
  }
}

// K cipher blocks at in through the inverse cipher and the chaining: plain receives their plaintext,
// chain holds the cipher block before the first on entry and the last one on return. All of in is read
// before the caller writes any plaintext out, so the output may be the input itself.
template <int K>
__attribute__((always_inline)) inline void CbcGroup(const uint32_t* rk, int rounds, const unsigned char* in,
                                                    unsigned char* plain, unsigned char chain[16]) {
  InverseBlocks<K>(rk, rounds, in, plain);
  Xor16(plain, plain, chain);
  for (int k = 1; k < K; ++k) Xor16(plain + 16 * k, plain + 16 * k, in + 16 * (k - 1));
  std::memcpy(chain, in + 16 * (K - 1), 16);
}

}  // namespace

Rijndael::Rijndael() : notInitialised_(true), mode_(ModeEcb), direction_(DirEncrypt), iv_{}, rounds_(0), roundKeys_{} {}

Rijndael::~Rijndael() {
  SecureWipe(roundKeys_, sizeof roundKeys_);
  notInitialised_ = true;
}

int Rijndael::Init(int mode, int direction, const unsigned char* key, int keyLength, const unsigned char* iv) {
  notInitialised_ = true;
  if (mode != ModeEcb && mode != ModeCbc && mode != ModeCfb1) return UnsupportedMode;
  if (direction != DirEncrypt && direction != DirDecrypt) return UnsupportedDirection;
  if (keyLength < Key128 || keyLength > Key256) return UnsupportedKeyLength;
  if (!key) return MissingKey;

  mode_ = mode;
  direction_ = direction;
  if (iv) std::memcpy(iv_, iv, sizeof iv_);
  else std::memset(iv_, 0, sizeof iv_);

  const int nk = 4 + 2 * keyLength;  // key words
  rounds_ = nk + 6;
  const int total = 4 * (rounds_ + 1);
  uint32_t* w = roundKeys_;
  for (int i = 0; i < nk; ++i) w[i] = Load(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t(rcon) << 24);
      rcon = Xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }

  // The inverse cipher runs the rounds backwards with InvMixColumns applied to the inner round keys
  // (Td of the S-box value is InvMixColumns of the byte). CFB uses the forward cipher both ways.
  if (direction == DirDecrypt && mode != ModeCfb1) {
    for (int i = 0, j = total - 4; i < j; i += 4, j -= 4) {
      for (int k = 0; k < 4; ++k) {
        uint32_t t = w[i + k];
        w[i + k] = w[j + k];
        w[j + k] = t;
      }
    }
    for (int i = 4; i < total - 4; ++i) {
      uint32_t v = w[i];
      w[i] = kT.td[0][kT.sbox[v >> 24]] ^ kT.td[1][kT.sbox[(v >> 16) & 0xff]] ^
             kT.td[2][kT.sbox[(v >> 8) & 0xff]] ^ kT.td[3][kT.sbox[v & 0xff]];
    }
  }
  notInitialised_ = false;
  return Success;
}

void Rijndael::EncryptBlock(const unsigned char in[16], unsigned char out[16]) const {
  CipherBlock<false>(roundKeys_, rounds_, in, out);
}

void Rijndael::DecryptBlock(const unsigned char in[16], unsigned char out[16]) const {
  CipherBlock<true>(roundKeys_, rounds_, in, out);
}

// CBC over whole blocks, in pairs (a triple first when the count is odd, so that no block goes alone
// unless it is the only one). chain holds the cipher block before the first on entry and the last one on
// return. With last set, the final block's plaintext goes there instead of to output.
void Rijndael::CbcDecrypt(const unsigned char* input, int blocks, unsigned char* output, unsigned char chain[16],
                          unsigned char last[16]) const {
  unsigned char plain[48];
  auto put = [&](int first, int count) {
    const bool holdsLast = last && first + count == blocks;
    std::memcpy(output + 16 * first, plain, 16 * (holdsLast ? count - 1 : count));
    if (holdsLast) std::memcpy(last, plain + 16 * (count - 1), 16);
  };
  int i = 0;
  if (blocks == 1) {
    CbcGroup<1>(roundKeys_, rounds_, input, plain, chain);
    put(0, 1);
    i = 1;
  } else if (blocks % 2) {
    CbcGroup<3>(roundKeys_, rounds_, input, plain, chain);
    put(0, 3);
    i = 3;
  }
  for (; i < blocks; i += 2) {
    CbcGroup<2>(roundKeys_, rounds_, input + 16 * i, plain, chain);
    put(i, 2);
  }
  SecureWipe(plain, sizeof plain);
}

// One bit per cipher call, most significant bit of each byte first: the shift register takes the cipher
// text bit in both directions.
void Rijndael::Cfb1(const unsigned char* input, int blocks, unsigned char* output, bool decrypt) const {
  unsigned char reg[16];
  unsigned char ks[16];
  std::memcpy(reg, iv_, sizeof reg);
  for (int n = 0; n < blocks * 16; ++n) {
    unsigned char inByte = input[n];
    unsigned char outByte = 0;
    for (int bit = 7; bit >= 0; --bit) {
      EncryptBlock(reg, ks);
      unsigned in = (inByte >> bit) & 1u;
      unsigned out = in ^ (ks[0] >> 7);
      outByte = static_cast<unsigned char>(outByte | (out << bit));
      unsigned feed = decrypt ? in : out;
      for (int k = 0; k < 15; ++k) reg[k] = static_cast<unsigned char>((reg[k] << 1) | (reg[k + 1] >> 7));
      reg[15] = static_cast<unsigned char>((reg[15] << 1) | feed);
    }
    output[n] = outByte;
  }
  SecureWipe(ks, sizeof ks);
}

int Rijndael::Check(int direction) const {
  if (notInitialised_) return NotInitialised;
  if (direction_ != direction) return WrongDirection;
  return Success;
}

int Rijndael::BlockEncrypt(const unsigned char* input, int inputBits, unsigned char* output) const {
  if (int rc = Check(DirEncrypt)) return rc;
  if (!input || !output || inputBits <= 0) return 0;
  const int blocks = inputBits / 128;
  switch (mode_) {
    case ModeEcb:
      for (int i = 0; i < blocks; ++i) EncryptBlock(input + 16 * i, output + 16 * i);
      break;
    case ModeCbc: {
      const unsigned char* chain = iv_;
      unsigned char block[16];
      for (int i = 0; i < blocks; ++i) {
        Xor16(block, input + 16 * i, chain);
        EncryptBlock(block, output + 16 * i);
        chain = output + 16 * i;
      }
      break;
    }
    default:
      Cfb1(input, blocks, output, false);
      break;
  }
  return blocks * 128;
}

int Rijndael::BlockDecrypt(const unsigned char* input, int inputBits, unsigned char* output) const {
  if (int rc = Check(DirDecrypt)) return rc;
  if (!input || !output || inputBits <= 0) return 0;
  const int blocks = inputBits / 128;
  switch (mode_) {
    case ModeEcb:
      for (int i = 0; i < blocks; ++i) DecryptBlock(input + 16 * i, output + 16 * i);
      break;
    case ModeCbc: {
      unsigned char chain[16];
      std::memcpy(chain, iv_, 16);
      CbcDecrypt(input, blocks, output, chain, nullptr);
      break;
    }
    default:
      Cfb1(input, blocks, output, true);
      break;
  }
  return blocks * 128;
}

int Rijndael::PadEncrypt(const unsigned char* input, int inputBytes, unsigned char* output) const {
  if (int rc = Check(DirEncrypt)) return rc;
  // An empty input still gets its block of padding: an empty line must encipher like any other.
  if (!output || inputBytes < 0 || (inputBytes > 0 && !input)) return 0;
  if (mode_ == ModeCfb1 || inputBytes > INT_MAX - 16) return BadData;
  const int whole = inputBytes / 16;
  const int rest = inputBytes - 16 * whole;
  unsigned char last[16];
  if (rest) std::memcpy(last, input + 16 * whole, rest);
  std::memset(last + rest, 16 - rest, 16 - rest);

  if (mode_ == ModeEcb) {
    for (int i = 0; i < whole; ++i) EncryptBlock(input + 16 * i, output + 16 * i);
    EncryptBlock(last, output + 16 * whole);
  } else {
    const unsigned char* chain = iv_;
    unsigned char block[16];
    for (int i = 0; i < whole; ++i) {
      Xor16(block, input + 16 * i, chain);
      EncryptBlock(block, output + 16 * i);
      chain = output + 16 * i;
    }
    Xor16(block, last, chain);
    EncryptBlock(block, output + 16 * whole);
    SecureWipe(block, sizeof block);
  }
  SecureWipe(last, sizeof last);
  return 16 * (whole + 1);
}

int Rijndael::PadDecrypt(const unsigned char* input, int inputBytes, unsigned char* output) const {
  if (int rc = Check(DirDecrypt)) return rc;
  if (!input || !output || inputBytes <= 0) return 0;
  if (mode_ == ModeCfb1 || inputBytes % 16 != 0) return BadData;
  const int blocks = inputBytes / 16;

  // The last block is deciphered aside and checked before anything of it reaches the output.
  unsigned char plain[16];
  if (mode_ == ModeCbc) {
    unsigned char chain[16];
    std::memcpy(chain, iv_, 16);
    CbcDecrypt(input, blocks, output, chain, plain);
  } else {
    for (int i = 0; i + 1 < blocks; ++i) DecryptBlock(input + 16 * i, output + 16 * i);
    DecryptBlock(input + 16 * (blocks - 1), plain);
  }
  const int pad = plain[15];
  int bad = (pad < 1 || pad > 16);
  for (int i = 16 - (bad ? 1 : pad); i < 16; ++i) bad |= (plain[i] != pad);
  if (bad) {
    SecureWipe(plain, sizeof plain);
    return BadData;
  }
  std::memcpy(output + 16 * (blocks - 1), plain, 16 - pad);
  SecureWipe(plain, sizeof plain);
  return inputBytes - pad;
}

}  // namespace kesi
