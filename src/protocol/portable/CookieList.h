#pragma once
// Splitting of a cookie string ("name=value; name2=value2") into its pairs. OS-free: built for Windows and
// natively.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kesi {

using CookiePair = std::pair<std::wstring, std::wstring>;

// Splits text at ";" and each piece at its first "="; blanks around names and values are dropped, and a
// double-quoted part is kept whole (its ";" and "=" do not split, the quotes stay in the value). A piece
// without "=" is a name with an empty value; empty pieces and pieces without a name are skipped.
// Throws std::bad_alloc when memory runs out.
std::vector<CookiePair> SplitCookies(std::wstring_view text);

// The text as a log may show it: each piece keeps its name and "=" and its value becomes "****"; a piece
// without "=" is a bare value and becomes "****" whole. Empty values stay empty. Throws std::bad_alloc
// when memory runs out.
std::wstring MaskCookieValues(std::wstring_view text);

// True when text holds a CR or LF: such a text would end the header it is put in and start another, so
// a cookie or credential that holds one is refused before it reaches a request.
bool HasLineBreak(std::wstring_view text);

// True when text is a block of header lines as a caller adds them to a request: each line is
// "Name: value" (a name of visible characters other than ':', at least one), every line but the last
// ends in CR LF, and no CR or LF stands anywhere else. An empty text is a valid (empty) block.
bool IsHeaderBlock(std::wstring_view text);

}  // namespace kesi
