#pragma once
// The broker's command lines and pipe messages, without the OS. A command is one line of words that the
// broker splits by the Windows command-line rules (CommandLineToArgvW); each word is quoted here so that
// the split gives back exactly the words given. A message is the line's UTF-16LE byte length (4 bytes,
// little-endian) followed by the line; the reply is the result as signed decimal ASCII digits and a NUL.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kesi::controls {

// The longest command line, in characters, that the broker accepts.
constexpr size_t kBrokerCommandChars = 2047;

// Appends word to line as one word (a blank first unless line is empty).
void AppendCommandWord(std::wstring& line, std::wstring_view word);

// The interrogation command "1 authID urlConfiguration urlPost". False (line untouched) when the line
// would exceed kBrokerCommandChars.
bool BuildInterrogationCommand(std::wstring_view authId, std::wstring_view urlConfiguration,
                               std::wstring_view urlPost, std::wstring* line);

// The MSI install command "5 credential configuration serverIP MsiURL"; every double quote of the
// configuration travels as a backquote, which the broker turns back. False when the line would exceed
// kBrokerCommandChars.
bool BuildMsiInstallCommand(std::wstring_view credential, std::wstring_view configuration,
                            std::wstring_view serverIp, std::wstring_view msiUrl, std::wstring* line);

}  // namespace kesi::controls
