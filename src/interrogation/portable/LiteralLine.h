#pragma once
// The byte level of an interrogation literal line: the quote-aware tokenizer and the split of a line into
// its id, kind, result name and parameter text. OS-free, so the native build can fuzz it.
//
// A line reads   ID=KIND,RESULT,PARAMETERS   where PARAMETERS is the unparsed rest (it may hold further
// commas; each check splits its own).
#include <cstddef>

namespace kesi {

// Re-entrant splitter over a writable wide text, like wcstok_s: pass the text on the first call and null
// afterwards; *context keeps the position. With skipLeading, leading delimiters are passed over first.
// A token ends at the first delimiter that does not stand inside a pair of double quotes; a NUL is
// written there and the next call continues behind it. A token with a single quoted run that both starts
// and ends with a double quote loses those two quotes (a token of one lone quote becomes empty); a token
// with more quotes is returned unchanged. Returns null when no token remains or the token is empty.
wchar_t* QuotedToken(wchar_t* text, const wchar_t* delimiters, bool skipLeading, wchar_t** context);

// The fields of one line, pointing into the caller's writable copy (which SplitLiteralLine cuts up).
// A field that is not there is null.
struct LiteralLineFields {
  const wchar_t* id = nullptr;      // text before the first "=" outside quotes
  const wchar_t* kind = nullptr;    // the kind name as written
  const wchar_t* result = nullptr;  // the result name
  const wchar_t* rest = nullptr;    // everything behind the result field, untouched ("" when the
                                    // result field ended the line); null when there is no result field
};

// Splits a writable copy of a line into its fields.
void SplitLiteralLine(wchar_t* line, LiteralLineFields* fields);

// The check that serves a kind. The logon route's kind table and the configuration route's number the
// kinds differently, but a kind name is served by the same check on both (Checks.h runs it).
enum class LiteralCheck : int {
  kNone,  // never evaluated
  kFile,
  kDirectory,
  kRegistry,
  kOSVersion,
  kProcess,
  kDomain,  // the user's and the machine's domain alike
  kFirewall,
  kAntiVirus,
  kCertificate,
  kEquipmentId,
  kOpswatAntiVirus,
  kOpswatFirewall,
  kOpswatAntiSpyware,
};

// The literal kinds, in the order the parse tries them (first match wins). UNKNOWN closes the table.
struct LiteralKindEntry {
  const wchar_t* name;
  int number;
  LiteralCheck check;
};
enum LiteralKind : int {
  kKindUnknown = 0,
  kKindFile = 1,
  kKindDirectory = 2,
  kKindRegistry = 3,
  kKindOSVersion = 4,
  kKindProcess = 5,
  kKindUserDomain = 6,
  kKindMachineDomain = 7,
  kKindFirewall = 8,
  kKindAntiVirus = 9,
  kKindCertificate = 10,
  kKindEquipmentId = 11,
  kKindOpswatAntiVirus = 12,
  kKindOpswatFirewall = 13,
  kKindOpswatAntiSpyware = 14,
};
extern const LiteralKindEntry kLiteralKinds[];
extern const size_t kLiteralKindCount;

}  // namespace kesi
