// The kind lookup and the check dispatch that the logon route (SystemInterrogator) and the configuration
// route share.
#include "Checks.h"
#include "RQString.h"

namespace kesi {

const LiteralKindEntry* FindLiteralKind(const LiteralKindEntry* table, size_t count, const wchar_t* name) {
  if (!table || !name) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, -1, table[i].name, -1) == CSTR_EQUAL)
      return &table[i];
  }
  return nullptr;
}

LONG RunLiteralCheck(LiteralCheck check, const RQString& parameters, LONG* verdict, ItemQueue* items,
                     RQString* equipmentId) {
  const wchar_t* text = parameters;
  switch (check) {
    case LiteralCheck::kFile: return EvaluateFile(text, verdict);
    case LiteralCheck::kDirectory: return EvaluateDirectory(text, verdict);
    case LiteralCheck::kRegistry: return EvaluateRegistry(text, verdict);
    case LiteralCheck::kOSVersion: return EvaluateOSVersion(text, verdict);
    case LiteralCheck::kProcess: return EvaluateProcess(text, verdict);
    case LiteralCheck::kDomain: return EvaluateDomain(text, verdict);
    case LiteralCheck::kFirewall: return EvaluateFirewall(text, verdict);
    case LiteralCheck::kAntiVirus: return EvaluateAntiVirus(text, verdict);
    case LiteralCheck::kCertificate: return EvaluateCertificate(text, verdict, items);
    case LiteralCheck::kEquipmentId: return EvaluateEquipmentID(text, verdict, items, equipmentId);
    // The engine's own numbers for its three kinds are the logon route's.
    case LiteralCheck::kOpswatAntiVirus: return EvaluateOpswat(kKindOpswatAntiVirus, parameters, verdict);
    case LiteralCheck::kOpswatFirewall: return EvaluateOpswat(kKindOpswatFirewall, parameters, verdict);
    case LiteralCheck::kOpswatAntiSpyware: return EvaluateOpswat(kKindOpswatAntiSpyware, parameters, verdict);
    case LiteralCheck::kNone: break;
  }
  return ERROR_SUCCESS;
}

}  // namespace kesi
