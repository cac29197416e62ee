#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LPRPC.h"

using namespace kesi;

namespace {

using Bytes = std::vector<uint8_t>;

// "10 00 0a" -> bytes; spaces are ignored.
Bytes FromHex(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
    out += buf;
  }
  return out;
}

std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// Encodes a vector with its tag into a buffer of exactly GetSize() bytes; empty on failure.
Bytes EncodeOf(LPRPCVector& v, bool* ok = nullptr) {
  Bytes buf(v.GetSize());
  uint8_t* end = v.Encode(buf.data(), buf.data() + buf.size(), false);
  if (ok) *ok = end != nullptr;
  if (!end) return {};
  buf.resize(static_cast<size_t>(end - buf.data()));
  return buf;
}

// A compact text form of a decoded tree: {…} Structure, [E:…] Array of element type E, b Boolean,
// i Integer, j the second number type, s"…" String, x"…" Binary.
std::string Dump(LPRPCVector& v) {
  std::string out;
  bool array = v.GetKind() == LPRPC_ARRAY;
  out += array ? "[" + std::to_string(static_cast<LPRPCArray&>(v).GetElementType()) + ":" : "{";
  v.Rewind();
  bool first = true;
  while (const LPRPCValue* e = v.Next()) {
    if (!first) out += ",";
    first = false;
    switch (e->type) {
      case LPRPC_BOOLEAN: out += "b" + std::to_string(e->value.boolean); break;
      case LPRPC_INTEGER: out += "i" + std::to_string(e->value.integer); break;
      case LPRPC_INTEGER_ALT: out += "j" + std::to_string(e->value.integer); break;
      case LPRPC_STRING: out += "s\"" + std::string(e->value.text) + "\""; break;
      case LPRPC_BINARY: out += "x\"" + ToHex(e->value.bytes, e->length) + "\""; break;
      case LPRPC_STRUCTURE:
      case LPRPC_ARRAY: out += Dump(*e->value.vector); break;
      default: out += "?"; break;
    }
  }
  return out + (array ? "]" : "}");
}

}  // namespace

// The byte forms that the appliance and the client agree on, written out by hand.
TEST(LPRPCEncode, KnownMessagesByteForByte) {
  struct Case {
    const char* name;
    std::function<Bytes()> encode;
    const char* hex;
  };
  const Case cases[] = {
      {"call of procedure 8 with empty parameters",
       [] {
         LPRPCStructure parameters;
         Utf8Buffer out;
         EXPECT_EQ(LPRPCStatus::kOk, BuildCall(8, &parameters, out));
         return Bytes(out.GetData(), out.GetData() + out.GetLength());
       },
       "10 00 03 02 00 00 00 01 02 00 00 00 08 10 00 00"},
      {"String ab",
       [] {
         LPRPCStructure s;
         s.AddString("ab");
         return EncodeOf(s);
       },
       "10 00 01 04 00 03 61 62 00"},
      {"empty String and null String",
       [] {
         LPRPCStructure s;
         s.AddString("");
         s.AddString(nullptr);
         return EncodeOf(s);
       },
       "10 00 02 04 00 01 00 04 00 01 00"},
      {"Array of Integers 1 2 3",
       [] {
         LPRPCArray a(LPRPC_INTEGER);
         a.AddInteger(1);
         a.AddInteger(2);
         a.AddInteger(3);
         return EncodeOf(a);
       },
       "11 02 00 03 00 00 00 01 00 00 00 02 00 00 00 03"},
      {"Booleans and a negative Integer",
       [] {
         LPRPCStructure s;
         s.AddBoolean(true);
         s.AddBoolean(false);
         s.AddInteger(-2);
         return EncodeOf(s);
       },
       "10 00 03 01 01 01 00 02 ff ff ff fe"},
      {"owned and borrowed nested Structures, and an Array of Structures",
       [] {
         LPRPCStructure s, borrowed;
         borrowed.AddInteger(7);
         auto* owned = new LPRPCStructure;
         owned->AddString("k");
         auto* array = new LPRPCArray(LPRPC_STRUCTURE);
         array->AddStructure(new LPRPCStructure, true);
         s.AddStructure(owned, true);
         s.AddStructure(&borrowed, false);
         s.AddStructure(array, true);
         return EncodeOf(s);
       },
       "10 00 03 10 00 01 04 00 02 6b 00 10 00 01 02 00 00 00 07 11 10 00 01 00 00"},
      {"call with parameters",
       [] {
         LPRPCStructure parameters;
         parameters.AddInteger(15);
         parameters.AddString("s1");
         Utf8Buffer out;
         EXPECT_EQ(LPRPCStatus::kOk, BuildCall(10, &parameters, out));
         EXPECT_EQ(0, out.GetData()[out.GetLength()]);
         return Bytes(out.GetData(), out.GetData() + out.GetLength());
       },
       "10 00 03 02 00 00 00 01 02 00 00 00 0a 10 00 02 02 00 00 00 0f 04 00 03 73 31 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(FromHex(c.hex)), ToHex(c.encode()));
  }
}

// Decoding: the tree read from each message, or a failure ("" expected). Canonical messages must encode
// back to the same bytes.
TEST(LPRPCDecode, KnownMessages) {
  struct Case {
    const char* name;
    const char* hex;
    const char* tree;  // "" = decoding fails
    bool canonical;
  };
  const Case cases[] = {
      {"empty Structure", "10 00 00", "{}", true},
      {"String ab", "10 00 01 04 00 03 61 62 00", "{s\"ab\"}", true},
      {"String of length 0 is the empty text", "10 00 01 04 00 00", "{s\"\"}", false},
      {"String without its NUL is terminated, not over-read", "10 00 01 04 00 02 61 62", "{s\"ab\"}", false},
      {"every scalar type", "10 00 05 01 01 01 7f 02 80 00 00 00 03 00 00 00 05 05 00 02 ab cd",
       "{b1,b1,i-2147483648,j5,x\"ab cd\"}", false},
      {"Array of Integers 1 2 3", "10 00 01 11 02 00 03 00 00 00 01 00 00 00 02 00 00 00 03", "{[2:i1,i2,i3]}",
       true},
      {"Array of Structures", "10 00 01 11 10 00 02 00 01 01 01 00 00", "{[6:{b1},{}]}", true},
      {"Array of Arrays", "10 00 01 11 11 00 01 04 00 01 00 01 00", "{[7:[4:s\"\"]]}", true},
      {"empty Array with an invalid element tag", "10 00 01 11 07 00 00", "{[0:]}", false},
      {"nested Structures", "10 00 02 10 00 01 10 00 00 02 00 00 00 01", "{{{}},i1}", true},
      {"trailing bytes are left unread", "10 00 00 ff", "{}", false},
      {"String length past the end", "10 00 01 04 00 05 61 62 00", "", false},
      {"Binary length past the end", "10 00 01 05 00 03 01 02", "", false},
      {"more members declared than present", "10 00 02 01 01", "", false},
      {"Integer cut short", "10 00 01 02 00 00 00", "", false},
      {"member tag 0x06", "10 00 01 06 00", "", false},
      {"member tag 0x00", "10 00 01 00 00", "", false},
      {"Array elements with an invalid element tag", "10 00 01 11 07 00 01 01", "", false},
      {"Array count past the end", "10 00 01 11 01 00 03 01 00", "", false},
      {"top level is an Array", "11 02 00 00", "", false},
      {"top level is a String", "04 00 01 00", "", false},
      {"no bytes", "", "", false},
      {"count cut short", "10 00", "", false},
      {"a deep failure fails the whole message", "10 00 02 02 00 00 00 01 10 00 01 10 00 01 04 00 09 00", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes in = FromHex(c.hex);  // exact size: an over-read shows under ASan
    LPRPCStructure s;
    const uint8_t* end = s.Decode(in.data(), in.data() + in.size(), 0);
    if (!*c.tree) {
      EXPECT_EQ(nullptr, end);
      continue;
    }
    ASSERT_NE(nullptr, end);
    EXPECT_EQ(c.tree, Dump(s));
    if (c.canonical) {
      EXPECT_EQ(in.data() + in.size(), end);
      EXPECT_EQ(ToHex(in), ToHex(EncodeOf(s)));
    }
  }
}

// Long Structures of Strings, as replies carrying lists are, read along a quicker path for runs of short
// terminated Strings; mixed in are the members that path must leave to the general reader (empty, long,
// unterminated Strings, Integers), across the chunk boundaries of the entry storage and up to the last
// byte of the body. Every member must come out as it went in, and a body cut short anywhere must fail
// without a read past its end.
TEST(LPRPCDecode, LongStructuresOfMixedStrings) {
  const uint32_t n = 4200;
  Bytes in = {0x10, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  std::vector<std::string> texts;  // "#<value>" for an Integer
  std::vector<bool> inPlace, copied;
  for (uint32_t i = 0; i < n; ++i) {
    if (i % 17 == 5) {
      in.insert(in.end(), {0x02, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
      texts.push_back("#" + std::to_string(i));
      inPlace.push_back(false);
      copied.push_back(false);
      continue;
    }
    size_t length = i % 7 == 3 ? 0 : i % 13 == 4 ? 256 + i % 40 : 1 + (i * 37) % 255;  // with the NUL
    bool withNul = length > 0 && i % 11 != 2;
    std::string text;
    for (size_t k = 0; k + (withNul ? 1 : 0) < length; ++k) text += static_cast<char>('a' + (i + k) % 26);
    in.insert(in.end(), {0x04, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    in.insert(in.end(), text.begin(), text.end());
    if (withNul) in.push_back(0);
    texts.push_back(text);
    inPlace.push_back(withNul);
    copied.push_back(length > 0 && !withNul);
  }
  LPRPCStructure s;
  ASSERT_EQ(in.data() + in.size(), s.Decode(in.data(), in.data() + in.size(), 0));
  ASSERT_EQ(n, s.GetCount());
  s.Rewind();
  for (uint32_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    const LPRPCValue* e = s.Next();
    ASSERT_NE(nullptr, e);
    if (texts[i][0] == '#') {
      ASSERT_EQ(LPRPC_INTEGER, e->type);
      EXPECT_EQ(texts[i], "#" + std::to_string(e->value.integer));
      continue;
    }
    ASSERT_EQ(LPRPC_STRING, e->type);
    EXPECT_EQ(texts[i], e->value.text);
    // Terminated texts are used in place; an unterminated one is a copy of its own.
    bool inBody = e->value.text >= reinterpret_cast<const char*>(in.data()) &&
                  e->value.text < reinterpret_cast<const char*>(in.data() + in.size());
    EXPECT_EQ(inPlace[i], inBody);
    EXPECT_EQ(copied[i], e->owned);
  }
  EXPECT_EQ(nullptr, s.Next());

  for (size_t cut : {size_t{1}, size_t{2}, size_t{3}, size_t{100}, size_t{257}, size_t{258}, size_t{600}, in.size() / 2}) {
    SCOPED_TRACE("cut by " + std::to_string(cut));
    Bytes shorter(in.begin(), in.end() - static_cast<std::ptrdiff_t>(cut));  // exact size: an over-read shows under ASan
    LPRPCStructure t;
    EXPECT_EQ(nullptr, t.Decode(shorter.data(), shorter.data() + shorter.size(), 0));
  }
}

// Decode, encode and decode again: the second encoding is identical, and GetSize is never short.
TEST(LPRPCDecode, ReencodingIsStable) {
  const char* messages[] = {
      "10 00 06 01 05 03 ff ff ff ff 04 00 02 61 62 05 00 00 11 05 00 02 00 01 aa 00 00 10 00 01 11 00 00 00",
      "10 00 01 11 11 00 02 03 00 01 00 00 00 09 04 00 02 00 00 00 02 6f 00",
  };
  for (const char* hex : messages) {
    SCOPED_TRACE(hex);
    Bytes in = FromHex(hex);
    LPRPCStructure first;
    ASSERT_NE(nullptr, first.Decode(in.data(), in.data() + in.size(), 0));
    bool ok = false;
    Bytes once = EncodeOf(first, &ok);
    ASSERT_TRUE(ok);
    LPRPCStructure second;
    ASSERT_EQ(once.data() + once.size(), second.Decode(once.data(), once.data() + once.size(), 0));
    EXPECT_EQ(Dump(first), Dump(second));
    EXPECT_EQ(ToHex(once), ToHex(EncodeOf(second)));
  }
}

TEST(LPRPCReply, StatusOfEachShape) {
  struct Case {
    const char* name;
    const char* hex;
    LPRPCStatus status;
    int32_t code, secondCode;
    const char* text;
  };
  const Case cases[] = {
      {"result", "10 00 02 02 00 00 00 02 10 00 01 02 00 00 00 05", LPRPCStatus::kOk, 0, 0, ""},
      {"first byte not 0x10", "11 02 00 01 00 00 00 02", LPRPCStatus::kCodecFailed, 0, 0, ""},
      {"empty body", "", LPRPCStatus::kCodecFailed, 0, 0, ""},
      {"declared length past the end", "10 00 02 02 00 00 00 02 10 00 01 04 00 08 61", LPRPCStatus::kCodecFailed, 0, 0, ""},
      {"first member not an Integer", "10 00 02 04 00 02 32 00 10 00 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"first member the second number type", "10 00 02 03 00 00 00 02 10 00 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"no members", "10 00 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"kind 2 without a Structure", "10 00 02 02 00 00 00 02 02 00 00 00 01", LPRPCStatus::kMalformed, 0, 0, ""},
      {"kind 2 with an Array", "10 00 02 02 00 00 00 02 11 02 00 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"kind 2 alone", "10 00 01 02 00 00 00 02", LPRPCStatus::kMalformed, 0, 0, ""},
      {"kind 1", "10 00 02 02 00 00 00 01 10 00 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"fault {7, 9, denied}",
       "10 00 02 02 00 00 00 03 10 00 03 02 00 00 00 07 02 00 00 00 09 04 00 07 64 65 6e 69 65 64 00", LPRPCStatus::kFault,
       7, 9, "denied"},
      {"fault {7, 9, 5, denied}",
       "10 00 02 02 00 00 00 03 10 00 04 02 00 00 00 07 02 00 00 00 09 02 00 00 00 05 04 00 07 64 65 6e 69 65 64 00",
       LPRPCStatus::kFault, 7, 9, "denied"},
      {"fault {7, x}", "10 00 02 02 00 00 00 03 10 00 02 02 00 00 00 07 04 00 02 78 00", LPRPCStatus::kMalformed, 0, 0, ""},
      {"fault {7, 9} without text", "10 00 02 02 00 00 00 03 10 00 02 02 00 00 00 07 02 00 00 00 09", LPRPCStatus::kMalformed, 0,
       0, ""},
      {"fault {7, 9, 5, 6, x}: one number only is skipped",
       "10 00 02 02 00 00 00 03 10 00 05 02 00 00 00 07 02 00 00 00 09 02 00 00 00 05 02 00 00 00 06 04 00 02 78 00",
       LPRPCStatus::kMalformed, 0, 0, ""},
      {"fault without its Structure", "10 00 02 02 00 00 00 03 02 00 00 00 07", LPRPCStatus::kMalformed, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes body = FromHex(c.hex);
    LPRPCStructure reply;
    LPRPCVector* result = nullptr;
    LPRPCFault fault;
    LPRPCStatus status = ReadReply(body.data(), body.size(), reply, &result, &fault);
    EXPECT_EQ(c.status, status);
    if (status == LPRPCStatus::kOk) {
      ASSERT_NE(nullptr, result);
      int32_t value = 0;
      EXPECT_TRUE(result->NextInteger(&value));
      EXPECT_EQ(5, value);
    } else {
      EXPECT_EQ(nullptr, result);
    }
    std::fill(body.begin(), body.end(), 0xee);  // the fault text is a copy, not a view of the body
    EXPECT_EQ(c.code, fault.code);
    EXPECT_EQ(c.secondCode, fault.secondCode);
    EXPECT_STREQ(c.text, fault.text.GetText());
  }
}

// The 16-bit lengths and counts, and the other values the encoder must refuse rather than write wrongly.
TEST(LPRPCEncode, RefusesWhatTheFormatCannotCarry) {
  struct Case {
    const char* name;
    std::function<void(LPRPCStructure&)> fill;
    LPRPCStatus status;
  };
  const std::string longest(kLPRPCMaxLength - 1, 'a');  // with its NUL: 65535 bytes
  const std::string tooLong(kLPRPCMaxLength, 'a');
  const Case cases[] = {
      {"String of 65534 bytes and its NUL", [&](LPRPCStructure& p) { p.AddString(longest.c_str()); }, LPRPCStatus::kOk},
      {"String of 65535 bytes and its NUL", [&](LPRPCStructure& p) { p.AddString(tooLong.c_str()); },
       LPRPCStatus::kCodecFailed},
      {"65535 members",
       [](LPRPCStructure& p) {
         for (uint32_t i = 0; i < kLPRPCMaxLength; ++i) p.AddBoolean(true);
       },
       LPRPCStatus::kOk},
      {"65536 members",
       [](LPRPCStructure& p) {
         for (uint32_t i = 0; i <= kLPRPCMaxLength; ++i) p.AddBoolean(true);
       },
       LPRPCStatus::kCodecFailed},
      {"Array of 65536 elements",
       [](LPRPCStructure& p) {
         auto* a = new LPRPCArray(LPRPC_BOOLEAN);
         for (uint32_t i = 0; i <= kLPRPCMaxLength; ++i) a->AddBoolean(true);
         p.AddStructure(a, true);
       },
       LPRPCStatus::kCodecFailed},
      {"Array element of another type",
       [](LPRPCStructure& p) {
         auto* a = new LPRPCArray(LPRPC_INTEGER);
         a->AddInteger(1);
         a->AddBoolean(true);
         p.AddStructure(a, true);
       },
       LPRPCStatus::kCodecFailed},
      {"Array without element type, with an element",
       [](LPRPCStructure& p) {
         auto* a = new LPRPCArray;
         a->AddInteger(1);
         p.AddStructure(a, true);
       },
       LPRPCStatus::kCodecFailed},
      {"Array without element type, empty", [](LPRPCStructure& p) { p.AddStructure(new LPRPCArray, true); },
       LPRPCStatus::kOk},
      {"nesting deeper than the decoder accepts",
       [](LPRPCStructure& p) {
         LPRPCVector* inner = &p;
         for (int i = 0; i < kLPRPCMaxDepth + 1; ++i) {
           auto* next = new LPRPCStructure;
           inner->AddStructure(next, true);
           inner = next;
         }
       },
       LPRPCStatus::kCodecFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LPRPCStructure parameters;
    c.fill(parameters);
    Utf8Buffer out;
    ASSERT_EQ(c.status, BuildCall(21, &parameters, out));
    if (c.status != LPRPCStatus::kOk) {
      EXPECT_TRUE(out.IsEmpty());
      continue;
    }
    // What is encoded decodes to the same tree.
    LPRPCStructure reply;
    ASSERT_EQ(out.GetData() + out.GetLength(), reply.Decode(out.GetData(), out.GetData() + out.GetLength(), 0));
    reply.Rewind();
    reply.Next();
    reply.Next();
    LPRPCVector* echoed = reply.NextStructure();
    ASSERT_NE(nullptr, echoed);
    EXPECT_EQ(Dump(parameters), Dump(*echoed));
  }
  Utf8Buffer out;
  EXPECT_EQ(LPRPCStatus::kCodecFailed, BuildCall(1, nullptr, out));
}

// Nesting is bounded while decoding, so a hostile reply cannot run the stack out.
TEST(LPRPCDecode, NestingDepthIsBounded) {
  struct Case {
    int levels;
    bool decodes;
  };
  const Case cases[] = {{kLPRPCMaxDepth, true}, {kLPRPCMaxDepth + 1, false}, {200000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.levels);
    Bytes in;
    for (int i = 0; i < c.levels; ++i) in.insert(in.end(), {0x10, 0x00, 0x01});
    in.insert(in.end(), {0x10, 0x00, 0x00});
    LPRPCStructure s;
    EXPECT_EQ(c.decodes, s.Decode(in.data(), in.data() + in.size(), 0) != nullptr);
  }
}

namespace {

// A result reply {2, {inner}} around the bytes of one tagged member.
Bytes ReplyAround(const Bytes& member) {
  Bytes out = FromHex("10 00 02 02 00 00 00 02 10 00 01");
  out.insert(out.end(), member.begin(), member.end());
  return out;
}

// count copies of piece after head.
Bytes Repeat(const std::string& headHex, const std::string& pieceHex, size_t count) {
  Bytes out = FromHex(headHex);
  Bytes piece = FromHex(pieceHex);
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

// An agent record as the deploy list carries it from version 10, every text empty (with its NUL): of
// real replies the one with the most decoded memory per byte.
Bytes EmptyAgentRecord() {
  return FromHex("10 00 0b 04 00 01 00 02 00 00 00 01 04 00 01 00 02 00 00 00 02 04 00 01 00 04 00 01 00 "
                 "04 00 01 00 02 00 00 00 03 04 00 01 00 04 00 01 00 02 00 00 00 04");
}

}  // namespace

// What a reply may make the decoder allocate grows with its bytes: shapes that turn a few bytes into a
// vector object each end as kTooLarge; a count that the remaining bytes cannot hold gets no storage (the
// reply then fails as cut short, not as too large); real replies of the largest sizes still decode.
TEST(LPRPCReply, DecodingIsBoundedByTheReplySize) {
  Bytes emptyStructures = Repeat("10 ff ff", "10 00 00", 0xFFFF);
  Bytes nested = Repeat("10 00 03", "", 0);
  for (int i = 0; i < 3; ++i) nested.insert(nested.end(), emptyStructures.begin(), emptyStructures.end());
  Bytes longStrings = Repeat("10 00 10", "", 0);  // 16 Strings of 65,535 bytes without their NUL: copied
  for (int i = 0; i < 16; ++i) {
    Bytes text = Repeat("04 ff ff", "61", 0xFFFF);
    longStrings.insert(longStrings.end(), text.begin(), text.end());
  }
  Bytes agents = Repeat("10 1f ff", "", 0);
  for (int i = 0; i < 0x1FFF; ++i) {
    Bytes record = EmptyAgentRecord();
    agents.insert(agents.end(), record.begin(), record.end());
  }
  Bytes list = Repeat("10 ff ff", "04 00 29 46 49 4c 45 3a 43 3a 5c 50 72 6f 67 72 61 6d 20 46 69 6c 65 73 5c 53 61 6d "
                                  "70 6c 65 5c 69 30 30 30 30 30 30 2e 64 6c 6c 00",
                      0xFFFF);
  // Each level fills its inline entries with four Booleans, so that the fifth member, the next level,
  // needs storage for a count of 65,535.
  Bytes cutShort;
  for (int i = 0; i < 12; ++i) {
    Bytes level = FromHex("10 ff ff 01 00 01 00 01 00 01 00");
    cutShort.insert(cutShort.end(), level.begin(), level.end());
  }
  struct Case {
    const char* name;
    Bytes member;
    LPRPCStatus status;
  } cases[] = {
      {"Structures of 65,535 empty Structures", nested, LPRPCStatus::kTooLarge},
      {"Array of 65,535 empty Structures", Repeat("11 10 ff ff", "00 00", 0xFFFF), LPRPCStatus::kTooLarge},
      {"Array of 65,535 empty Arrays", Repeat("11 11 ff ff", "02 00 00", 0xFFFF), LPRPCStatus::kTooLarge},
      {"Structure of 65,535 Structures each of one empty Array", Repeat("10 ff ff", "10 00 01 11 02 00 00", 0xFFFF),
       LPRPCStatus::kTooLarge},
      {"12 nested Structures each declaring 65,535 members and holding 5", cutShort, LPRPCStatus::kCodecFailed},
      {"16 Strings of 65,535 bytes, each copied to add its NUL", longStrings, LPRPCStatus::kOk},
      {"8,191 agent records of empty texts", agents, LPRPCStatus::kOk},
      {"list of 65,535 lines", list, LPRPCStatus::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes body = ReplyAround(c.member);
    LPRPCStructure reply;
    LPRPCVector* result = nullptr;
    EXPECT_EQ(c.status, ReadReply(body.data(), body.size(), reply, &result, nullptr));
    EXPECT_EQ(c.status == LPRPCStatus::kOk, result != nullptr);
    if (result) {
      const LPRPCValue* member = result->Next();
      ASSERT_TRUE(member && member->type == LPRPC_STRUCTURE);
      EXPECT_EQ(static_cast<uint32_t>(c.member[1] << 8 | c.member[2]), member->value.vector->GetCount());
    }
  }
}

// The cursor visits every entry once, in order, across however the entries are stored; Rewind restarts.
TEST(LPRPCVector, WalkVisitsEveryEntryInOrder) {
  for (uint32_t n : {0u, 1u, 4u, 5u, 4100u, 65535u}) {
    SCOPED_TRACE(n);
    Bytes in = {0x10, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    for (uint32_t i = 0; i < n; ++i) in.insert(in.end(), {0x02, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    LPRPCStructure s;
    ASSERT_NE(nullptr, s.Decode(in.data(), in.data() + in.size(), 0));
    s.AddInteger(static_cast<int32_t>(n));  // appended after a decode that filled its storage exactly
    EXPECT_EQ(n + 1, s.GetCount());
    for (int pass = 0; pass < 2; ++pass) {
      s.Rewind();
      uint32_t seen = 0;
      int32_t value = 0;
      while (s.NextInteger(&value)) {
        ASSERT_EQ(static_cast<int32_t>(seen), value);
        ++seen;
      }
      EXPECT_EQ(n + 1, seen);
      EXPECT_EQ(nullptr, s.Next());
    }
  }
}

// Entries appended from several threads are all kept, and a reader walking meanwhile only ever sees
// complete entries.
TEST(LPRPCVector, AppendsFromSeveralThreads) {
  constexpr int kThreads = 4, kEach = 20000;
  LPRPCStructure s;
  std::atomic<bool> bad{false};
  std::thread reader([&] {
    int seen = 0;
    while (seen < kThreads * kEach) {
      const LPRPCValue* e = s.Next();
      if (!e) continue;
      if (e->type != LPRPC_INTEGER || e->value.integer < 0 || e->value.integer >= kThreads * kEach) bad = true;
      ++seen;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&s, t] {
      for (int i = 0; i < kEach; ++i) s.AddInteger(t * kEach + i);
    });
  for (auto& w : writers) w.join();
  reader.join();
  EXPECT_FALSE(bad);
  ASSERT_EQ(static_cast<uint32_t>(kThreads * kEach), s.GetCount());
  std::vector<int> last(kThreads, -1);
  s.Rewind();
  int32_t v;
  while (s.NextInteger(&v)) {
    int t = v / kEach;
    EXPECT_LT(last[t], v);  // each thread's entries keep their order
    last[t] = v;
  }
}
