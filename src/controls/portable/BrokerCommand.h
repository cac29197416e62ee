#pragma once
// The broker's command lines and pipe messages, without the OS. A command is one line of words that the
// broker splits by the Windows command-line rules (CommandLineToArgvW); each word is quoted here so that
// the split gives back exactly the words given. A message is the line's UTF-16LE byte length (4 bytes,
// little-endian) followed by the line; the reply is the result as signed decimal ASCII digits and a NUL.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kesi::controls {

// The longest command line, in characters, that the broker accepts: the longest the objects build.
constexpr size_t kBrokerCommandChars = 4096;
// The longest text a command message may carry, in bytes.
constexpr uint32_t kBrokerMessageBytes = kBrokerCommandChars * 2;
// The size of a command message's length field.
constexpr size_t kBrokerLengthBytes = 4;
// The most a reply may hold, NUL included.
constexpr size_t kBrokerReplyBytes = 1024;
// How many times a command is sent again to the next broker while the broker answers that it is being
// updated (kBrokerUpdating).
constexpr int kBrokerUpdateRetries = 3;
constexpr uint32_t kBrokerUpdating = 1051;

// Appends word to line as one word (a blank first unless line is empty). A word that is empty or holds a
// blank, a tab or a double quote is enclosed in double quotes, with every double quote and every run of
// backslashes before a double quote (or before the closing quote) escaped, so that CommandLineToArgvW
// gives back the word exactly; any other word goes as it stands. The first word of a line is the command
// and is read by the program-name rule (no escapes): give a plain word there.
void AppendCommandWord(std::wstring& line, std::wstring_view word);

// The interrogation command "1 authID urlConfiguration urlPost". False (line untouched) when the line
// would exceed kBrokerCommandChars.
bool BuildInterrogationCommand(std::wstring_view authId, std::wstring_view urlConfiguration,
                               std::wstring_view urlPost, std::wstring* line);

// An install command ("2" to "5"): the command, the credential, the installer configuration, then words.
// The configuration word is always enclosed in double quotes and every double quote of it travels as a
// backquote, which the broker turns back. False (line untouched) when the line would exceed
// kBrokerCommandChars.
bool BuildInstallCommand(std::wstring_view command, std::wstring_view credential, std::wstring_view configuration,
                         std::initializer_list<std::wstring_view> words, std::wstring* line);

// The MSI install command "5 credential configuration serverIP MsiURL".
bool BuildMsiInstallCommand(std::wstring_view credential, std::wstring_view configuration,
                            std::wstring_view serverIp, std::wstring_view msiUrl, std::wstring* line);

// One word of a split line: its text and where it stands in the line ([begin, end), quotes included).
struct CommandWord {
  std::wstring text;
  size_t begin = 0;
  size_t end = 0;
};

// Splits line as CommandLineToArgvW does: the first word by the program-name rule (up to the next quote
// when it starts with one, else up to a blank or tab), the others at blanks and tabs outside quotes, with
// 2n backslashes before a quote giving n backslashes and a quote that opens or closes, 2n+1 giving n
// backslashes and a literal quote, and a third quote in a row giving a literal quote. An empty line gives
// no words (where CommandLineToArgvW gives the program's path); the whole view is read, NUL characters
// too. Throws std::bad_alloc.
std::vector<CommandWord> SplitCommandLine(std::wstring_view line);

// A credential as a log may show it: at most its first 4 characters (never more than half of it), then
// "***" and its length in parentheses: "abcd***(32)".
std::wstring MaskCredential(std::wstring_view credential);

// The line as the log shows it: the credential word of commands "1" to "5" masked, the rest unchanged.
std::wstring CommandLineForLog(std::wstring_view line);

// The command message for line: the 4-byte little-endian byte length of the text, then the text as
// UTF-16LE (characters above U+FFFF, which only a 32-bit wchar_t holds, as surrogate pairs).
std::string EncodeBrokerMessage(std::wstring_view line);

// Reads a length field: exactly kBrokerLengthBytes bytes, giving an even length of 2 to
// kBrokerMessageBytes. 0, or 87 (ERROR_INVALID_PARAMETER) for any other field or length.
uint32_t DecodeBrokerLength(const void* bytes, size_t size, uint32_t* textBytes);

// Reads a message text of size bytes (even, at most kBrokerMessageBytes, no NUL character) into *line,
// one character per UTF-16 unit. 0, or 87 (*line untouched).
uint32_t DecodeBrokerText(const void* bytes, size_t size, std::wstring* line);

// Reads a whole message (length field and text, nothing after): 0, or 87 when the field is refused or
// the text is not exactly as long as it says.
uint32_t DecodeBrokerMessage(const void* bytes, size_t size, std::wstring* line);

// The fewest words (the command included) that a command needs: "1" 4, "5" 5, "4" 6, "2" and "3" 8, any
// other 3 (the launcher's line).
size_t MinimumCommandWords(std::wstring_view command);

// The configuration word as the installer takes it: every backquote back to a double quote.
std::wstring RestoreConfigurationQuotes(std::wstring_view word);

// The stop request's first answer: the answering broker's process id as UTF-16LE decimal digits, all of
// them, no terminator.
std::string EncodeStopReply(uint32_t processId);

// Reads a stop answer: 1 to 10 UTF-16LE decimal digits of a value below 2^32. 0, or 13 (*processId
// untouched).
uint32_t DecodeStopReply(const void* bytes, size_t size, uint32_t* processId);

// The reply for result: its signed 32-bit decimal digits and a NUL ("-1" for 0xFFFFFFFF).
std::string EncodeBrokerReply(uint32_t result);

// Reads a reply: an optional "-", 1 or more decimal digits of a value in [-2^31, 2^32 - 1], then a NUL
// as the last byte, all within kBrokerReplyBytes. 0, or 13 (ERROR_INVALID_DATA; *result untouched).
uint32_t DecodeBrokerReply(const void* bytes, size_t size, uint32_t* result);

}  // namespace kesi::controls
