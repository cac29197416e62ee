#pragma once
// The checks that evaluate one literal each. Every check takes the literal's parameter text (wide, may be
// null; copied before it is split) and the 32-bit verdict cell (1 true, 0 false; left as it was when the
// check stops early), and returns a 32-bit status: 0 when the literal was evaluated, -503 when the
// parameter text is missing or could not be prepared, or a Win32 error code where a check says so.
// The status never changes a result; only the verdict does.
#include <windows.h>

namespace kesi {

class RQString;
class ItemQueue;  // the locked queue of RQString items a result carries (ItemQueue.h)

// Host checks.
LONG EvaluateOSVersion(const wchar_t* parameters, LONG* verdict);
LONG EvaluateFile(const wchar_t* parameters, LONG* verdict);
LONG EvaluateDirectory(const wchar_t* parameters, LONG* verdict);
LONG EvaluateRegistry(const wchar_t* parameters, LONG* verdict);
LONG EvaluateProcess(const wchar_t* parameters, LONG* verdict);
LONG EvaluateDomain(const wchar_t* parameters, LONG* verdict);
LONG EvaluateCertificate(const wchar_t* parameters, LONG* verdict, ItemQueue* items);

// Security-product checks.
LONG EvaluateFirewall(const wchar_t* parameters, LONG* verdict);
LONG EvaluateAntiVirus(const wchar_t* parameters, LONG* verdict);

// Equipment identification: also stores the identifier it computed in equipmentId.
LONG EvaluateEquipmentID(const wchar_t* parameters, LONG* verdict, ItemQueue* items, RQString* equipmentId);

// The outside product-check engine, for the kinds OPSWATAV (12), OPSWATPFW (13) and OPSWATAS (14).
// Stores the engine's 16-bit boolean widened with its sign (TRUE is -1).
HRESULT EvaluateOpswat(int kind, const RQString& parameters, LONG* verdict);

}  // namespace kesi
