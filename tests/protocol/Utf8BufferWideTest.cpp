#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "LPRPC.h"
#include "Utf8Buffer.h"
#include "SecretReleases.h"

using namespace kesi;

using kesi::Utf8Buffer;

// UTF-16 in, UTF-8 bytes (with the NUL the conversion writes, and counted) stored, the same UTF-16 out.
TEST(Utf8BufferWide, ConvertsBothWays) {
  struct Case {
    const wchar_t* wide;
    std::string utf8;  // including the counted NUL
  };
  const Case cases[] = {
      {L"", std::string("\0", 1)},
      {L"ab", std::string("ab\0", 3)},
      {L"Z\u00fcrich \u20ac", std::string("Z\xc3\xbcrich \xe2\x82\xac\0", 12)},
      {L"\U0001F600", std::string("\xf0\x9f\x98\x80\0", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    Utf8Buffer b;
    ASSERT_EQ(0, b.SetWide(c.wide));
    EXPECT_EQ(c.utf8.size(), b.GetLength());
    EXPECT_EQ(c.utf8, std::string(reinterpret_cast<const char*>(b.GetData()), b.GetLength()));
    ASSERT_NE(nullptr, b.GetWide());
    EXPECT_STREQ(c.wide, b.GetWide());
  }
}

// The UTF-16 view follows the contents: any change drops the cached conversion.
TEST(Utf8BufferWide, ViewFollowsTheContents) {
  Utf8Buffer b;
  EXPECT_STREQ(L"", b.GetWide());
  b.SetText("first");
  EXPECT_STREQ(L"first", b.GetWide());
  b.SetText("\xc3\xa9t\xc3\xa9");
  EXPECT_STREQ(L"\u00e9t\u00e9", b.GetWide());
  b.Set("ab\0cd", 5);
  EXPECT_STREQ(L"ab", b.GetWide());
  b.Truncate(1);
  EXPECT_STREQ(L"a", b.GetWide());
  b.SetWide(nullptr);
  EXPECT_STREQ(L"", b.GetWide());
  b.Set("\xff\xfe", 2);  // not UTF-8: still a text, never a crash
  EXPECT_NE(nullptr, b.GetWide());
}

// A text sent to the appliance arrives as the UTF-8 String the appliance expects.
TEST(Utf8BufferWide, WideTextTravelsAsUtf8String) {
  Utf8Buffer name;
  ASSERT_EQ(0, name.SetWide(L"caf\u00e9"));
  kesi::LPRPCStructure parameters;
  parameters.AddString(name.GetText());
  Utf8Buffer call;
  ASSERT_EQ(kesi::LPRPCStatus::kOk, kesi::BuildCall(18, &parameters, call));
  const std::string tail("\x10\x00\x01\x04\x00\x06" "caf\xc3\xa9" "\x00", 12);
  const std::string bytes(reinterpret_cast<const char*>(call.GetData()), call.GetLength());
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(tail, bytes.substr(bytes.size() - tail.size()));
}

// The UTF-16 view of a buffer holds the same secret (the session as the control hands it out): it is
// wiped whenever it goes, with the contents or on its own.
TEST(Utf8BufferWide, ViewIsWipedBeforeRelease) {
  using test::RecordedReleases;
  const char secret[] = "team-credential-0123456789";  // 26 characters
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
}
