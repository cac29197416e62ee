// SHA-1 against the FIPS 180-1 examples and HMAC-SHA1 against the RFC 2202 test cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Sha1.h"
#include "TestText.h"

using namespace kesi;

namespace {

std::string Sha1Hex(const std::string& data) {
  unsigned char digest[kesi::kSha1DigestSize];
  kesi::Sha1Digest(data.data(), data.size(), digest);
  return kesi::test::ToHex(digest, sizeof(digest));
}

}  // namespace

TEST(Sha1, PublishedExamples) {
  struct Case {
    const char* name;
    std::string data;
    const char* digest;
  } cases[] = {
      {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"one million a", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.digest, Sha1Hex(c.data));
  }
}

// The message fed in pieces of every size from 1 to 130 gives the digest of the whole: pending bytes are
// carried across block boundaries, and the padding lands in one or two blocks as the length requires.
TEST(Sha1, PiecesGiveTheDigestOfTheWhole) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message += static_cast<char>(i * 7 + 3);
  for (size_t length : {0u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
    const std::string whole = Sha1Hex(message.substr(0, length));
    for (size_t piece = 1; piece <= 130; ++piece) {
      kesi::Sha1 sha;
      for (size_t at = 0; at < length; at += piece) sha.Update(message.data() + at, std::min(piece, length - at));
      unsigned char digest[kesi::kSha1DigestSize];
      sha.Final(digest);
      ASSERT_EQ(whole, kesi::test::ToHex(digest, sizeof(digest))) << "length " << length << ", pieces of " << piece;
    }
  }
}

TEST(HmacSha1, Rfc2202TestCases) {
  std::string key25;
  for (int i = 1; i <= 25; ++i) key25 += static_cast<char>(i);
  struct Case {
    int number;
    std::string key;
    std::string data;
    const char* mac;
  } cases[] = {
      {1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {2, "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {3, std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {4, key25, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {5, std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {6, std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {7, std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("test case " + std::to_string(c.number));
    unsigned char mac[kesi::kSha1DigestSize];
    kesi::HmacSha1(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac);
    EXPECT_EQ(c.mac, kesi::test::ToHex(mac, sizeof(mac)));
  }
}
