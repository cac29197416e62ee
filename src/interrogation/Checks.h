#pragma once
// The checks that evaluate one literal each. Every check takes the literal's parameter text (wide, may be
// null; copied before it is split) and the 32-bit verdict cell (1 true, 0 false; left as it was when the
// check stops early), and returns a 32-bit status: 0 when the literal was evaluated, -503 when the
// parameter text is missing or could not be prepared, or a Win32 error code where a check says so.
// The status never changes a result; only the verdict does.
#include <windows.h>

#include <cstddef>

#include "LiteralLine.h"

namespace kesi {

class RQString;
class ItemQueue;  // the locked queue of RQString items a result carries (ItemQueue.h)

// Host checks.
LONG EvaluateOSVersion(const wchar_t* parameters, LONG* verdict);
// The file and directory checks look at local paths only: a path that is, once expanded, a network path
// (UNC, WebDAV) is FALSE with 53 and a device path ("\\.\", "\\?\", "\??\") FALSE with 161, without
// a file call (LocalPath.h).
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

// The one kind lookup of both routes: the first entry of table (a route's kind table, LiteralLine.h or
// ConfigText.h) whose name equals name without regard to case in the invariant locale, so that a user
// locale with its own casing rules (the dotted and dotless i) cannot turn "file" into an unknown kind.
// Null for a null name or a name the table does not have.
const LiteralKindEntry* FindLiteralKind(const LiteralKindEntry* table, size_t count, const wchar_t* name);

// The one dispatch of both routes: runs the check that serves a kind with the literal's parameters and
// verdict cell; items (the certificate and equipment checks) and equipmentId (the equipment check) may
// be null for the others. LiteralCheck::kNone runs nothing and returns 0.
LONG RunLiteralCheck(LiteralCheck check, const RQString& parameters, LONG* verdict, ItemQueue* items,
                     RQString* equipmentId);

}  // namespace kesi
