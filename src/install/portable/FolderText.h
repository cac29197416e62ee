#pragma once
// Folder texts of the install engine: a keyword, a colon and a subfolder ("system:Drivers",
// "localdata:QOLMA", "null:C:\Tools"), or a plain path relative to a base folder. Resolution is split in
// two pure steps so that the caller asks the system only for the one shell folder the keyword names.
#include <cstdint>
#include <string>

#include "ErrorCodes.h"

namespace kesi {

enum class FolderBase {
  kLocal,      // the user's application-data folder less its last element; base + "\" + subfolder
  kLocalData,  // the user's application-data folder; base + "\Velmora\" + subfolder
  kGlobal,     // the all-users application-data folder; base + "\Velmora\" + subfolder
  kWindows,    // the Windows folder; base + "\Velmora\" + subfolder
  kSystem,     // the system folder; base + "\Velmora\" + subfolder
  kProgram,    // the Program Files folder; base + "\Velmora\" + subfolder
  kNone,       // "null": the subfolder alone
  kCaller,     // no keyword: the caller's base folder + the whole folder text
};

struct FolderTextParts {
  FolderBase base = FolderBase::kCaller;
  const wchar_t* subfolder = L"";  // points into the folder text (for kCaller: all of it)
};

// The keyword (compared without regard to case) before the first colon, and the rest. Text without a
// known keyword is kCaller. Null text is kCaller with an empty subfolder.
FolderTextParts SplitFolderText(const wchar_t* text);

// The folder the parts name, given baseFolder: the shell folder of the keyword, or for kCaller the
// caller's base (ignored for kNone). An empty subfolder appends only a backslash to the base. Returns 0,
// kErrorInvalidData (13) when the folder text cannot name a folder, or kErrorFilenameExceedsRange (206)
// when the result does not fit a path buffer; out is written only on 0. Cannot name a folder:
// - an empty base (the shell folder could not be obtained, or the caller gave none): the text alone would
//   be a relative path, or the drive's root;
// - a colon in a keyword's subfolder, or anywhere in a folder text without a keyword (a mistyped
//   keyword): the result would name a data stream;
// - "null" with an empty subfolder or one that is not a drive's absolute path ("C:\..."), and a "local"
//   base without a folder to cut off.
// A "null" subfolder on another machine or in the device namespace gives 53 or 161 (RefusedPathStatus).
uint32_t ResolveFolderText(const FolderTextParts& parts, const wchar_t* baseFolder, std::wstring* out);

}  // namespace kesi
