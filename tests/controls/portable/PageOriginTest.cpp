// The host of a URL for the rule that a page's object acts only on its page's own host.
#include <gtest/gtest.h>

#include "PageOrigin.h"

namespace kesi::controls {
namespace {

TEST(PageOrigin, HostOfUrl) {
  struct Case {
    const wchar_t* url;
    const wchar_t* host;
  };
  const Case cases[] = {
      {L"https://Appliance.Example/login", L"appliance.example"},
      {L"https://appliance.example:8443/x?y#z", L"appliance.example"},
      {L"https://user:pw@appliance.example/", L"appliance.example"},
      {L"https://evil.example\\@appliance.example/", L"evil.example"},  // a backslash ends the authority
      {L"https://appliance.example@evil.example/", L"evil.example"},
      {L"https://[::1]:443/", L"[::1]"},
      {L"https://[::1/", L""},
      {L"http://10.0.0.1", L"10.0.0.1"},
      {L"C:\\packages\\tqvpn.msi", L""},
      {L"\\\\server\\share\\tqvpn.msi", L""},
      {L"//server/share/tqvpn.msi", L""},
      {L"://host/", L""},
      {L"ht tp://host/", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(std::wstring(c.host), HostOfUrl(c.url)) << std::string(c.url, c.url + wcslen(c.url));
}

TEST(PageOrigin, SameHostAsPage) {
  const wchar_t page[] = L"https://appliance.example/epc/page.html";
  EXPECT_TRUE(SameHostAsPage(L"https://APPLIANCE.example:443/__api__", page));
  EXPECT_TRUE(SameHostAsPage(L"http://appliance.example/tqvpn.msi", page));
  EXPECT_FALSE(SameHostAsPage(L"https://appliance.example.evil/", page));
  EXPECT_FALSE(SameHostAsPage(L"C:\\tqvpn.msi", page));
  EXPECT_FALSE(SameHostAsPage(L"", L""));  // no host is never the page's host
}

}  // namespace
}  // namespace kesi::controls
