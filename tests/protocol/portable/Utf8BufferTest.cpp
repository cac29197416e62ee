#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LPRPC.h"
#include "SecretReleases.h"
#include "Utf8Buffer.h"

using namespace kesi;

using kesi::Utf8Buffer;
using kesi::test::RecordedReleases;

// Whatever put the contents there, the bytes are followed by a NUL and the length is what was given.
TEST(Utf8Buffer, ContentsAreAlwaysTerminated) {
  Utf8Buffer b;
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_STREQ("", b.GetText());

  ASSERT_EQ(0, b.Set("a\0b", 3));  // embedded NUL kept, length counts it
  EXPECT_EQ(3u, b.GetLength());
  EXPECT_EQ(0, std::memcmp("a\0b", b.GetData(), 4));

  ASSERT_EQ(0, b.Set(b.GetData() + 2, 1));  // from its own bytes
  EXPECT_STREQ("b", b.GetText());

  ASSERT_EQ(0, b.SetText("hello"));
  EXPECT_EQ(5u, b.GetLength());
  EXPECT_STREQ("hello", b.GetText());

  uint8_t* room = b.Allocate(8);
  ASSERT_NE(nullptr, room);
  EXPECT_EQ(std::string(9, '\0'), std::string(reinterpret_cast<const char*>(room), 9));
  std::memcpy(room, "abcdefgh", 8);
  b.Truncate(3);
  EXPECT_EQ(3u, b.GetLength());
  EXPECT_EQ(std::string("abc\0\0\0\0\0\0", 9), std::string(b.GetText(), 9));

  Utf8Buffer moved(std::move(b));
  EXPECT_STREQ("abc", moved.GetText());
  EXPECT_TRUE(b.IsEmpty());

  EXPECT_EQ(0, moved.Set(nullptr, 4));
  EXPECT_TRUE(moved.IsEmpty());
  moved.SetText("x");
  EXPECT_EQ(0, moved.SetText(nullptr));
  EXPECT_EQ(nullptr, moved.GetData());
}


// The copies that hold secrets are wiped before they are released: a buffer's bytes and the texts an
// LPRPC vector owns (the team credential and the session in a call's parameters).
TEST(Utf8Buffer, SecretsAreWipedBeforeRelease) {
  const char secret[] = "team-credential-0123456789";  // 26 characters
  {
    RecordedReleases releases;
    Utf8Buffer b;
    ASSERT_EQ(0, b.SetText(secret));
    b.Clear();
    EXPECT_TRUE(RecordedReleases::SawWiped(26));
  }
  {
    RecordedReleases releases;
    {
      LPRPCStructure parameters;
      ASSERT_EQ(0, parameters.AddInteger(15));
      ASSERT_EQ(0, parameters.AddString(secret));
    }
    EXPECT_TRUE(RecordedReleases::SawWiped(27));  // the copy with its NUL
  }
}
