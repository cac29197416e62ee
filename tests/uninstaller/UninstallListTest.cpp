// The product list in the registry: its limits (values, name and code lengths, types), a code stored
// without its terminator, and the fall-back from HKEY_LOCAL_MACHINE to HKEY_CURRENT_USER.
#include "UninstallTestSupport.h"

namespace kesi::uninstall::test {
namespace {

using UninstallList = UninstallTest;

std::vector<Value> Numbered(int count) {
  std::vector<Value> values;
  for (int i = 0; i < count; ++i)
    values.push_back(Value{L"Product" + std::to_wstring(100 + i), L"{00000000-0000-0000-0000-" + std::to_wstring(100000000000LL + i) + L"}"});
  return values;
}

// Whatever breaks a limit leaves nothing to remove: the list is taken whole or not at all.
TEST_F(UninstallList, LimitsTakeTheListWholeOrNotAtAll) {
  const DWORD dword = 7;
  struct Case {
    const char* what;
    std::vector<Value> values;
    bool addDword;  // one more value, of type REG_DWORD
    size_t expected;  // entries read; 0 means the read fails
  };
  const Case cases[] = {
      {"one value", Numbered(1), false, 1},
      {"25 values", Numbered(25), false, 25},
      {"26 values", Numbered(26), false, 0},
      {"no value", {}, false, 0},
      {"24 codes and a DWORD: skipped, counted", Numbered(24), true, 24},
      {"25 codes and a DWORD: 26 values", Numbered(25), true, 0},
      {"a name of 260 characters", {{std::wstring(260, L'n'), L"{C}"}}, false, 1},
      {"a name of 261 characters", {{std::wstring(261, L'n'), L"{C}"}}, false, 0},
      {"a code of 520 bytes with its terminator", {{L"Long", std::wstring(259, L'c')}}, false, 1},
      {"a code of 522 bytes with its terminator", {{L"Long", std::wstring(260, L'c')}}, false, 0},
  };
  for (const Case& c : cases) {
    DeleteLists();
    ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, c.values)) << c.what;
    if (c.addDword) {
      ASSERT_TRUE(WriteRawValue(HKEY_LOCAL_MACHINE, L"Count", REG_DWORD, &dword, sizeof dword)) << c.what;
    }
    std::vector<UninstallEntry> entries;
    const DWORD result = ReadUninstallList(&entries);
    if (c.expected == 0) {
      EXPECT_NE(0u, result) << c.what;
      EXPECT_TRUE(entries.empty()) << c.what;
      continue;
    }
    EXPECT_EQ(0u, result) << c.what;
    ASSERT_EQ(c.expected, entries.size()) << c.what;
    // Registry order, names and codes as stored.
    std::map<std::wstring, std::wstring> written;
    for (const Value& v : c.values) written[v.name] = v.code;
    const std::vector<std::wstring> order = EnumerationOrder(HKEY_LOCAL_MACHINE);
    size_t next = 0;
    for (const UninstallEntry& entry : entries) {
      while (next < order.size() && order[next] != entry.name) ++next;
      EXPECT_LT(next, order.size()) << c.what << ": " << Narrow(entry.name) << " out of the registry's order";
      EXPECT_EQ(written[entry.name], entry.productCode) << c.what;
    }
  }
}

// Leaves non-zero bytes on the stack where the next call's buffers will lie, so that a code left without
// its terminator runs on instead of meeting a zero by luck.
__attribute__((noinline)) void PaintStack() {
  volatile char bytes[32768];
  for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = 'B';
}

// A code of exactly 520 bytes stored without a terminator is read as its 260 characters and no more.
TEST_F(UninstallList, CodeWithoutTerminatorEndsAtItsSize) {
  const std::wstring code(260, L'A');
  // Written from a longer text: the registry adds a terminator when the character after the data is one.
  const std::wstring longer = code + L'B';
  ASSERT_TRUE(WriteRawValue(HKEY_LOCAL_MACHINE, L"Unterminated", REG_SZ, longer.data(), 520));
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"KESI", kLibrary}}));
  {
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallListKey, 0, KEY_READ | kUninstallListView, &opened));
    UniqueKey key(opened);
    DWORD stored = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.get(), L"Unterminated", nullptr, nullptr, nullptr, &stored));
    ASSERT_EQ(520u, stored) << "the value was stored with a terminator";
  }
  std::vector<UninstallEntry> entries;
  entries.reserve(4);
  PaintStack();
  ASSERT_EQ(0u, ReadUninstallList(&entries));
  ASSERT_EQ(2u, entries.size());
  for (const UninstallEntry& entry : entries) {
    if (entry.name == L"Unterminated")
      EXPECT_EQ(code, entry.productCode);
    else
      EXPECT_EQ(kLibrary, entry.productCode);
  }
  // And the run hands that code over as it is.
  g_msi.states[code] = INSTALLSTATE_UNKNOWN;
  RunUninstaller(UninstallerMessages());
  ASSERT_EQ(1u, g_msi.attempts.size());
  EXPECT_EQ(kLibrary, g_msi.attempts[0].product);
}

// The machine's list when its key opens (even when it is empty); the user's only when it does not.
TEST_F(UninstallList, UserListOnlyWithoutTheMachineKey) {
  ASSERT_TRUE(WriteList(HKEY_CURRENT_USER, {{L"User", kBravo}}));
  std::vector<UninstallEntry> entries;
  ASSERT_EQ(0u, ReadUninstallList(&entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(L"User", entries[0].name);
  EXPECT_EQ(kBravo, entries[0].productCode);

  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Machine", kAlpha}}));
  ASSERT_EQ(0u, ReadUninstallList(&entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(L"Machine", entries[0].name);

  DeleteList(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {}));
  EXPECT_NE(0u, ReadUninstallList(&entries));
  EXPECT_TRUE(entries.empty());
}

}  // namespace
}  // namespace kesi::uninstall::test
