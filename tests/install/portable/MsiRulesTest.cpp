// The VPN client decision, the interface levels, the msiexec command lines, the update service's request
// and the result lines.
#include <gtest/gtest.h>

#include <string>

#include "MsiRules.h"

namespace kesi::install {
namespace {

TEST(MsiRules, VpnDecision) {
  struct Case {
    const wchar_t* installed;  // null: not installed
    const wchar_t* package;
    int decision;
  };
  const Case cases[] = {
      {nullptr, L"1.2.3", kVpnNotInstalled},
      {L"1.2.3", L"1.2.3", kVpnCurrent},
      {L"1.2.3", L"1.2.3.9", kVpnCurrent},  // only three parts count
      {L"1.2", L"1.2.0", kVpnCurrent},
      {L"1.2.3", L"1.3.0", kVpnUpgrade},
      {L"1.3.0", L"1.2.3", kVpnInstalledNewer},
      // Part by part: a build number above 999 does not spill into the minor part.
      {L"1.2.1500", L"1.3.0", kVpnUpgrade},
      {L"1.3.0", L"1.2.1500", kVpnInstalledNewer},
      {L"1.2.3", L"90.90.900", kVpnUpgrade},  // the configuration file's default
      {L"2.0.0", L"1.999.999", kVpnInstalledNewer},
      {L"4294967295.0.0", L"99999999999.0.0", kVpnCurrent},  // held at 2^32-1
      {L"1.2.3", L"", kVpnInstalledNewer},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.decision, DecideVpnClient(c.installed, c.package))
        << (c.installed ? c.installed : L"(none)") << " vs " << c.package;
  }
}

TEST(MsiRules, UiLevels) {
  struct Case {
    const wchar_t* text;
    bool upgrade;
    bool vista;
    int level;
    const wchar_t* switchText;
  };
  const Case cases[] = {
      {L"basic", false, true, 3, L"/qb"},  {L"NONE", true, false, 2, L"/qn"},
      {L"Reduced", true, true, 4, L"/qr"}, {L"FULL", false, true, 5, L"/qf"},
      {L"FULL", true, true, 5, L"/qn"},    {L"FULL", true, false, 5, L"/qb"},
      {nullptr, false, false, 5, L"/qf"},  {L"BASICS", false, true, 5, L"/qf"},
  };
  for (const Case& c : cases) {
    const MsiUiChoice choice = ChooseMsiUi(c.text, c.upgrade, c.vista);
    EXPECT_EQ(c.level, choice.level) << (c.text ? c.text : L"(null)") << " upgrade " << c.upgrade;
    EXPECT_STREQ(c.switchText, choice.switchText) << (c.text ? c.text : L"(null)") << " upgrade " << c.upgrade;
  }
}

TEST(MsiRules, CommandLines) {
  EXPECT_EQ(L"msiexec.exe /i \"C:\\p.msi\" /qf  TQSETUP=1 ALLUSERS=1",
            VpnClientCommandLine(L"C:\\p.msi", L"/qf", nullptr, nullptr, false, nullptr));
  EXPECT_EQ(L"msiexec.exe /i \"C:\\p.msi\" /qn A=1 /lvx \"C:\\l.log\" TQSETUP=1 ALLUSERS=1 REINSTALLMODE=vamus "
            L"REINSTALL=ALL CONFIGURATIONFILE=\"C:\\tqsetup.ini\"",
            VpnClientCommandLine(L"C:\\p.msi", L"/qn", L"A=1", L"C:\\l.log", true, L"C:\\tqsetup.ini"));
  EXPECT_EQ(L"msiexec /i \"C:\\a.msi\" /qn /l*v \"C:\\a.log\" ADDLOCAL=ALL", AgentCommandLine(L"C:\\a.msi", 2, L"C:\\a.log", L""));
  EXPECT_EQ(L"msiexec /i \"C:\\a.msi\" /qb /l*v \"C:\\a.log\" ADDLOCAL=ALL X=\"y z\"",
            AgentCommandLine(L"C:\\a.msi", 4, L"C:\\a.log", L"X=\"y z\""));
  EXPECT_EQ(L"msiexec /i \"C:\\tqvpn.msi\" /qb /l*v \"C:\\m.log\" TQSETUP=1 ALLUSERS=1 REINSTALLMODE=vamus REINSTALL=ALL",
            VpnAgentCommandLine(L"C:\\tqvpn.msi", L"C:\\m.log", true));
  EXPECT_EQ(L"REMOVE=ALL ", RemoveCommandLine(nullptr));
  EXPECT_EQ(L"REMOVE=ALL REBOOT=ReallySuppress", RemoveCommandLine(L"REBOOT=ReallySuppress"));
}

TEST(MsiRules, SuccessCodes) {
  for (uint32_t code : {0u, 3010u, 1641u}) EXPECT_TRUE(IsMsiSuccess(code)) << code;
  for (uint32_t code : {1u, 2u, 1602u, 1603u, 1618u, 1638u}) EXPECT_FALSE(IsMsiSuccess(code)) << code;
}

TEST(MsiRules, UpdateServiceRequest) {
  UpdateServiceMessage message;
  ASSERT_TRUE(BuildUpdateServiceRequest(L"C:\\Users\\u\\AppData\\Roaming", &message));
  EXPECT_EQ(524u, message.size());
  const uint8_t head[] = {0x02, 0x80, 0, 0, 'C', 0, ':', 0, '\\', 0, 'U', 0};
  for (size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(head[i], message[i]) << "byte " << i;
  const size_t end = 4 + 2 * std::wstring(L"C:\\Users\\u\\AppData\\Roaming").size();
  for (size_t i = end; i < message.size(); ++i) ASSERT_EQ(0, message[i]) << "byte " << i;

  // 259 characters and the terminator fill the field; one more does not fit.
  const std::wstring longest(259, L'x');
  ASSERT_TRUE(BuildUpdateServiceRequest(longest.c_str(), &message));
  EXPECT_EQ('x', message[4 + 2 * 258]);
  EXPECT_EQ(0, message[4 + 2 * 259]);
  EXPECT_FALSE(BuildUpdateServiceRequest((longest + L"x").c_str(), &message));
  for (uint8_t b : message) ASSERT_EQ(0, b);
}

TEST(MsiRules, ResultLines) {
  struct Case {
    uint32_t code;
    const wchar_t* line;
  };
  const Case cases[] = {
      {0, L"MSI install/uninstall operation succeeded."},
      {13, L"MSI install failed: 13 The data is invalid."},
      {1602, L"MSI install failed: 1602 The user cancels installation."},
      {1603, L"MSI install failed: 1603 A fatal error occurred during installation."},
      {1616, L"MSI install failed: 1616 The record field does not exist."},
      {1645, L"MSI install failed: 1645 Windows Installer does not permit installation from a Remote Desktop "
             L"Connection."},
      {1617, L"MSI install failed: unknown reason: 0x00000651"},
      {1646, L"MSI install failed: unknown reason: 0x0000066E"},
      {0x80070005, L"MSI install failed: unknown reason: 0x80070005"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, MsiResultText(c.code)) << c.code;
  EXPECT_EQ(0u, MsiResultText(3010).find(L"MSI install failed: 3010 A restart is required"));
}

}  // namespace
}  // namespace kesi::install
