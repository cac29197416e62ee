#pragma once
// The texts the installer object makes from what a page gives it: the test of Base64 configuration text
// and the configuration file's line breaks. OS-free.
#include <string>
#include <string_view>

namespace kesi::controls {

// True when text is Base64 as a page sends it: the standard alphabet, blanks and line breaks anywhere,
// "=" padding only at the end, and no single character left over (which would decode to nothing).
bool IsBase64Text(std::string_view text);

// The configuration text as the file holds it: every line ends in CR LF (a CR already before a line feed
// is not doubled) and the last line is ended too.
std::wstring ConfigurationFileText(std::wstring_view text);

}  // namespace kesi::controls
