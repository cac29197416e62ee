// Base64: the RFC 4648 vectors, what the decoder skips and where it stops, and the room it needs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Base64.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Encode(const Bytes& b) {
  std::string out(((b.size() + 2) / 3) * 4 + 1, '?');
  int n = kesi::Base64Encode(b.data(), b.size(), &out[0], out.size());
  EXPECT_EQ(out.size() - 1, static_cast<size_t>(n));
  EXPECT_EQ('\0', out[out.size() - 1]);
  out.resize(n > 0 ? n : 0);
  return out;
}

}  // namespace

// RFC 4648 section 10, both ways.
TEST(Base64, Rfc4648Vectors) {
  const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) {
    SCOPED_TRACE(v[0]);
    const Bytes raw(v[0], v[0] + std::strlen(v[0]));
    EXPECT_EQ(v[1], Encode(raw));
    unsigned char out[16];
    std::memset(out, 0xee, sizeof out);
    size_t size = sizeof out;
    ASSERT_EQ(0, kesi::Base64Decode(v[1], out, &size));
    EXPECT_EQ(raw, Bytes(out, out + size));
    EXPECT_EQ(0, out[size]);
  }
}

TEST(Base64, DecodeSkipsForeignCharactersAndNeedsOneSpareByte) {
  struct Case {
    const char* text;
    const char* decoded;
  } cases[] = {
      {"QUJD", "ABC"},
      {"QU\r\nJD", "ABC"},
      {" Q U J D ", "ABC"},
      {"Q*U-J.D", "ABC"},
      {"QQ==", "A"},
      {"QQ==QUJD", "A"},  // "=" ends the text
      {"QUJDR", "ABC"},   // a single character left over gives nothing
      {"QUJD\r\nREV\tGR0g=", "ABCDEFGH"},  // whole groups on either side of skipped characters
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned char out[16];
    size_t size = sizeof out;
    ASSERT_EQ(0, kesi::Base64Decode(c.text, out, &size));
    EXPECT_EQ(std::string(c.decoded), std::string(reinterpret_cast<char*>(out), size));
    // The measuring form decodes the same and finds the whole text's length, past an early "=" too.
    size = sizeof out;
    size_t length = 12345;
    ASSERT_EQ(0, kesi::Base64Decode(c.text, out, &size, &length));
    EXPECT_EQ(std::string(c.decoded), std::string(reinterpret_cast<char*>(out), size));
    EXPECT_EQ(std::strlen(c.text), length);
  }

  const char* exact[][2] = {{"QUJD", "3"}, {"QQ==", "1"}, {"QUI=", "2"}, {"QUJDREVG", "6"}, {"", "0"}};
  for (auto& e : exact) {
    SCOPED_TRACE(e[0]);
    unsigned char out[8];
    size_t size = static_cast<size_t>(std::atoi(e[1]));
    EXPECT_EQ(-1, kesi::Base64Decode(e[0], out, &size));
    size = static_cast<size_t>(std::atoi(e[1])) + 1;
    EXPECT_EQ(0, kesi::Base64Decode(e[0], out, &size));
  }
}

TEST(Base64, EncodeTruncatesToTheOutputSize) {
  const unsigned char abc[] = {'A', 'B', 'C', 'D'};
  char out[6];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(5, kesi::Base64Encode(abc, sizeof abc, out, sizeof out));
  EXPECT_STREQ("QUJDR", out);
  EXPECT_EQ(0, kesi::Base64Encode(abc, sizeof abc, out, 0));
  EXPECT_EQ('Q', out[0]);
}

