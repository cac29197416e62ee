#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LPRPC.h"
#include "Utf8Buffer.h"

using namespace kesi;

using kesi::Utf8Buffer;

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

namespace {

// Blocks that held a secret, as the release function saw them: their size and whether every byte was
// zero by then. The real release (std::free) still frees them.
struct ReleasedBlock {
  size_t bytes;
  bool zeroed;
};
std::vector<ReleasedBlock> g_released;

void RecordRelease(void* block, size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(block);
  bool zeroed = true;
  for (size_t i = 0; i < bytes; ++i) zeroed = zeroed && p[i] == 0;
  g_released.push_back({bytes, zeroed});
  std::free(block);
}

class RecordedReleases {
 public:
  RecordedReleases() {
    g_released.clear();
    previous_ = SetSecretRelease(RecordRelease);
  }
  ~RecordedReleases() { SetSecretRelease(previous_); }
  // Whether a block of exactly bytes bytes went, wiped; an unwiped block of that size fails the test.
  static bool SawWiped(size_t bytes) {
    bool seen = false;
    for (const ReleasedBlock& b : g_released) {
      if (b.bytes != bytes) continue;
      EXPECT_TRUE(b.zeroed) << "a block of " << bytes << " bytes was released unwiped";
      seen = seen || b.zeroed;
    }
    return seen;
  }

 private:
  SecretReleaseFn previous_;
};

}  // namespace

// The copies that hold secrets are wiped before they are released: a buffer's bytes, the UTF-16 view of
// them (the session as the control hands it out), and the texts an LPRPC vector owns (the team credential
// and the session in a call's parameters), whether the vector goes or the append fails.
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
#ifdef _WIN32
  struct Case {
    const char* name;
    void (*drop)(std::unique_ptr<Utf8Buffer>& b);
  };
  const Case cases[] = {
      {"contents replaced", [](std::unique_ptr<Utf8Buffer>& b) { b->SetText("other"); }},
      {"cut short", [](std::unique_ptr<Utf8Buffer>& b) { b->Truncate(3); }},
      {"moved over", [](std::unique_ptr<Utf8Buffer>& b) { *b = Utf8Buffer(); }},
      {"destroyed", [](std::unique_ptr<Utf8Buffer>& b) { b.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordedReleases releases;
    auto b = std::make_unique<Utf8Buffer>();
    ASSERT_EQ(0, b->SetText(secret));
    ASSERT_NE(nullptr, b->GetWide());
    c.drop(b);
    EXPECT_TRUE(RecordedReleases::SawWiped(27 * sizeof(wchar_t)));
  }
#endif
}
