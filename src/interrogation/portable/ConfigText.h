#pragma once
// The byte level of the configuration-file route: the MAC of a configuration, the walk of its sections,
// the split of its literal lines, and the epcData result document. OS-free (text conversions stay with
// the Windows layer, ConfigurationRoute.h), so the native build can test and fuzz it.
//
// A configuration is wide text in INI-like sections:
//
//   [Global]
//   HMAC=<Base64 of HMAC-SHA1 over the protected text>
//   [InterrogationLiterals]
//   Literal1=KIND,ID,PARAMETERS
//   Literal2=...
//
// Lines end in LF, optionally after a CR; blanks at the start of a line are passed over when looking for
// a section header or the HMAC line. The protected text runs from the "[InterrogationLiterals]" header
// to the first line behind it that starts with white space or "[" (so an empty line ends it too), line
// endings included; the MAC is taken over its UTF-8 form with every CR removed, so CR-LF and LF files
// carry the same code.
#include <cstddef>
#include <memory>

#include "LiteralLine.h"

namespace kesi {

// Status codes of the configuration route (Win32 codes from files and the network pass through as well).
constexpr int kConfigEmpty = -500;         // empty or missing input
constexpr int kConfigNoMemory = -502;
constexpr int kConfigNotEvaluated = -503;  // a literal's check code before its check ran
constexpr int kConfigNoMac = -504;         // no usable "HMAC=" line in [Global]
constexpr int kConfigBadMac = -505;        // no literal section, or its MAC does not match

constexpr size_t kConfigMacTextSize = 30;    // 28 Base64 characters and zero fill
constexpr size_t kConfigMacValueChars = 128; // a value read from [Global] must be shorter than this
constexpr size_t kConfigLineChars = 4096;    // a literal's text must be shorter than this to be evaluated

extern const wchar_t kGlobalSection[];        // "[Global]"
extern const wchar_t kLiteralSection[];       // "[InterrogationLiterals]"

// HMAC-SHA1 of length bytes under the built-in configuration key, as Base64 text in a new zero-filled
// buffer of kConfigMacTextSize bytes. Null when no memory is left.
std::unique_ptr<char[]> ComputeConfigMac(const void* bytes, size_t length);

// A piece of a text: length characters from text (not terminated there).
struct TextSpan {
  const wchar_t* text = nullptr;
  size_t length = 0;
};

// One line of a configuration: whole includes the LF (when there is one); body excludes the LF and one
// CR before it.
struct ConfigLine {
  TextSpan whole;
  TextSpan body;
};

// Reads the line at *cursor and moves the cursor behind it. False at the end of the text.
bool NextConfigLine(const wchar_t** cursor, ConfigLine* line);

// The first line whose first non-blank characters are header (case-sensitive); *at (may be null)
// receives the header's first character. Null when there is none.
const wchar_t* FindSectionLine(const wchar_t* text, const wchar_t* header, const wchar_t** at);

// The value of the first line of [Global] that starts with "HMAC=" (before the next section): false when
// there is no [Global] section or no such line; the value may be empty.
bool FindConfigMacValue(const wchar_t* text, TextSpan* value);

// The protected text of the literal section, from its header to the end of its last literal line (line
// endings included). False when there is no "[InterrogationLiterals]" header.
bool FindLiteralSection(const wchar_t* text, TextSpan* section);

// For a line "Literal" + one or more decimal digits + "=" + text, the text (the body behind "="); false
// for any other line.
bool LiteralLineText(const ConfigLine& line, TextSpan* text);

// The fields of a configuration literal's text KIND,ID,PARAMETERS, cut in place in the caller's writable
// copy by the quote-aware tokenizer of the literal lines. A missing field is null; parameters is the
// untouched rest behind the id ("" when the id ended the text).
struct ConfigLiteralFields {
  const wchar_t* kind = nullptr;
  const wchar_t* id = nullptr;
  const wchar_t* parameters = nullptr;
};
void SplitConfigLiteral(wchar_t* text, ConfigLiteralFields* fields);

// The kinds of the configuration route, in the order they are tried; UNKNOWN closes the table. Above 10
// the numbers differ from the logon route's, and only 1 to 10 are evaluated.
enum ConfigLiteralKind : int {
  kConfigKindUnknown = 0,
  kConfigKindFile = 1,
  kConfigKindDirectory = 2,
  kConfigKindRegistry = 3,
  kConfigKindOSVersion = 4,
  kConfigKindProcess = 5,
  kConfigKindUserDomain = 6,
  kConfigKindMachineDomain = 7,
  kConfigKindFirewall = 8,
  kConfigKindAntiVirus = 9,
  kConfigKindCertificate = 10,
  kConfigKindOpswatAntiVirus = 11,
  kConfigKindOpswatFirewall = 12,
  kConfigKindOpswatAntiSpyware = 13,
};
extern const LiteralKindEntry kConfigLiteralKinds[];
extern const size_t kConfigLiteralKindCount;

// A growable wide text that reports a failed allocation instead of throwing. It starts with room for 20
// bytes and, when an append does not fit, grows to the appended size plus twice what it had.
class WideTextBuffer {
 public:
  WideTextBuffer() noexcept = default;
  ~WideTextBuffer();
  WideTextBuffer(const WideTextBuffer&) = delete;
  WideTextBuffer& operator=(const WideTextBuffer&) = delete;

  bool Append(const wchar_t* text, size_t length);
  bool Append(const wchar_t* text);
  bool Append(wchar_t c) { return Append(&c, 1); }
  // The text, terminated; "" when nothing was appended.
  const wchar_t* Text() const { return data_ ? data_.get() : L""; }
  size_t Length() const { return length_; }
  void Clear();

 private:
  std::unique_ptr<wchar_t[]> data_;
  size_t length_ = 0;
  size_t capacity_ = 0;  // characters, terminator included
};

// Appends text as XML character data: "&" as "&amp;", "<" as "&lt;" (or, with lessAsL, as the letter
// "l", the form the appliance reads in literal descriptions), ">" as "&gt;" where it would close "]]>",
// and characters that XML 1.0 does not allow (controls other than tab, LF and CR, unpaired surrogates,
// U+FFFE and U+FFFF) as "?". False when memory runs out.
bool AppendXmlText(WideTextBuffer* out, const wchar_t* text, size_t length, bool lessAsL);

// The pieces of the epcData document, appended in order: the head (declaration, root and the start of
// the literal list), one entry per literal, then the tail (global facts and the end of the root). Each
// returns false when memory runs out.
struct EpcLiteralEntry {
  const wchar_t* id = nullptr;        // the literal id (null is written as "null")
  bool value = false;                 // TRUE or FALSE
  const wchar_t* description = nullptr;  // the literal's line text
  size_t descriptionLength = 0;
};
struct EpcGlobalFacts {
  unsigned long user = 0;
  const wchar_t* userHomeDirectory = nullptr;  // null: could not be read, the element is left out
  const wchar_t* systemDirectory = nullptr;    // likewise
};
bool AppendEpcHead(WideTextBuffer* out);
bool AppendEpcLiteral(WideTextBuffer* out, const EpcLiteralEntry& literal);
bool AppendEpcTail(WideTextBuffer* out, const EpcGlobalFacts& facts);

}  // namespace kesi
