// The disk serial decoders of the equipment identifier and the hexadecimal form of digests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SerialText.h"

using namespace kesi;

namespace kesi {
namespace {

// A zeroed descriptor with text (its bytes as given, no terminator added) at offset 24.
std::vector<uint8_t> Descriptor(const std::string& text, size_t size = 64) {
  std::vector<uint8_t> buffer(size, 0);
  memcpy(buffer.data() + 24, text.data(), text.size());
  return buffer;
}

std::string Decode(const std::vector<uint8_t>& descriptor, long offset) {
  std::vector<char> out(descriptor.size() + 1, 'X');
  const size_t length = DecodeSerialText(descriptor.data(), descriptor.size(), offset, out.data(), out.size());
  EXPECT_EQ(length, strlen(out.data()));
  return out.data();
}

TEST(SerialText, DecodesDescriptorSerials) {
  struct Case {
    const char* name;
    std::string text;
    const char* expected;
  };
  const Case cases[] = {
      {"hex digit pairs, swapped", "3234", "42"},
      {"upper-case hex digits", "4A4B", "KJ"},
      {"hex of a padded serial", "202044572D573158", "WDW-X1"},
      {"white space counts as 0 and a 0 byte ends the text", "3234  ", "42"},
      {"0 byte inside ends the text there", "3132003334", "21"},
      {"a character that is no hex digit: raw, swapped", "WD-W", "DWW-"},
      {"odd length: the last byte drops out", "ABC", "BA"},
      {"odd count of hex digits is not hex", "323", "23"},
      {"hex byte that is not printable: raw", "0132", "1023"},
      {"raw text with blanks around it", "  AB  ", "BA"},
      {"raw text with a byte that is not printable", "AB\x01" "CD", ""},
      {"raw text with a byte above 0x7E", "AB\xC3\xA9", ""},
      {"hex text of a serial that is all blanks", "20202020", ""},
      {"empty text", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decode(Descriptor(c.text), 24), c.expected);
  }
}

TEST(SerialText, StaysInsideTheDescriptor) {
  std::vector<uint8_t> descriptor = Descriptor("3234");
  EXPECT_EQ(Decode(descriptor, 0), "") << "offset 0 means no serial";
  EXPECT_EQ(Decode(descriptor, -8), "");
  EXPECT_EQ(Decode(descriptor, static_cast<long>(descriptor.size())), "");
  EXPECT_EQ(Decode(descriptor, 1 << 30), "");

  // Text running up to the end of the buffer with no terminator.
  std::vector<uint8_t> full = Descriptor("WXYZ", 28);
  EXPECT_EQ(Decode(full, 24), "XWZY");

  // An output buffer that cannot hold the text gives an empty one rather than a cut one.
  char small[3] = {'X', 'X', 'X'};
  EXPECT_EQ(DecodeSerialText(full.data(), full.size(), 24, small, sizeof(small)), 0u);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(DecodeSerialText(nullptr, 10, 1, small, sizeof(small)), 0u);
}

// Identify data with serial bytes (as stored) at byte 20 and filler behind the 20-byte field.
std::vector<uint8_t> Identify(const std::string& stored, uint8_t filler = 0) {
  std::vector<uint8_t> data(kIdentifyDataSize, 0);
  for (size_t i = kIdentifySerialOffset + kIdentifySerialLength; i < 60; ++i) data[i] = filler;
  memcpy(data.data() + kIdentifySerialOffset, stored.data(), stored.size());
  return data;
}

TEST(SerialText, DecodesIdentifySerials) {
  struct Case {
    const char* name;
    std::vector<uint8_t> identify;
    const char* expected;
  };
  const Case cases[] = {
      {"swapped pairs padded with blanks", Identify("      DWW-AC1V3254  "), "WD-WCAV12345"},
      {"a full field stops at its end", Identify("BADCFEHGJILKNMPORQTS", 'x'), "ABCDEFGHIJKLMNOPQRST"},
      {"a pair whose first byte is 0 ends it", Identify(std::string("BADC\0FHG", 8), 'x'), "ABCD"},
      {"a 0 second byte ends the text", Identify(std::string("BAC\0", 4), 'x'), "AB"},
      {"no serial", Identify(""), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char out[kIdentifySerialLength + 1];
    memset(out, 'X', sizeof(out));
    EXPECT_EQ(DecodeIdentifySerial(c.identify.data(), out, sizeof(out)), strlen(c.expected));
    EXPECT_STREQ(out, c.expected);
  }
  char tiny[4];
  EXPECT_EQ(DecodeIdentifySerial(Identify("BADCFE").data(), tiny, sizeof(tiny)), 2u);
  EXPECT_STREQ(tiny, "AB");
}

}  // namespace
}  // namespace kesi
