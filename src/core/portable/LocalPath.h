#pragma once
// Which kind of place a path names, from its text alone: the literals and sources the appliance sends are
// meant to name local files, and a path that reaches another machine makes Windows sign on to that
// machine with the user's network credentials before any check can refuse what it finds there. So the
// text is classified before any file call, without asking the system.
#include <cstdint>

#include "ErrorCodes.h"

namespace kesi {

enum class PathKind {
  kLocal,    // a drive path ("C:\x", "C:x"), a rooted path ("\x") or a relative one
  kNetwork,  // UNC in any spelling ("\\host\share", "//host/share", "\\host@SSL@443\x", "\\?\UNC\host\x")
  kDevice,   // the device and object namespaces ("\\.\pipe\x", "\\?\C:\x", "\??\C:\x")
};

// The kind of path. Leading blanks are passed over; "\" and "/" are both separators, as Windows reads
// them. Null or empty text is local (it names nothing). The text must be the one the file call would get:
// expand %NAME% references first.
PathKind ClassifyLocalPath(const wchar_t* path);

// The status a check reports for a path it refused: kErrorBadNetPath (53) for a network path,
// kErrorBadPathName (161) for a device path; 0 for a local one.
uint32_t RefusedPathStatus(PathKind kind);

}  // namespace kesi
