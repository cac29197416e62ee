#include "LiteralLine.h"

#include <cwchar>

namespace kesi {

namespace {

bool IsDelimiter(wchar_t c, const wchar_t* delimiters) {
  for (const wchar_t* d = delimiters; *d; ++d)
    if (*d == c) return true;
  return false;
}

}  // namespace

wchar_t* QuotedToken(wchar_t* text, const wchar_t* delimiters, bool skipLeading, wchar_t** context) {
  if (!context || !delimiters) return nullptr;
  wchar_t* p = text ? text : *context;
  if (!p) return nullptr;
  if (skipLeading)
    while (*p && IsDelimiter(*p, delimiters)) ++p;
  if (!*p) {
    *context = p;
    return nullptr;
  }

  wchar_t* token = p;
  bool quoted = false;
  size_t quotes = 0;
  for (; *p; ++p) {
    if (*p == L'"') {
      quoted = !quoted;
      ++quotes;
    } else if (!quoted && IsDelimiter(*p, delimiters)) {
      break;
    }
  }
  wchar_t* end = p;
  if (*p) {
    *p = 0;
    *context = p + 1;
  } else {
    *context = p;
  }

  size_t length = static_cast<size_t>(end - token);
  if (length > 0 && quotes <= 2 && token[0] == L'"' && token[length - 1] == L'"') {
    token[length - 1] = 0;
    token = length > 1 ? token + 1 : token;
  }
  return *token ? token : nullptr;
}

void SplitLiteralLine(wchar_t* line, LiteralLineFields* fields) {
  if (!fields) return;
  *fields = LiteralLineFields();
  if (!line) return;
  wchar_t* context = nullptr;
  fields->id = QuotedToken(line, L"=", true, &context);
  fields->kind = QuotedToken(nullptr, L",", true, &context);
  fields->result = QuotedToken(nullptr, L",", true, &context);
  if (fields->result) fields->rest = context;
}

const LiteralKindEntry kLiteralKinds[] = {
    {L"FILE", kKindFile, LiteralCheck::kFile},
    {L"DIRECTORY", kKindDirectory, LiteralCheck::kDirectory},
    {L"REGISTRY", kKindRegistry, LiteralCheck::kRegistry},
    {L"OSVERSION", kKindOSVersion, LiteralCheck::kOSVersion},
    {L"PROCESS", kKindProcess, LiteralCheck::kProcess},
    {L"USERDOMAIN", kKindUserDomain, LiteralCheck::kDomain},
    {L"MACHINEDOMAIN", kKindMachineDomain, LiteralCheck::kDomain},
    {L"PFW", kKindFirewall, LiteralCheck::kFirewall},
    {L"AVIRUS", kKindAntiVirus, LiteralCheck::kAntiVirus},
    {L"CERTIFICATE", kKindCertificate, LiteralCheck::kCertificate},
    {L"EQUIPMENTID", kKindEquipmentId, LiteralCheck::kEquipmentId},
    {L"OPSWATAV", kKindOpswatAntiVirus, LiteralCheck::kOpswatAntiVirus},
    {L"OPSWATPFW", kKindOpswatFirewall, LiteralCheck::kOpswatFirewall},
    {L"OPSWATAS", kKindOpswatAntiSpyware, LiteralCheck::kOpswatAntiSpyware},
    {L"UNKNOWN", kKindUnknown, LiteralCheck::kNone},
};
const size_t kLiteralKindCount = sizeof(kLiteralKinds) / sizeof(kLiteralKinds[0]);

}  // namespace kesi
