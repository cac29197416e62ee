// The filter driver's update request, byte for byte, and the paths of the network-stack components.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "DriverRequest.h"

namespace kesi {
namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < size; ++i) {
    snprintf(pair, sizeof pair, "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

std::string Zeros(size_t bytes) { return std::string(2 * bytes, '0'); }

TEST(DriverRequest, UpdateRequestBytes) {
  uint8_t request[kDriverUpdateRequestSize];
  ASSERT_EQ(BuildDriverUpdateRequest(L"C:\\d\\n.sys", L"system32\\DRIVERS\\o.sys", L"C:\\w", request), 0u);
  const std::string expected =
      Zeros(4) +
      // "\??\C:\d\n.sys", then zeros to the end of its 520-byte field
      "5c003f003f005c0043003a005c0064005c006e002e00730079007300" + Zeros(520 - 28) +
      // "\??\C:\w\system32\DRIVERS\o.sys": the image path completed with the Windows folder
      "5c003f003f005c0043003a005c0077005c00730079007300740065006d00330032005c004400520049005600450052"
      "0053005c006f002e00730079007300" +
      Zeros(520 - 62);
  EXPECT_EQ(Hex(request, sizeof request), expected);
  EXPECT_EQ(kDriverUpdateControlCode, 0xA005D418u);
}

TEST(DriverRequest, ImagePathsAndRefusals) {
  struct Case {
    const char* name;
    std::wstring newPath, imagePath;
    const wchar_t* windows;
    uint32_t expected;
    std::wstring imageField;  // on success, the second field's text
  };
  const std::wstring fits(255, L'a');  // "\??\" + 255 characters + NUL fill the field
  const Case cases[] = {
      {"absolute image path taken as it is", L"C:\\n.sys", L"C:\\x\\o.sys", L"C:\\w", 0, L"\\??\\C:\\x\\o.sys"},
      {"system32 in any case", L"C:\\n.sys", L"System32\\o.sys", L"C:\\w", 0, L"\\??\\C:\\w\\System32\\o.sys"},
      {"only a leading system32 is completed", L"C:\\n.sys", L"x\\system32\\o.sys", L"C:\\w", 0,
       L"\\??\\x\\system32\\o.sys"},
      {"longest new path", fits, L"C:\\o.sys", L"C:\\w", 0, L"\\??\\C:\\o.sys"},
      {"new path one too long", fits + L"a", L"C:\\o.sys", L"C:\\w", 206, L""},
      {"image path one too long", L"C:\\n.sys", fits + L"a", L"C:\\w", 206, L""},
      {"completed image path too long", L"C:\\n.sys", L"system32\\" + std::wstring(243, L'b'), L"C:\\w", 206, L""},
      {"empty new path", L"", L"C:\\o.sys", L"C:\\w", 87, L""},
      {"empty image path", L"C:\\n.sys", L"", L"C:\\w", 87, L""},
      {"no Windows folder to complete with", L"C:\\n.sys", L"system32\\o.sys", L"", 87, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t request[kDriverUpdateRequestSize];
    memset(request, 0xCC, sizeof request);
    EXPECT_EQ(BuildDriverUpdateRequest(c.newPath.c_str(), c.imagePath.c_str(), c.windows, request), c.expected);
    if (c.expected) {
      EXPECT_EQ(Hex(request, 4), "cccccccc") << "nothing written";
      continue;
    }
    std::wstring image;
    for (size_t i = 524; request[i] || request[i + 1]; i += 2)
      image.push_back(static_cast<wchar_t>(request[i] | request[i + 1] << 8));
    EXPECT_EQ(image, c.imageField);
    EXPECT_EQ(request[1042], 0);
    EXPECT_EQ(request[1043], 0);
  }
}

TEST(DriverRequest, ProviderFolderAndDriverPaths) {
  std::wstring out;
  ASSERT_EQ(ProviderFolder(L"C:\\Windows\\system32\\lwsp.dll", &out), 0u);
  EXPECT_EQ(out, L"C:\\Windows\\system32");
  ASSERT_EQ(ProviderFolder(L"lwsp.dll", &out), 0u);
  EXPECT_EQ(out, L"lwsp.dll") << "no backslash: the whole path";
  out = L"before";
  EXPECT_EQ(ProviderFolder((std::wstring(260, L'p') + L"\\x.dll").c_str(), &out), 206u);
  EXPECT_EQ(out, L"before");

  ASSERT_EQ(JoinThreePath(L"C:\\windows\\system32", L"DRIVERS", L"lwptdi.sys", &out), 0u);
  EXPECT_EQ(out, L"C:\\windows\\system32\\DRIVERS\\lwptdi.sys");
  const std::wstring folder(259 - 2 - 7 - 9, L'f');
  ASSERT_EQ(JoinThreePath(folder.c_str(), L"LogFile", L"lwtdi.log", &out), 0u);
  EXPECT_EQ(out.size(), 259u);
  EXPECT_EQ(JoinThreePath((folder + L"f").c_str(), L"LogFile", L"lwtdi.log", &out), 206u);
}

}  // namespace
}  // namespace kesi
