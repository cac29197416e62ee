// What the broker reads besides the frame: the words each command needs, the configuration word's
// quotes, and the stop request's answer (the answering broker's process id, every digit of it).
#include <gtest/gtest.h>

#include <string>

#include "BrokerCommand.h"

namespace kesi::controls {
namespace {

TEST(BrokerWords, EachCommandNeedsItsWords) {
  const struct {
    const wchar_t* command;
    size_t words;
  } cases[] = {{L"1", 4}, {L"5", 5}, {L"4", 6}, {L"2", 8}, {L"3", 8}, {L"7", 3}, {L"6", 3}, {L"x", 3}, {L"11", 3}, {L"", 3}};
  for (const auto& c : cases) EXPECT_EQ(c.words, MinimumCommandWords(c.command)) << c.words;
}

TEST(BrokerWords, ConfigurationTakesBackItsQuotes) {
  std::wstring line;
  const std::wstring configuration = L"[Setup]\r\nName=\"a `b`\"\r\nDir=C:\\x\\";
  ASSERT_TRUE(BuildMsiInstallCommand(L"cred", configuration, L"10.0.0.1", L"https://gw/a.msi", &line));
  const std::vector<CommandWord> words = SplitCommandLine(line);
  ASSERT_EQ(5u, words.size());
  // A backquote of the page's own travels as a double quote too: that is the wire's rule.
  EXPECT_EQ(L"[Setup]\r\nName=\"a \"b\"\"\r\nDir=C:\\x\\", RestoreConfigurationQuotes(words[2].text));
}

TEST(BrokerStopReply, EveryDigitOfTheProcessId) {
  const struct {
    uint32_t id;
    const char* digits;
  } cases[] = {{4, "4"}, {99999, "99999"}, {100000, "100000"}, {4294967292u, "4294967292"}, {0, "0"}};
  for (const auto& c : cases) {
    std::string wide;
    for (const char* p = c.digits; *p; ++p) wide += std::string(1, *p) + '\0';
    EXPECT_EQ(wide, EncodeStopReply(c.id)) << c.id;
    uint32_t id = 7;
    EXPECT_EQ(0u, DecodeStopReply(wide.data(), wide.size(), &id)) << c.id;
    EXPECT_EQ(c.id, id);
  }
  const std::string refused[] = {
      std::string("4\0" "2\0" "9\0" "4\0" "9\0" "6\0" "7\0" "2\0" "9\0" "6\0", 20),  // 2^32
      std::string("1\0" "2", 3),
      std::string("1\0" "x\0", 4),
      std::string("1\0" "\0\0", 4),
      std::string("1\x01", 2),
      std::string(22, '1'),
      std::string(),
  };
  for (const std::string& bytes : refused) {
    uint32_t id = 7;
    EXPECT_EQ(13u, DecodeStopReply(bytes.data(), bytes.size(), &id)) << bytes.size();
    EXPECT_EQ(7u, id);
  }
}

}  // namespace
}  // namespace kesi::controls
