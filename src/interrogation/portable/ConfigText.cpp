#include "ConfigText.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "Base64.h"
#include "BuiltInKeys.h"
#include "SecureWipe.h"
#include "Sha1.h"

namespace kesi {

const wchar_t kGlobalSection[] = L"[Global]";
const wchar_t kLiteralSection[] = L"[InterrogationLiterals]";

namespace {

const wchar_t kMacName[] = L"HMAC=";
const wchar_t kLiteralName[] = L"Literal";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// White space as the C locale has it: the section ends at a line that starts with any of these.
bool IsSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

bool StartsWith(const TextSpan& span, const wchar_t* prefix, size_t prefixLength) {
  return span.length >= prefixLength && wmemcmp(span.text, prefix, prefixLength) == 0;
}

// The body of a line without its leading blanks.
TextSpan SkipBlanks(const TextSpan& body) {
  TextSpan rest = body;
  while (rest.length > 0 && IsBlank(*rest.text)) {
    ++rest.text;
    --rest.length;
  }
  return rest;
}

}  // namespace

std::unique_ptr<char[]> ComputeConfigMac(const void* bytes, size_t length) {
  if (!bytes && length) return nullptr;
  unsigned char mac[kSha1DigestSize];
  const size_t keySize = strlen(reinterpret_cast<const char*>(kConfigMacKey));
  HmacSha1(kConfigMacKey, keySize, length ? bytes : "", length, mac);
  std::unique_ptr<char[]> text(new (std::nothrow) char[kConfigMacTextSize]());
  if (text) Base64Encode(mac, sizeof(mac), text.get(), kConfigMacTextSize);
  SecureWipe(mac, sizeof(mac));
  return text;
}

bool NextConfigLine(const wchar_t** cursor, ConfigLine* line) {
  if (!cursor || !*cursor || !**cursor || !line) return false;
  const wchar_t* start = *cursor;
  const wchar_t* end = wcschr(start, L'\n');
  const wchar_t* next = end ? end + 1 : start + wcslen(start);
  line->whole.text = start;
  line->whole.length = static_cast<size_t>(next - start);
  size_t body = static_cast<size_t>((end ? end : next) - start);
  if (end && body > 0 && start[body - 1] == L'\r') --body;
  line->body.text = start;
  line->body.length = body;
  *cursor = next;
  return true;
}

const wchar_t* FindSectionLine(const wchar_t* text, const wchar_t* header, const wchar_t** at) {
  if (!text || !header) return nullptr;
  const size_t headerLength = wcslen(header);
  ConfigLine line;
  for (const wchar_t* cursor = text; NextConfigLine(&cursor, &line);) {
    TextSpan rest = SkipBlanks(line.body);
    if (StartsWith(rest, header, headerLength)) {
      if (at) *at = rest.text;
      return line.whole.text;
    }
  }
  return nullptr;
}

bool FindConfigMacValue(const wchar_t* text, TextSpan* value) {
  const wchar_t* section = FindSectionLine(text, kGlobalSection, nullptr);
  if (!section || !value) return false;
  const size_t nameLength = wcslen(kMacName);
  ConfigLine line;
  const wchar_t* cursor = section;
  NextConfigLine(&cursor, &line);  // the header itself
  while (NextConfigLine(&cursor, &line)) {
    TextSpan rest = SkipBlanks(line.body);
    if (rest.length > 0 && rest.text[0] == L'[') break;
    if (StartsWith(rest, kMacName, nameLength)) {
      value->text = rest.text + nameLength;
      value->length = rest.length - nameLength;
      return true;
    }
  }
  return false;
}

bool FindLiteralSection(const wchar_t* text, TextSpan* section) {
  const wchar_t* header = nullptr;
  const wchar_t* headerLine = FindSectionLine(text, kLiteralSection, &header);
  if (!headerLine || !section) return false;
  ConfigLine line;
  const wchar_t* cursor = headerLine;
  NextConfigLine(&cursor, &line);
  const wchar_t* end = cursor;
  while (NextConfigLine(&cursor, &line)) {
    wchar_t first = line.whole.text[0];
    if (IsSpace(first) || first == L'[') break;
    end = cursor;
  }
  section->text = header;
  section->length = static_cast<size_t>(end - header);
  return true;
}

bool LiteralLineText(const ConfigLine& line, TextSpan* text) {
  const size_t nameLength = wcslen(kLiteralName);
  if (!StartsWith(line.body, kLiteralName, nameLength)) return false;
  size_t i = nameLength;
  while (i < line.body.length && line.body.text[i] >= L'0' && line.body.text[i] <= L'9') ++i;
  if (i == nameLength || i >= line.body.length || line.body.text[i] != L'=') return false;
  if (text) {
    text->text = line.body.text + i + 1;
    text->length = line.body.length - i - 1;
  }
  return true;
}

void SplitConfigLiteral(wchar_t* text, ConfigLiteralFields* fields) {
  if (!fields) return;
  *fields = ConfigLiteralFields();
  if (!text) return;
  wchar_t* context = nullptr;
  fields->kind = QuotedToken(text, L",", true, &context);
  fields->id = QuotedToken(nullptr, L",", true, &context);
  if (fields->id) fields->parameters = context;
}

const LiteralKindEntry kConfigLiteralKinds[] = {
    {L"FILE", kConfigKindFile, LiteralCheck::kFile},
    {L"DIRECTORY", kConfigKindDirectory, LiteralCheck::kDirectory},
    {L"REGISTRY", kConfigKindRegistry, LiteralCheck::kRegistry},
    {L"OSVERSION", kConfigKindOSVersion, LiteralCheck::kOSVersion},
    {L"PROCESS", kConfigKindProcess, LiteralCheck::kProcess},
    {L"USERDOMAIN", kConfigKindUserDomain, LiteralCheck::kDomain},
    {L"MACHINEDOMAIN", kConfigKindMachineDomain, LiteralCheck::kDomain},
    {L"PFW", kConfigKindFirewall, LiteralCheck::kFirewall},
    {L"AVIRUS", kConfigKindAntiVirus, LiteralCheck::kAntiVirus},
    {L"CERTIFICATE", kConfigKindCertificate, LiteralCheck::kCertificate},
    {L"OPSWATAV", kConfigKindOpswatAntiVirus, LiteralCheck::kOpswatAntiVirus},
    {L"OPSWATPFW", kConfigKindOpswatFirewall, LiteralCheck::kOpswatFirewall},
    {L"OPSWATAS", kConfigKindOpswatAntiSpyware, LiteralCheck::kOpswatAntiSpyware},
    {L"UNKNOWN", kConfigKindUnknown, LiteralCheck::kNone},
};
const size_t kConfigLiteralKindCount = sizeof(kConfigLiteralKinds) / sizeof(kConfigLiteralKinds[0]);

// WideTextBuffer

WideTextBuffer::~WideTextBuffer() = default;

void WideTextBuffer::Clear() {
  data_.reset();
  length_ = 0;
  capacity_ = 0;
}

bool WideTextBuffer::Append(const wchar_t* text) { return Append(text, text ? wcslen(text) : 0); }

bool WideTextBuffer::Append(const wchar_t* text, size_t length) {
  if (!data_) {
    const size_t first = 20 / sizeof(wchar_t);
    data_.reset(new (std::nothrow) wchar_t[first]);
    if (!data_) return false;
    capacity_ = first;
    data_[0] = 0;
  }
  if (length == 0) return true;
  if (!text) return false;
  const size_t limit = SIZE_MAX / sizeof(wchar_t) / 4;
  if (length > limit || length_ > limit) return false;
  if (length_ + length + 1 > capacity_) {
    size_t capacity = length + 1 + 2 * capacity_;
    if (capacity < length_ + length + 1) capacity = length_ + length + 1;
    std::unique_ptr<wchar_t[]> grown(new (std::nothrow) wchar_t[capacity]);
    if (!grown) return false;
    wmemcpy(grown.get(), data_.get(), length_ + 1);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  wmemcpy(data_.get() + length_, text, length);
  length_ += length;
  data_[length_] = 0;
  return true;
}

// The document

namespace {

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

bool AppendXmlText(WideTextBuffer* out, const wchar_t* text, size_t length, bool lessAsL) {
  if (!out) return false;
  if (!text) return true;
  size_t plain = 0;  // characters since the last one that was replaced, appended in one piece
  auto flush = [&](size_t i) {
    bool ok = out->Append(text + plain, i - plain);
    plain = i + 1;
    return ok;
  };
  for (size_t i = 0; i < length; ++i) {
    const uint32_t c = static_cast<uint32_t>(text[i]);
    const wchar_t* replacement = nullptr;
    if (c == L'&') {
      replacement = L"&amp;";
    } else if (c == L'<') {
      replacement = lessAsL ? L"l" : L"&lt;";
    } else if (c == L'>') {
      if (i >= 2 && text[i - 1] == L']' && text[i - 2] == L']') replacement = L"&gt;";
    } else if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF ||
               c > 0x10FFFF) {
      replacement = L"?";
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      // A pair is one character in UTF-16; anything else in this range stands alone.
      bool pair = sizeof(wchar_t) == 2 && IsHighSurrogate(c) && i + 1 < length &&
                  IsLowSurrogate(static_cast<uint32_t>(text[i + 1]));
      if (pair) {
        ++i;
      } else {
        replacement = L"?";
      }
    }
    if (replacement && (!flush(i) || !out->Append(replacement))) return false;
  }
  return out->Append(text + plain, length - plain);
}

bool AppendEpcHead(WideTextBuffer* out) {
  return out && out->Append(
                    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    L"<epcData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                    L"xsi:noNamespaceSchemaLocation=\"C:\\epc\\schema\\epc.xsd\">\n"
                    L"  <interrogationLiterals>\n");
}

bool AppendEpcLiteral(WideTextBuffer* out, const EpcLiteralEntry& literal) {
  if (!out) return false;
  const wchar_t* id = literal.id ? literal.id : L"null";
  return out->Append(L"     <literal>\n       <id>") && AppendXmlText(out, id, wcslen(id), false) &&
         out->Append(L"</id>\n       <value>") && out->Append(literal.value ? L"TRUE" : L"FALSE") &&
         out->Append(L"</value>\n       <literalDescription>") &&
         AppendXmlText(out, literal.description, literal.description ? literal.descriptionLength : 0, true) &&
         out->Append(L"</literalDescription>\n     </literal>\n");
}

bool AppendEpcTail(WideTextBuffer* out, const EpcGlobalFacts& facts) {
  if (!out) return false;
  wchar_t digits[24];
  size_t n = sizeof(digits) / sizeof(digits[0]);
  unsigned long user = facts.user;
  do {
    digits[--n] = static_cast<wchar_t>(L'0' + user % 10);
    user /= 10;
  } while (user != 0);
  if (!out->Append(L"   </interrogationLiterals>\n  <globalInformation>\n     <user>") ||
      !out->Append(digits + n, sizeof(digits) / sizeof(digits[0]) - n) || !out->Append(L"</user>\n"))
    return false;
  if (facts.userHomeDirectory &&
      (!out->Append(L"     <userHomeDirectory>") ||
       !AppendXmlText(out, facts.userHomeDirectory, wcslen(facts.userHomeDirectory), false) ||
       !out->Append(L"</userHomeDirectory>\n")))
    return false;
  if (facts.systemDirectory &&
      (!out->Append(L"     <systemDirectory>") ||
       !AppendXmlText(out, facts.systemDirectory, wcslen(facts.systemDirectory), false) ||
       !out->Append(L"</systemDirectory>\n")))
    return false;
  return out->Append(L"  </globalInformation>\n</epcData>");
}

}  // namespace kesi
