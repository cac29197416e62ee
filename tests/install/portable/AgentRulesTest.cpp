// The provisioner's OS-free decisions: version reduction and comparison, the DLL text comparison, the
// credential taken from the cookie text, and where an agent URL puts its file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentRules.h"

namespace kesi {
namespace {

TEST(AgentRules, AgentVersionsReduceToInstallerVersions) {
  struct Case {
    const wchar_t* agent;
    bool reduced;
    const wchar_t* text;
  };
  const Case cases[] = {
      {L"4.1.12.3", true, L"4.112.3"},
      {L"4.1.2.3", true, L"4.12.3"},
      {L"4.1.3", true, L"4.1.3"},
      {L"4.1.10.7", true, L"4.110.7"},
      {L"10.0.0.1234", true, L"10.0.1234"},
      {L"4-1-2-3-9", true, L"4.12.3"},       // any non-digit separates; the first four numbers count
      {L"4.1", false, L"0.0.0"},             // three numbers expected
      {L"4.1.2.", false, L"0.0.0"},          // three separators: four numbers expected
      {L"", false, L"0.0.0"},
      {L"v.x.y", false, L"0.0.0"},
      {L"1.2.3456789012345678", false, L"0.0.0"},  // does not fit 32 bits
      {L"4294967296.1.1", false, L"0.0.0"},  // does not fit 32 bits
  };
  for (const Case& c : cases) {
    ThreePartVersion version{9, 9, 9};
    EXPECT_EQ(c.reduced, ReduceAgentVersion(c.agent, &version)) << c.agent;
    EXPECT_EQ(std::wstring(c.text), ThreePartText(version)) << c.agent;
  }
}

TEST(AgentRules, OnlyTheFirstTwentyCharactersCount) {
  ThreePartVersion version;
  // The separator and number behind the 20th character are not read: three numbers, not four.
  ASSERT_TRUE(ReduceAgentVersion(L"1.2.0000000000000003.4", &version));
  EXPECT_EQ(L"1.2.3", ThreePartText(version));
}

TEST(AgentRules, ThreePartComparisonDecidesByTheFirstDifference) {
  EXPECT_EQ(0, CompareThreePart({1, 2, 3}, {1, 2, 3}));
  EXPECT_EQ(1, CompareThreePart({1, 3, 0}, {1, 2, 1500}));
  EXPECT_EQ(-1, CompareThreePart({1, 2, 1500}, {1, 3, 0}));
  EXPECT_EQ(1, CompareThreePart({2, 0, 0}, {1, 999, 999}));
  EXPECT_EQ(-1, CompareThreePart({4, 112, 2}, {4, 112, 3}));
}

TEST(AgentRules, DllVersionsCompareAsTextPartByPart) {
  struct Case {
    const wchar_t* agent;
    const wchar_t* file;
    bool update;
  };
  const Case cases[] = {
      {L"8.x.*.1", L"8.5.2.1", false},
      {L"7.9", L"8.1", true},  // the first part is passed over, the second decides
      {L"8.5.2.1", L"8.5.2.1", false},
      {L"8.5.2.2", L"8.5.2.1", true},
      {L"8.5.2.0", L"8.5.2.1", false},
      {L"8.X.3", L"8.5.2.1", true},
      {L"9", L"10.0.0.0", true},  // as text "9" sorts after "10"
      {L"8.5.2.1.9", L"8.5.2.1", false},
      {L"", L"8.5.2.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.update, DllVersionNeedsUpdate(c.agent, c.file)) << c.agent << L" vs " << c.file;
}

TEST(AgentRules, CredentialIsTakenWithinItsBounds) {
  struct Case {
    const wchar_t* text;
    uint32_t result;
    const wchar_t* credential;
  };
  const Case cases[] = {
      {L"FARLINK_ID=abc", 0, L"FARLINK_ID=abc"},
      {L"abc", 0, L"FARLINK_ID=abc"},
      {L"x=1; farlink_id=def", 0, L"FARLINK_ID=def"},
      {L"FARLINK_ID=a; FARLINK_ID=b", 0, L"FARLINK_ID=b"},  // the last occurrence
      {L"FARLINK_ID", 0, L"FARLINK_ID="},                    // the name ends the text
      {L"FARLINK_ID=", 0, L"FARLINK_ID="},
      {L"", 0, L"FARLINK_ID="},
  };
  for (const Case& c : cases) {
    std::wstring credential = L"before";
    EXPECT_EQ(c.result, CredentialFromCookieText(c.text, &credential)) << c.text;
    EXPECT_EQ(std::wstring(c.credential), credential) << c.text;
  }
  // The field holds 259 characters: "FARLINK_ID=" and 248 more fit, 249 are refused, never cut.
  std::wstring credential = L"before";
  EXPECT_EQ(0u, CredentialFromCookieText((L"FARLINK_ID=" + std::wstring(248, L'v')).c_str(), &credential));
  EXPECT_EQ(259u, credential.size());
  credential = L"before";
  EXPECT_EQ(kErrorInsufficientBuffer, CredentialFromCookieText(std::wstring(249, L'v').c_str(), &credential));
  EXPECT_EQ(L"before", credential);
  EXPECT_EQ(kErrorInvalidParameter, CredentialFromCookieText(nullptr, &credential));
}

TEST(AgentRules, AgentUrlsDecideTheDeployPlace) {
  struct Case {
    const wchar_t* url;
    uint32_t result;
    std::vector<std::wstring> folders;
    const wchar_t* fileName;
    const wchar_t* extension;
  };
  const Case cases[] = {
      {L"https://h/postauth/agents/v1/a.dll", 0, {L"agents", L"v1"}, L"a.dll", L".dll"},
      {L"https://h:8443/postauth/A.MSI?x=/..#y", 0, {}, L"A.MSI", L".msi"},
      {L"https://h/other/a/b.cfg", 0, {}, L"b.cfg", L".cfg"},  // no "/postauth": the deploy folder itself
      {L"https://h/x/postauth/s%20p/c.pbk", 0, {L"s p"}, L"c.pbk", L".pbk"},
      {L"https://h/postauth/../a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/%2e%2e/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/./a.dll", 87, {}, L"", L""},
      {L"https://h/postauth//a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/a%5cb/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/a%2fb/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/C:/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/a%00/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/a%0d/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/a*/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/%c3%a9/a.dll", 87, {}, L"", L""},
      {L"https://h/postauth/x/..", 87, {}, L"", L""},
      {L"https://h/postauth/x/", 87, {}, L"", L""},
      {L"https://h/postauth/x/con.dll", 87, {}, L"", L""},
      {L"https://h/postauth/x/run.exe", 87, {}, L"", L""},  // not an agent file type
      {L"https://h/postauth/x/noext", 87, {}, L"", L""},
      {L"https://h", 87, {}, L"", L""},
  };
  for (const Case& c : cases) {
    DeployPlace place;
    place.fileName = L"stale";
    EXPECT_EQ(c.result, DeployPlaceFromUrl(c.url, &place)) << c.url;
    EXPECT_EQ(c.folders, place.folders) << c.url;
    EXPECT_EQ(std::wstring(c.fileName), place.fileName) << c.url;
    EXPECT_EQ(std::wstring(c.extension), place.extension) << c.url;
  }
}

}  // namespace
}  // namespace kesi
