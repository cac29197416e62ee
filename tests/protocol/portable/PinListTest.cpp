#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "PinList.h"
#include "TestText.h"

using namespace kesi;

namespace {

using test::Narrow;

const std::wstring kA = L"00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
const std::wstring kB(64, L'b');

// Entries as an administrator may write them; every malformed one pins nothing (and never a hash it
// resembles).
TEST(PinList, ParsesWellFormedEntriesAndSkipsTheRest) {
  const std::wstring kAColons = L"00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff";
  struct Case {
    const char* name;
    std::wstring text;
    std::vector<std::wstring> expected;  // HashToHex of each hash, in order
  } cases[] = {
      {"empty", L"", {}},
      {"one", kA, {kA}},
      {"REG_MULTI_SZ", kA + std::wstring(1, L'\0') + kB + std::wstring(2, L'\0'), {kA, kB}},
      {"';' ',' and blanks", L" " + kA + L" ;\t" + kB + L",\r\n", {kA, kB}},
      {"grouped by ':'", kAColons, {kA}},
      {"63 digits", kA.substr(1), {}},
      {"65 digits", kA + L"0", {}},
      {"not hexadecimal", L"g" + kA.substr(1), {}},
      {"odd ':' grouping", L"0:0" + kA.substr(2), {}},
      {"leading ':'", L":" + kA, {}},
      {"malformed beside a good one", L"xyz;" + kB, {kB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CertificateHash> got = ParsePinList(c.text);
    ASSERT_EQ(c.expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
      std::wstring upper = c.expected[i];
      for (auto& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
      EXPECT_EQ(Narrow(upper), Narrow(HashToHex(got[i])));
    }
  }
}

}  // namespace
