// The broker's command lines (quoting, the split that undoes it, the limit, the log's masking), the
// command message and the reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BrokerCommand.h"

namespace kesi::controls {
namespace {

std::string Show(std::wstring_view text) {
  std::string shown;
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) shown += static_cast<char>(c);
    else shown += "\\u{" + std::to_string(static_cast<uint32_t>(c)) + "}";
  }
  return shown;
}

std::vector<std::wstring> Texts(const std::vector<CommandWord>& words) {
  std::vector<std::wstring> texts;
  for (const CommandWord& word : words) texts.push_back(word.text);
  return texts;
}

TEST(BrokerCommand, PlainWordsGoAsTheyStand) {
  std::wstring line;
  ASSERT_TRUE(BuildInterrogationCommand(L"0123abcd", L"https://gw.example/cfg?a=1&b=2", L"https://gw.example/post", &line));
  EXPECT_EQ(L"1 0123abcd https://gw.example/cfg?a=1&b=2 https://gw.example/post", line);

  // Without a credential the word is still there, so that the URLs keep their places.
  ASSERT_TRUE(BuildInterrogationCommand(L"", L"https://gw/cfg", L"https://gw/post", &line));
  EXPECT_EQ(L"1 \"\" https://gw/cfg https://gw/post", line);

  // The configuration word is always quoted and its double quotes travel as backquotes; a final
  // backslash is doubled so that it does not swallow the closing quote.
  ASSERT_TRUE(BuildMsiInstallCommand(L"cred", L"[Setup]\r\nName=\"a b\"\r\nDir=C:\\x\\", L"10.0.0.1",
                                     L"https://gw/a.msi", &line));
  EXPECT_EQ(L"5 cred \"[Setup]\r\nName=`a b`\r\nDir=C:\\x\\\\\" 10.0.0.1 https://gw/a.msi", line);
  const std::vector<std::wstring> expected = {L"5", L"cred", L"[Setup]\r\nName=`a b`\r\nDir=C:\\x\\", L"10.0.0.1",
                                              L"https://gw/a.msi"};
  EXPECT_EQ(expected, Texts(SplitCommandLine(line)));

  // The component installs carry the same configuration word; their own words may be empty.
  ASSERT_TRUE(BuildInstallCommand(L"3", L"cred", L"x=\"y\"", {L"https://gw/c.cab", L"", L"{CLSID}", L"1,0", L"C:\\A B"},
                                  &line));
  const std::vector<std::wstring> component = {L"3", L"cred", L"x=`y`", L"https://gw/c.cab", L"", L"{CLSID}", L"1,0",
                                               L"C:\\A B"};
  EXPECT_EQ(component, Texts(SplitCommandLine(line)));
}

TEST(BrokerCommand, EveryWordComesBackFromTheSplit) {
  const std::vector<std::wstring> nasty = {
      L"",        L" ",          L"a b",       L"\t",          L"tab\there", L"\"",           L"\"\"",
      L"\"\"\"",  L"a\"b",       L"\\",        L"\\\\",        L"a\\",       L"a\\\\",        L"a\\\"b",
      L"a\\\\\"b", L"\\\"",      L"\"\\",      L"end with \\", L"C:\\Program Files\\",         L"x\\\\\\",
      L"`q`",     L"line\r\nbreak", L"\x00e9\x20ac", L"\\\\server\\share", L"a  b",         L"\"a b\"",
  };
  for (size_t first = 0; first < nasty.size(); ++first) {
    // Each word alone and beside each other word, so that a word that leaks into its neighbour shows.
    for (size_t second = 0; second < nasty.size(); ++second) {
      std::wstring line = L"1";
      AppendCommandWord(line, nasty[first]);
      AppendCommandWord(line, nasty[second]);
      const std::vector<std::wstring> expected = {L"1", nasty[first], nasty[second]};
      EXPECT_EQ(expected, Texts(SplitCommandLine(line))) << Show(line);
    }
  }
}

TEST(BrokerCommand, SplitFollowsTheCommandLineRules) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> words;
  };
  const Case cases[] = {
      {L"1 a b", {L"1", L"a", L"b"}},
      {L"1   a\t\tb  ", {L"1", L"a", L"b"}},
      {L"1 \"a b\"c", {L"1", L"a bc"}},
      {L"1 a\\b\\\\c", {L"1", L"a\\b\\\\c"}},          // backslashes not before a quote stay
      {L"1 a\\\\\"b c\"", {L"1", L"a\\b c"}},          // 2n + quote: n, and the quote opens
      {L"1 a\\\\\\\"b c", {L"1", L"a\\\"b", L"c"}},    // 2n+1 + quote: n and a literal quote
      {L"1 \"C:\\dir\\\" x y", {L"1", L"C:\\dir\" x y"}},  // an unescaped final backslash swallows the rest
      {L"1 \"\"", {L"1", L""}},
      {L"1 \"\" \"\"", {L"1", L"", L""}},
      {L"1 \"a\"\"b\"", {L"1", L"a\"b"}},              // a third quote in a row is literal ...
      {L"1 \"\"\"a b", {L"1", L"\"a", L"b"}},          // ... and leaves the quotes
      {L"1 a\"\"\"\"b", {L"1", L"a\"b"}},
      {L"\"prog name\"x y", {L"prog name", L"x", L"y"}},  // the program name ends at its closing quote
      {L"a\\\"b c", {L"a\\\"b", L"c"}},                // and has no escapes
      {L" 1 a", {L"", L"1", L"a"}},
      {L"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.words, Texts(SplitCommandLine(c.line))) << Show(c.line);

  // Where each word stands: quotes included, blanks not.
  const std::vector<CommandWord> words = SplitCommandLine(L"1  \"a b\"\tc");
  ASSERT_EQ(3u, words.size());
  EXPECT_EQ(0u, words[0].begin);
  EXPECT_EQ(1u, words[0].end);
  EXPECT_EQ(3u, words[1].begin);
  EXPECT_EQ(8u, words[1].end);
  EXPECT_EQ(9u, words[2].begin);
  EXPECT_EQ(10u, words[2].end);
}

TEST(BrokerCommand, LineOverTheBrokersLimitIsRefused) {
  std::wstring line = L"untouched";
  // "1 " + credential + " u p" is 6 characters besides the credential.
  EXPECT_TRUE(BuildInterrogationCommand(std::wstring(kBrokerCommandChars - 6, L'c'), L"u", L"p", &line));
  EXPECT_EQ(kBrokerCommandChars, line.size());
  line = L"untouched";
  EXPECT_FALSE(BuildInterrogationCommand(std::wstring(kBrokerCommandChars - 5, L'c'), L"u", L"p", &line));
  EXPECT_EQ(L"untouched", line);
  // The quoting counts: 2100 quotes become 4202 characters.
  EXPECT_FALSE(BuildInterrogationCommand(std::wstring(2100, L'"'), L"u", L"p", &line));
  EXPECT_FALSE(BuildInterrogationCommand(L"c", std::wstring(5000, L'u'), L"p", &line));
  EXPECT_FALSE(BuildMsiInstallCommand(L"c", std::wstring(kBrokerCommandChars, L'x'), L"s", L"m", &line));
  EXPECT_EQ(L"untouched", line);
  EXPECT_TRUE(BuildMsiInstallCommand(L"c", std::wstring(kBrokerCommandChars - 10, L'x'), L"s", L"m", &line));
  EXPECT_EQ(kBrokerCommandChars, line.size());
}

TEST(BrokerCommand, LogMasksTheCredential) {
  struct Case {
    const wchar_t* line;
    const wchar_t* shown;
  };
  const Case cases[] = {
      {L"1 FARLINK_ID=0123456789abcdef https://gw/cfg https://gw/post",
       L"1 FARL***(27) https://gw/cfg https://gw/post"},
      {L"5 \"s e c r e t\" \"[S]`x`\" 10.0.0.1 https://gw/a.msi", L"5 s e ***(11) \"[S]`x`\" 10.0.0.1 https://gw/a.msi"},
      {L"1 \"\" u p", L"1 ***(0) u p"},
      {L"1 abc u p", L"1 a***(3) u p"},  // never more than half of a short credential
      {L"3 abcdefgh", L"3 abcd***(8)"},
      {L"7 foo bar", L"7 foo bar"},      // no credential in these
      {L"6", L"6"},
      {L"install-this secret", L"install-this secret"},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(std::wstring(c.shown), CommandLineForLog(c.line)) << Show(c.line);
}

TEST(BrokerFrame, MessageIsLengthThenUtf16) {
  const std::string expected("\x0a\0\0\0" "1\0 \0\"\0\"\0\xe9\0", 14);
  EXPECT_EQ(expected, EncodeBrokerMessage(L"1 \"\"\x00e9"));
  EXPECT_EQ(std::string("\x04\0\0\0\xac\x20\x3d\xd8", 8), EncodeBrokerMessage(std::wstring(L"\x20ac") + L'\xd83d'));
  EXPECT_EQ(std::string("\0\0\0\0", 4), EncodeBrokerMessage(L""));
  EXPECT_EQ(8192u, kBrokerMessageBytes);

  std::wstring line = L"untouched";
  const std::string message = EncodeBrokerMessage(L"5 a \"b c\"");
  ASSERT_EQ(0u, DecodeBrokerMessage(message.data(), message.size(), &line));
  EXPECT_EQ(L"5 a \"b c\"", line);
}

TEST(BrokerFrame, LengthsTheBrokerCannotTakeAreRefused) {
  struct Case {
    uint32_t length;
    uint32_t code;
  };
  const Case cases[] = {
      {0, 87},  // no command at all
      {2, 0},
      {4096, 0},
      {kBrokerMessageBytes, 0},  // the longest line the objects build
      {kBrokerMessageBytes + 2, 87},
      {65536, 87},
      {0xFFFFFFFF, 87},
      {3, 87},  // odd: not UTF-16
      {0x80000000, 87},
  };
  for (const Case& c : cases) {
    const unsigned char field[4] = {static_cast<unsigned char>(c.length), static_cast<unsigned char>(c.length >> 8),
                                    static_cast<unsigned char>(c.length >> 16), static_cast<unsigned char>(c.length >> 24)};
    uint32_t length = 12345;
    EXPECT_EQ(c.code, DecodeBrokerLength(field, sizeof field, &length)) << c.length;
    EXPECT_EQ(c.code == 0 ? c.length : 12345u, length) << c.length;
  }
  uint32_t length = 0;
  EXPECT_EQ(87u, DecodeBrokerLength("\2\0\0", 3, &length));
  EXPECT_EQ(87u, DecodeBrokerLength("\2\0\0\0\0", 5, &length));
}

TEST(BrokerFrame, TextMustMatchItsLength) {
  struct Case {
    std::string message;
    uint32_t code;
  };
  const Case cases[] = {
      {std::string("\4\0\0\0a\0b\0", 8), 0},
      {std::string("\6\0\0\0a\0b\0", 8), 87},      // longer than the bytes sent
      {std::string("\2\0\0\0a\0b\0", 8), 87},      // bytes after the text
      {std::string("\4\0\0\0a\0\0\0", 8), 87},     // a NUL would cut the line at the broker
      {std::string("\3\0\0\0a\0b", 7), 87},
      {std::string("\4\0\0", 3), 87},
      {std::string("\0\0\0\0", 4), 87},
      {std::string(), 87},
  };
  for (const Case& c : cases) {
    std::wstring line = L"untouched";
    EXPECT_EQ(c.code, DecodeBrokerMessage(c.message.data(), c.message.size(), &line)) << c.message.size();
    EXPECT_EQ(c.code == 0 ? L"ab" : L"untouched", line);
  }
  const std::string longest = EncodeBrokerMessage(std::wstring(kBrokerCommandChars, L'x'));
  std::wstring line;
  EXPECT_EQ(0u, DecodeBrokerMessage(longest.data(), longest.size(), &line));
  EXPECT_EQ(kBrokerCommandChars, line.size());
  const std::string over = EncodeBrokerMessage(std::wstring(kBrokerCommandChars + 1, L'x'));
  EXPECT_EQ(87u, DecodeBrokerMessage(over.data(), over.size(), &line));
  EXPECT_EQ(87u, DecodeBrokerText(over.data() + 4, over.size() - 4, &line));
}

TEST(BrokerReply, SignedDecimalAndNul) {
  EXPECT_EQ(std::string("0\0", 2), EncodeBrokerReply(0));
  EXPECT_EQ(std::string("1051\0", 5), EncodeBrokerReply(1051));
  EXPECT_EQ(std::string("-1\0", 3), EncodeBrokerReply(0xFFFFFFFF));
  EXPECT_EQ(std::string("-2147024891\0", 12), EncodeBrokerReply(0x80070005));
  EXPECT_EQ(std::string("2147483647\0", 11), EncodeBrokerReply(0x7FFFFFFF));

  struct Case {
    std::string reply;
    uint32_t code;
    uint32_t result;
  };
  const Case cases[] = {
      {std::string("0\0", 2), 0, 0},
      {std::string("3\0", 2), 0, 3},
      {std::string("1051\0", 5), 0, 1051},
      {std::string("-1\0", 3), 0, 0xFFFFFFFF},
      {std::string("-2147483648\0", 12), 0, 0x80000000},
      {std::string("4294967295\0", 11), 0, 0xFFFFFFFF},
      {std::string("0007\0", 5), 0, 7},
      {std::string(kBrokerReplyBytes - 2, '0') + std::string("9\0", 2), 0, 9},
      {std::string(kBrokerReplyBytes - 1, '0') + std::string("9\0", 2), 13, 0},  // over the reply's size
      {std::string("4294967296\0", 11), 13, 0},
      {std::string("-2147483649\0", 12), 13, 0},
      {std::string("99999999999999999999999\0", 24), 13, 0},
      {std::string("12", 2), 13, 0},            // no NUL
      {std::string("12\0x", 4), 13, 0},         // bytes after the NUL
      {std::string("\0", 1), 13, 0},
      {std::string("-\0", 2), 13, 0},
      {std::string("+1\0", 3), 13, 0},
      {std::string(" 1\0", 3), 13, 0},
      {std::string("1 \0", 3), 13, 0},
      {std::string("0x10\0", 5), 13, 0},
      {std::string("abc\0", 4), 13, 0},
      {std::string(), 13, 0},
  };
  for (const Case& c : cases) {
    uint32_t result = 0xABCD;
    EXPECT_EQ(c.code, DecodeBrokerReply(c.reply.data(), c.reply.size(), &result)) << c.reply.substr(0, 30);
    EXPECT_EQ(c.code == 0 ? c.result : 0xABCDu, result) << c.reply.substr(0, 30);
  }
}

}  // namespace
}  // namespace kesi::controls
