// The bootstrapper's OS-free decisions: the installed-version line, the ProgID key names, the session
// properties of a cookie text and the take-ownership command line.
#include <gtest/gtest.h>

#include "BootstrapRules.h"

namespace kesi::bootstrap {
namespace {

std::string Text(const ClientVersion& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
}

TEST(BootstrapRules, BuildVersionLine) {
  const struct {
    const char* line;
    const char* version;  // null: the file counts as missing
  } cases[] = {
      {"10,7,2,607", "10.72.607"},
      {"10,7,2,607\r\n11,0,0,1\r\n", "10.72.607"},  // the first line only
      {"8,0,0,0 ", "8.0.0"},
      {"10,7,12,607", nullptr},  // field 3 of two digits would make minor 712
      {"10,17,2,607", nullptr},
      {"10,7,2", nullptr},
      {"10,7,2,607,1", nullptr},
      {"10,7,,607", nullptr},
      {"10,-7,2,607", nullptr},
      {"10, 7,2,607", nullptr},
      {"1x,7,2,607", nullptr},
      {"10,7,2,6O7", nullptr},
      {"4294967296,7,2,607", nullptr},  // more digits than a version number holds
      {"", nullptr},
  };
  for (const auto& c : cases) {
    ClientVersion v{99, 99, 99};
    const bool parsed = ParseBuildVersionLine(c.line, &v);
    EXPECT_EQ(parsed, c.version != nullptr) << c.line;
    EXPECT_EQ(Text(v), c.version ? c.version : "99.99.99") << c.line;
  }
}

TEST(BootstrapRules, VersionOrder) {
  EXPECT_EQ(CompareVersions({10, 72, 607}, {10, 72, 607}), 0);
  EXPECT_LT(CompareVersions({10, 72, 606}, {10, 72, 607}), 0);
  EXPECT_GT(CompareVersions({10, 73, 0}, {10, 72, 607}), 0);
  EXPECT_LT(CompareVersions({9, 99, 999}, {10, 0, 0}), 0);
}

TEST(BootstrapRules, ProgIdKeyPath) {
  const struct {
    ClientVersion version;
    const wchar_t* key;
  } cases[] = {
      {{10, 72, 607}, L"Software\\Classes\\Velmora.KESInterrogator.10.7.2.607\\CLSID"},
      {{10, 72, 60}, L"Software\\Classes\\Velmora.KESInterrogator.10.7.2.060\\CLSID"},
      {{10, 72, 6}, L"Software\\Classes\\Velmora.KESInterrogator.10.7.2.006\\CLSID"},
      {{10, 72, 0}, L"Software\\Classes\\Velmora.KESInterrogator.10.7.2.0000\\CLSID"},
      {{8, 5, 1234}, L"Software\\Classes\\Velmora.KESInterrogator.8.0.5.1234\\CLSID"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgIdKeyPath(L"Velmora.KESInterrogator.", c.version), c.key);
  EXPECT_EQ(ProgIdKeyPath(L"Velmora.KESInstaller.", {10, 72, 607}),
            L"Software\\Classes\\Velmora.KESInstaller.10.7.2.607\\CLSID");
}

TEST(BootstrapRules, SessionPropertiesAreMatchedByName) {
  // Values that hold other cookies' names (a success page whose query names the failure page, a token
  // that contains "urlConfig") set nothing but their own property.
  const SessionProperties p = PickSessionProperties(
      L"FARLINK_ID=tok-urlConfig=x; successUrl=https://a/ok?failureUrl=https://evil/f&responseUrl=z; "
      L"urlConfig=https://a/cfg; responseUrl=https://a/post; failureUrl=https://a/fail; "
      L"autoUploadUrl=https://a/up");
  EXPECT_EQ(p.value[kTeamToken], L"tok-urlConfig=x");
  EXPECT_EQ(p.value[kSuccessUrl], L"https://a/ok?failureUrl=https://evil/f&responseUrl=z");
  EXPECT_EQ(p.value[kConfigurationUrl], L"https://a/cfg");
  EXPECT_EQ(p.value[kPostUrl], L"https://a/post");
  EXPECT_EQ(p.value[kFailureUrl], L"https://a/fail");
  EXPECT_EQ(p.value[kAutoUploadUrl], L"https://a/up");
  EXPECT_FALSE(p.present[kLogoffUrl]);

  // A value naming a property whose own cookie is absent does not supply it.
  const SessionProperties q = PickSessionProperties(L"successUrl=https://a/ok?autoUploadUrl=https://evil/up");
  EXPECT_FALSE(q.present[kAutoUploadUrl]);
  EXPECT_TRUE(q.present[kSuccessUrl]);

  // A name that holds the cookie name still counts, but the exact name wins wherever it stands.
  const SessionProperties r =
      PickSessionProperties(L"urlConfig=https://a/exact; my_urlConfig_old=https://a/other; epclogoffUrl=");
  EXPECT_EQ(r.value[kConfigurationUrl], L"https://a/exact");
  EXPECT_FALSE(r.present[kLogoffUrl]);  // empty
  EXPECT_TRUE(PickSessionProperties(L"x_failureUrl=https://a/f").present[kFailureUrl]);
}

TEST(BootstrapRules, JavaVersion) {
  const struct {
    const wchar_t* text;
    bool usable;
  } cases[] = {{L"1.6", true}, {L"1.8", true}, {L"1.10", true}, {L"2", true},  {L"11.0", true},
               {L"1.5", false}, {L"1", false}, {L"", false},    {L"x1.6", false}, {L"0.9", false}};
  for (const auto& c : cases) EXPECT_EQ(IsJavaVersionUsable(c.text), c.usable) << c.text;
}

TEST(BootstrapRules, TakeOwnershipCommandQuotesAndAnswers) {
  EXPECT_EQ(TakeOwnershipCommandLine(L"C:\\windows\\system32\\takeown.exe",
                                     L"C:\\Documents and Settings\\A User\\Application Data"),
            L"\"C:\\windows\\system32\\takeown.exe\" /F \"C:\\Documents and Settings\\A User\\Application "
            L"Data\\Velmora\" /R /D Y");
}

}  // namespace
}  // namespace kesi::bootstrap
