#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "ErrorCodes.h"
#include "ServerName.h"
#include "TestText.h"

using namespace kesi;

namespace {

constexpr uint32_t kRefused = kErrorInvalidParameter;

TEST(ServerName, SplitsHostAndPort) {
  struct Case {
    const wchar_t* server;
    uint32_t result;
    const wchar_t* host;
    uint16_t port;
  } cases[] = {
      {L"appliance.example", 0, L"appliance.example", 443},
      {L"appliance.example:8443", 0, L"appliance.example", 8443},
      {L"127.0.0.1:1", 0, L"127.0.0.1", 1},
      {L"host:00443", 0, L"host", 443},
      {L"[::1]:65535", 0, L"::1", 65535},
      {L"[::1]", 0, L"::1", 443},
      {L"fe80::1", 0, L"fe80::1", 443},
      {L"", kRefused, nullptr, 0},
      {L"host:", kRefused, nullptr, 0},
      {L"host:0", kRefused, nullptr, 0},
      {L"host:65536", kRefused, nullptr, 0},
      {L"host:000443", kRefused, nullptr, 0},
      {L"host:44x", kRefused, nullptr, 0},
      {L"host:-1", kRefused, nullptr, 0},
      {L":443", kRefused, nullptr, 0},
      {L"[::1]x", kRefused, nullptr, 0},
      {L"[::1]:", kRefused, nullptr, 0},
      {L"[]:443", kRefused, nullptr, 0},
      {L"[::1", kRefused, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "server \"" << test::Narrow(c.server) << "\"");
    wchar_t host[64] = {};
    uint16_t port = 0;
    ASSERT_EQ(c.result, SplitServerName(c.server, host, 64, &port));
    if (c.result == 0) {
      EXPECT_EQ(std::wstring(c.host), host);
      EXPECT_EQ(c.port, port);
    }
  }
}

// The host must fit with its NUL; nothing is written past the capacity, and a refused name leaves the
// output as it was.
TEST(ServerName, HostFitsTheCapacityWithItsTerminator) {
  wchar_t host[8];
  std::wmemset(host, L'#', 8);
  uint16_t port = 0;
  EXPECT_EQ(0u, SplitServerName(L"abcdefg:80", host, 8, &port));
  EXPECT_EQ(std::wstring(L"abcdefg"), host);
  EXPECT_EQ(80, port);

  std::wmemset(host, L'#', 8);
  EXPECT_EQ(kRefused, SplitServerName(L"abcdefgh:80", host, 8, &port));
  EXPECT_EQ(std::wstring(8, L'#'), std::wstring(host, 8));
  EXPECT_EQ(kRefused, SplitServerName(L"[abcdefgh]", host, 8, &port));
}

TEST(ServerName, RefusesNullArguments) {
  wchar_t host[8];
  uint16_t port = 0;
  EXPECT_EQ(kRefused, SplitServerName(nullptr, host, 8, &port));
  EXPECT_EQ(kRefused, SplitServerName(L"a", nullptr, 8, &port));
  EXPECT_EQ(kRefused, SplitServerName(L"a", host, 0, &port));
  EXPECT_EQ(kRefused, SplitServerName(L"a", host, 8, nullptr));
}

}  // namespace
