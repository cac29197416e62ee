// The text helpers of the host checks: field splitting, field preparation and wildcard matching.
#include <cwchar>
#include <new>

#include "HostChecks.h"
#include "LiteralLine.h"

namespace kesi {

namespace {

constexpr size_t kMaxPlainField = 4096;  // a field copied without expansion must be shorter than this
constexpr size_t kCommaEscapeLength = sizeof(kCommaEscape) / sizeof(kCommaEscape[0]) - 1;

void UnescapeCommas(wchar_t* text) {
  wchar_t* out = text;
  for (const wchar_t* in = text; *in;) {
    if (wcsncmp(in, kCommaEscape, kCommaEscapeLength) == 0) {
      *out++ = L',';
      in += kCommaEscapeLength;
    } else {
      *out++ = *in++;
    }
  }
  *out = 0;
}

wchar_t UpperChar(wchar_t c) {
  return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

wchar_t LowerChar(wchar_t c) {
  return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

bool SameChar(wchar_t pattern, wchar_t text, bool caseSensitive) {
  if (pattern == text) return true;
  if (caseSensitive) return false;
  return UpperChar(pattern) == UpperChar(text) || LowerChar(pattern) == LowerChar(text);
}

// kAbort: the rest of the pattern cannot match from here nor from any later text position, so a "*"
// further out stops trying more positions. That keeps patterns with many stars linear per star instead of
// exponential, without changing which texts match.
enum class Match { kYes, kNo, kAbort };

Match MatchFrom(const wchar_t* p, const wchar_t* t, bool caseSensitive) {
  for (;;) {
    wchar_t c = *p;
    if (!c) return *t ? Match::kNo : Match::kYes;
    if (c == L'*') {
      if (!p[1]) return Match::kYes;
      if (!*t) return Match::kAbort;
      // Over a text that is not exhausted a run of stars matches what one star matches.
      while (p[1] == L'*') ++p;
      if (!p[1]) return Match::kYes;
      for (; *t; ++t) {
        Match m = MatchFrom(p + 1, t, caseSensitive);
        if (m != Match::kNo) return m;
      }
      return Match::kAbort;
    }
    if (!*t) return Match::kAbort;
    if (c == L'\\') {
      c = *++p;
      if (!c) return Match::kNo;  // an escape with nothing behind it
    } else if (c == L'?') {
      ++p;
      ++t;
      continue;
    }
    if (!SameChar(c, *t, caseSensitive)) return Match::kNo;
    ++p;
    ++t;
  }
}

}  // namespace

wchar_t* NextField(wchar_t* text, const wchar_t* separators, wchar_t** cursor) {
  return kesi::QuotedToken(text, separators, true, cursor);
}

std::unique_ptr<wchar_t[]> ExpandLiteralText(const wchar_t* field, bool expandEnvironment, bool unescapeComma) {
  if (!field) return nullptr;
  std::unique_ptr<wchar_t[]> copy;
  if (expandEnvironment) {
    DWORD needed = ExpandEnvironmentStringsW(field, nullptr, 0);
    if (!needed) return nullptr;
    copy.reset(new (std::nothrow) wchar_t[needed]);
    if (!copy) return nullptr;
    DWORD written = ExpandEnvironmentStringsW(field, copy.get(), needed);
    if (!written || written > needed) return nullptr;  // the environment grew between the two calls
  } else {
    size_t length = wcsnlen(field, kMaxPlainField);
    if (length >= kMaxPlainField) return nullptr;
    copy.reset(new (std::nothrow) wchar_t[length + 1]);
    if (!copy) return nullptr;
    wmemcpy(copy.get(), field, length + 1);
  }
  if (unescapeComma) UnescapeCommas(copy.get());
  return copy;
}

bool WildcardMatch(const wchar_t* pattern, const wchar_t* text, bool caseSensitive) {
  if (!pattern || !text) return false;
  return MatchFrom(pattern, text, caseSensitive) == Match::kYes;
}

bool HasWildcards(const wchar_t* text) {
  if (!text) return false;
  bool escaped = false;
  for (; *text; ++text) {
    if (*text == L'\\') {
      escaped = !escaped;
      continue;
    }
    if ((*text == L'*' || *text == L'?') && !escaped) return true;
    escaped = false;
  }
  return false;
}

std::unique_ptr<wchar_t[]> DuplicateText(const wchar_t* text) {
  if (!text) return nullptr;
  size_t length = wcslen(text);
  std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[length + 1]);
  if (copy) wmemcpy(copy.get(), text, length + 1);
  return copy;
}

}  // namespace kesi
