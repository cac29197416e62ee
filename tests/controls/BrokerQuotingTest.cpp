// The command words against the system's own split (CommandLineToArgvW), which the broker uses.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BrokerCommand.h"
#include "Handles.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

std::vector<std::wstring> SystemSplit(const std::wstring& line) {
  int count = 0;
  UniqueLocal argv(reinterpret_cast<HLOCAL>(CommandLineToArgvW(line.c_str(), &count)));
  std::vector<std::wstring> words;
  wchar_t** words16 = static_cast<wchar_t**>(argv.get());
  for (int i = 0; words16 && i < count; ++i) words.push_back(words16[i]);
  return words;
}

std::vector<std::wstring> OwnSplit(const std::wstring& line) {
  std::vector<std::wstring> words;
  for (const CommandWord& word : SplitCommandLine(line)) words.push_back(word.text);
  return words;
}

TEST(BrokerQuoting, SystemSplitGivesBackEveryWord) {
  const std::vector<std::wstring> nasty = {
      L"",       L" ",         L"two words", L"\t",         L"tab\there",  L"\"",          L"\"\"",
      L"\"\"\"", L"a\"b",      L"\\",        L"\\\\",       L"trail\\",    L"trail\\\\",   L"a\\\"b",
      L"a\\\\\"b", L"\\\"",    L"\"\\",      L"C:\\Program Files\\",     L"x\\\\\\",     L"`q`",
      L"\x00e9\x20ac", L"\\\\server\\share", L"a  b",   L"\"a b\"",     L" lead",      L"trail ",
  };
  for (const std::wstring& first : nasty) {
    for (const std::wstring& second : nasty) {
      std::wstring line = L"1";
      AppendCommandWord(line, first);
      AppendCommandWord(line, second);
      AppendCommandWord(line, L"last");
      const std::vector<std::wstring> expected = {L"1", first, second, L"last"};
      EXPECT_EQ(expected, SystemSplit(line)) << test::Narrow(line);
    }
  }

  std::wstring line;
  ASSERT_TRUE(BuildMsiInstallCommand(L"", L"[S]\r\nA=\"x y\"\r\nB=C:\\d\\", L"10.0.0.1", L"https://gw/a b.msi", &line));
  const std::vector<std::wstring> expected = {L"5", L"", L"[S]\r\nA=`x y`\r\nB=C:\\d\\", L"10.0.0.1",
                                              L"https://gw/a b.msi"};
  EXPECT_EQ(expected, SystemSplit(line)) << test::Narrow(line);
}

// The split the log's masking and the fuzz target rely on agrees with the system's on lines that no
// quoting of ours makes.
TEST(BrokerQuoting, OwnSplitAgreesWithTheSystem) {
  const wchar_t* lines[] = {
      L"1 a b",          L"1   a\t\tb  ",      L"1 \"a b\"c",        L"1 a\\b\\\\c",      L"1 a\\\\\"b c\"",
      L"1 a\\\\\\\"b c", L"1 \"C:\\d\\\" x y", L"1 \"\"",            L"1 \"\" \"\"",      L"1 \"a\"\"b\"",
      L"1 \"\"\"a b",    L"1 a\"\"\"\"b",      L"\"prog name\"x y",  L"a\\\"b c",         L" 1 a",
      L"1 \"",           L"1 \\",              L"1 a\"b\"\"\"c d",   L"1 \"\"\"\"\"\" e", L"\"\" x",
      L"\t1",            L"1 \"a\tb\"\t\"",
  };
  for (const wchar_t* line : lines) EXPECT_EQ(SystemSplit(line), OwnSplit(line)) << test::Narrow(line);
}

}  // namespace
}  // namespace kesi::controls
