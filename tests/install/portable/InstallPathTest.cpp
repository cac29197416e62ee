// Names and paths of the install engine: entry names from the archive and its description, the component
// name from the CAB's URL, and joins that refuse what does not fit a path buffer.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "InstallPath.h"

namespace kesi {
namespace {

TEST(InstallPath, EntryNamesThatLeaveTheFolderAreRefused) {
  struct Case {
    const char* name;
    uint32_t expected;
  };
  const Case cases[] = {
      {"comserver.dll", 0},
      {"lwptdi.sys", 0},
      {"a.b.c", 0},
      {".hidden", 0},
      {"..", 87},
      {"..\\..\\e.t", 87},
      {"x..", 87},
      {"sub\\x", 87},
      {"sub/x", 87},
      {"\\x", 87},
      {"C:x", 87},
      {"x:stream", 87},
      {".", 87},
      {"", 87},
      {"CON", 87},
      {"nul.txt", 87},
      {"Com1 .log", 87},
      {"lpt9", 87},
      {"console.dll", 0},
      {"com10", 0},
      {"lpt0", 0},
      {"a*b", 87},
      {"tab\tname", 87},
      {"pipe|x", 87},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckInstallEntryName(c.name), c.expected);
    const std::wstring wide(c.name, c.name + std::char_traits<char>::length(c.name));
    EXPECT_EQ(CheckInstallEntryName(wide.c_str()), c.expected);
  }
  EXPECT_EQ(CheckInstallEntryName(static_cast<const char*>(nullptr)), 87u);
  EXPECT_EQ(CheckInstallEntryName(static_cast<const wchar_t*>(nullptr)), 87u);
}

TEST(InstallPath, ComponentNameComesFromTheUrlsFileName) {
  struct Case {
    const wchar_t* path;
    uint32_t expected;
    const wchar_t* name;
  };
  const std::wstring longest = L"/c/" + std::wstring(252, L'n') + L".cab";
  const std::wstring tooLong = L"/c/" + std::wstring(253, L'n') + L".cab";
  const Case cases[] = {
      {L"/postauth/components/comserver.cab", 0, L"comserver"},
      {L"qolma.CAB", 0, L"qolma"},
      {L"/x/a.cab", 0, L"a"},
      {longest.c_str(), 0, nullptr},
      {tooLong.c_str(), 87, nullptr},
      {L"/x/.cab", 87, nullptr},    // shorter than five characters
      {L"/x/", 87, nullptr},
      {L"/x/..\\..\\evil.cab", 87, nullptr},
      {L"/x/c:evil.cab", 87, nullptr},
      {L"/x/...cab", 87, nullptr},  // the name "." would be the folder itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + std::wcslen(c.path)));
    std::wstring name = L"unchanged";
    EXPECT_EQ(ComponentNameFromUrlPath(c.path, &name), c.expected);
    if (c.expected)
      EXPECT_EQ(name, L"unchanged");
    else if (c.name)
      EXPECT_EQ(name, c.name);
    else
      EXPECT_EQ(name, std::wstring(252, L'n'));
  }
}

TEST(InstallPath, JoinsRefuseWhatDoesNotFit) {
  const std::wstring folder = L"C:\\f\\";
  const std::wstring fits(259 - folder.size(), L'x');
  std::wstring out = L"before";
  EXPECT_EQ(JoinInstallPath(&out, {folder.c_str(), fits.c_str()}), 0u);
  EXPECT_EQ(out.size(), 259u);
  const std::wstring over = fits + L"x";
  out = L"before";
  EXPECT_EQ(JoinInstallPath(&out, {folder.c_str(), over.c_str()}), 206u);
  EXPECT_EQ(out, L"before");
  EXPECT_EQ(JoinInstallPath(&out, {nullptr, L"a", nullptr}), 0u);
  EXPECT_EQ(out, L"a");

  std::wstring path(258, L'p');
  EXPECT_EQ(EnsureTrailingBackslash(&path), 0u);
  EXPECT_EQ(path.size(), 259u);
  EXPECT_EQ(EnsureTrailingBackslash(&path), 0u) << "already ends in one";
  path.back() = L'p';
  EXPECT_EQ(EnsureTrailingBackslash(&path), 206u);
  EXPECT_EQ(path.size(), 259u);

  EXPECT_EQ(CheckCabUrl(L"https://a/x.cab"), 0u);
  EXPECT_EQ(CheckCabUrl((L"https://a/" + std::wstring(249, L'x')).c_str()), 0u);
  EXPECT_EQ(CheckCabUrl((L"https://a/" + std::wstring(250, L'x')).c_str()), 87u);
  EXPECT_EQ(CheckCabUrl(L""), 87u);
  EXPECT_EQ(CheckCabUrl(nullptr), 87u);
}

}  // namespace
}  // namespace kesi
