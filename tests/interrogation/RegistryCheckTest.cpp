// The registry check on values of every type that the test writes under HKCU and HKLM.
#include <gtest/gtest.h>

#include <string>

#include "Checks.h"
#include "Handles.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Narrow;

::testing::AssertionResult SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  const LONG rc = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  if (rc == ERROR_SUCCESS) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "cannot write " << Narrow(name) << ": error " << rc;
}

::testing::AssertionResult SetText(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
  return SetValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

::testing::AssertionResult SetNumber(HKEY key, const wchar_t* name, DWORD number) {
  return SetValue(key, name, REG_DWORD, &number, sizeof(number));
}

// The check reads the 64-bit view on a 64-bit system; a 32-bit test process writes there too.
constexpr REGSAM kTestKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

// The same values under HKCU and HKLM, in a key of this test process, deleted afterwards.
class RegistryCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    subkey_ = L"Software\\KesiHostChecks\\" + std::to_wstring(GetCurrentProcessId());
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      kesi::UniqueKey key;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, subkey_.c_str(), 0, nullptr, 0, kTestKeyAccess, nullptr,
                                               key.put(), nullptr));
      ASSERT_TRUE(Fill(key.get()));
      kesi::UniqueKey sub;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, (subkey_ + L"\\Sub,key").c_str(), 0, nullptr, 0, kTestKeyAccess,
                                               nullptr, sub.put(), nullptr));
    }
  }
  void TearDown() override {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      kesi::UniqueKey parent;
      if (RegOpenKeyExW(root, L"Software", 0, kTestKeyAccess, parent.put()) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent.get(), (L"KesiHostChecks\\" + std::to_wstring(GetCurrentProcessId())).c_str());
        // Only when no other test process still uses it.
        RegDeleteKeyExW(parent.get(), L"KesiHostChecks", KEY_WOW64_64KEY, 0);
      }
    }
  }

  static ::testing::AssertionResult Fill(HKEY key) {
    const BYTE bigEndian[] = {0, 0, 0, 7};
    const BYTE binary[] = {3, 0, 0, 0, 0xFF};
    const BYTE shortBinary[] = {2};
    const ULONGLONG quad = 5;
    for (::testing::AssertionResult written : {
             SetText(key, L"", L"1"),
             SetText(key, L"Text", L"8.1.2"),
             SetText(key, L"Path", L"C:\\Program Files\\App"),
             SetText(key, L"Expand", L"%windir%\\x", REG_EXPAND_SZ),
             SetValue(key, L"Multi", REG_MULTI_SZ, L"first\0second\0", 14 * sizeof(wchar_t)),
             SetNumber(key, L"Count", 5),
             SetNumber(key, L"Big", 0xFFFFFFFF),
             SetValue(key, L"BigEndian", REG_DWORD_BIG_ENDIAN, bigEndian, sizeof(bigEndian)),
             SetValue(key, L"Binary", REG_BINARY, binary, sizeof(binary)),
             SetValue(key, L"Short", REG_BINARY, shortBinary, sizeof(shortBinary)),
             SetValue(key, L"Quad", REG_QWORD, &quad, sizeof(quad)),
             SetValue(key, L"None", REG_NONE, nullptr, 0),
             SetText(key, L"a\\b", L"bs"),
             SetNumber(key, L"x,y", 9),
             SetText(key, L"Version1", L"1.0"),
             SetText(key, L"Version2", L"2.0"),
             SetText(key, L"Long", std::wstring(1100, L'L')),  // 2,202 bytes: more than the check reads
         }) {
      if (!written) return written;
    }
    return ::testing::AssertionSuccess();
  }

  struct Case {
    std::wstring text;  // "{K}": this test's key under HKEY_CURRENT_USER; "{M}": under HKEY_LOCAL_MACHINE
    LONG verdict;       // 7: not written
    LONG status;
  };
  // Each case through the check: its status and verdict, or a list of those that differ.
  template <size_t N>
  ::testing::AssertionResult Verdicts(const Case (&cases)[N]) {
    std::string wrong;
    for (const Case& c : cases) {
      std::wstring text = c.text;
      for (size_t at; (at = text.find(L"{K}")) != std::wstring::npos;)
        text.replace(at, 3, L"HKEY_CURRENT_USER\\" + subkey_);
      for (size_t at; (at = text.find(L"{M}")) != std::wstring::npos;)
        text.replace(at, 3, L"HKEY_LOCAL_MACHINE\\" + subkey_);
      LONG verdict = 7;
      const LONG status = EvaluateRegistry(text.c_str(), &verdict);
      if (status != c.status || verdict != c.verdict)
        wrong += "\n  " + Narrow(c.text.substr(0, 60)) + ": status " + std::to_string(status) + ", verdict " +
                 std::to_string(verdict) + " (expected " + std::to_string(c.status) + ", " +
                 std::to_string(c.verdict) + ")";
    }
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "texts answered otherwise:" << wrong;
  }

  std::wstring subkey_;
};

TEST_F(RegistryCheck, KeysAndRoots) {
  const Case cases[] = {
      {L"{K}", 1, 0},
      {L"{M}", 1, 0},
      {L"{K}\\Sub_RQ_COMMA_key", 1, 0},
      {L"{K}\\Missing", 7, 0},  // a key that cannot be opened leaves the verdict
      {L"{K}\\Missing,Text,8.1.2", 7, 0},
      {L"HKLM\\Software", 7, -503},
      {L"HKEY_NOWHERE\\Software", 7, -503},
      {L"HKEY_LOCAL_MACHINE", 1, 0},
  };
  EXPECT_TRUE(Verdicts(cases));

  // The root name in any case.
  std::wstring lower = L"hkey_current_user\\" + subkey_;
  LONG verdict = 0;
  EXPECT_EQ(0, EvaluateRegistry(lower.c_str(), &verdict));
  EXPECT_EQ(1, verdict);
}

TEST_F(RegistryCheck, Strings) {
  const Case cases[] = {
      {L"{K},Text,8.1.2", 1, 0},        {L"{K},Text,8.1.3", 0, 0},      {L"{K},Text,8.1.3,<", 1, 0},
      {L"{K},Text,8.1.1,>", 1, 0},      {L"{K},Text,8.1.2,<=", 1, 0},   {L"{K},Text,8.1.2,!=", 0, 0},
      {L"{K},Text,8.1.3,!=", 1, 0},     {L"{K},Text,8.1.2,=", 1, 0},
      {L"{K},Text,8.1.2,>=", 1, 0},     {L"{K},Text,8.1.2,<>", 0, 0},
      {L"{K},text,8.1.2", 1, 0},        // the registry finds a named value in any case
      {L"{K},Text,8.1.*", 1, 0},        {L"{K},Text,8.?.2", 1, 0},
      {L"{K},Text,9.*,<", 1, 0},        {L"{K},Text,9.*,>", 0, 0},      // a pattern that fails counts as less
      {L"{K},Text", 0, 0},              {L"{K},Text,,<", 0, 0},         // no data: compared with empty text
      {L"{K},Text,,>", 1, 0},
      {L"{K},Path,C:\\\\Program Files\\\\App", 1, 0},  // "\\" in the data stands for one backslash
      {L"{K},Path,C:\\\\Program*", 1, 0},
      {L"{K},Expand,%windir%\\x", 1, 0},              // neither side is expanded
      {L"{K},Multi,first", 1, 0},       {L"{K},Multi,second", 0, 0},    // only the first string
      {L"{K},Long,L*", 0, 0},           {L"{K},Missing,1", 0, 0},
      {L"{M},Text,8.1.2", 1, 0},        {L"{M},Path,C:\\\\Program Files\\\\App", 1, 0},
  };
  EXPECT_TRUE(Verdicts(cases));
}

TEST_F(RegistryCheck, Numbers) {
  const Case cases[] = {
      {L"{K},Count,5", 1, 0},       {L"{K},Count,4,>", 1, 0},      {L"{K},Count,6,<", 1, 0},
      {L"{K},Count,5,!=", 0, 0},    {L"{K},Count,6,!=", 1, 0},     {L"{K},Count,5,>=", 1, 0},
      {L"{K},Count", 0, 0},         {L"{K},Count,five", 0, 0},     // no number to compare with
      // The difference is taken as a signed 32-bit number: 0xFFFFFFFF lies below 0.
      {L"{K},Big,0,>", 0, 0},       {L"{K},Big,0,<", 1, 0},        {L"{K},Big,4294967295", 1, 0},
      {L"{K},BigEndian,7", 1, 0},   {L"{K},BigEndian,117440512", 0, 0},
      {L"{K},Binary,3", 1, 0},      {L"{K},Short,2", 1, 0},
      {L"{K},Quad,5", 0, 0},        {L"{K},None,0", 0, 0},         // other types never compare
      {L"{M},Count,5", 1, 0},       {L"{M},Big,0,<", 1, 0},
  };
  EXPECT_TRUE(Verdicts(cases));
}

TEST_F(RegistryCheck, DefaultValuesNamesAndPatterns) {
  const Case cases[] = {
      // An empty value name: the default value, compared for equality; no operator is read.
      {L"{K},,1", 1, 0},            {L"{K},,2", 0, 0},             {L"{K},,0,>", 0, 0},
      {L"{M},,1", 1, 0},
      {L"{K},a\\\\b,bs", 1, 0},     // "\\" in a value name stands for one backslash
      {L"{K},x_RQ_COMMA_y,9", 1, 0},
      {L"\"{K},Text\",8.1.2", 7, 0}, // a quoted field keeps its comma: no such key
      // Value names with wildcards: any matching value that compares true.
      {L"{K},Version*,2.0", 1, 0},  {L"{K},Version?,1.0", 1, 0},   {L"{K},Version?,3.0", 0, 0},
      {L"{K},version*,2.0", 0, 0},  {L"{K},Version*,1.5,>", 1, 0}, {L"{K},*,9", 1, 0},
      {L"{K},a\\\\?,bs", 1, 0},     {L"{M},Ver*,2.0", 1, 0},
  };
  EXPECT_TRUE(Verdicts(cases));
}

TEST_F(RegistryCheck, BadInput) {
  std::wstring longSubkey = L"{K}\\" + std::wstring(5000, L'k');
  std::wstring longName = L"{K}," + std::wstring(5000, L'n') + L",1";
  std::wstring longData = L"{K},Text," + std::wstring(5000, L'd');
  const Case cases[] = {
      {L"", 7, -503},     {L",,,", 7, -503},    {L"\\", 7, -503},   {L"HKEY_CURRENT_USER\\", 1, 0},
      {longSubkey, 7, -503},  // too long to prepare
      {longName, 7, -503},    {longData, 7, -503},
  };
  EXPECT_TRUE(Verdicts(cases));
  LONG verdict = 7;
  EXPECT_EQ(-503, EvaluateRegistry(nullptr, &verdict));
  EXPECT_EQ(7, verdict);
}

}  // namespace
