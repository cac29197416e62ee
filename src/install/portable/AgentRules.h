#pragma once
// The OS-free decisions of the agent provisioner: agent versions reduced to Windows Installer versions and
// compared, the text comparison of DLL versions, the session credential taken from the cookie text, and
// where an agent's URL puts its file below the deploy folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ErrorCodes.h"

namespace kesi {

struct ThreePartVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// An agent version ("4.1.12.3") as a Windows Installer product version. The first 20 characters count;
// every non-digit separates. With three or more separators the first four numbers a, b, c, d give
// (a, b * 10 + c, d) when c is below 10, else (a, b * 100 + c, d); with fewer, the first three give
// (a, b, d). False (and *reduced zeroed) when the numbers are missing or a part does not fit 32 bits.
bool ReduceAgentVersion(const wchar_t* agentVersion, ThreePartVersion* reduced);

// Major, then minor, then build: -1, 0 or 1.
int CompareThreePart(const ThreePartVersion& a, const ThreePartVersion& b);

// "%u.%u.%u".
std::wstring ThreePartText(const ThreePartVersion& version);

// Whether a DLL agent needs an update, comparing its version with the file's ("%d.%d.%d.%d") part by part
// as text (at most four parts each, empty parts skipped), until either list ends: an agent part "*", "x"
// or "X" matches anything, a part whose text sorts before the file's is passed over, and the first one
// that sorts after the file's means an update.
bool DllVersionNeedsUpdate(const wchar_t* agentVersion, const wchar_t* fileVersion);

// The credential field holds this many characters with its terminating NUL.
constexpr size_t kCredentialChars = 260;
constexpr wchar_t kCredentialName[] = L"FARLINK_ID";

// The session credential from the text the caller hands over: when it names "FARLINK_ID" (the last
// occurrence, any case), "FARLINK_ID=" and the text after the name and the one character behind it (empty
// when the name ends the text); else "FARLINK_ID=" and the whole text. Returns 0, or 122 (credential left
// as it was) when the result would not fit the credential field; 87 for null text.
uint32_t CredentialFromCookieText(const wchar_t* text, std::wstring* credential);

// Where an agent's file lands below the deploy folder, from its URL: the folders below "/postauth" (each
// path element between that one and the file name, percent-decoded) and the file name (the last element,
// without query or fragment). Every folder and the file name must be a plain name (CheckInstallEntryName:
// not empty, ".", "..", no "\", "/", ":", wildcards, control characters or device names); a decoded byte
// above 0x7F is refused as well. A path without a "postauth" element has no folders. The file name must
// end in ".msi", ".dll", ".cfg" or ".pbk" (any case). Returns 0, or 87 with the outputs cleared.
struct DeployPlace {
  std::vector<std::wstring> folders;
  std::wstring fileName;
  std::wstring extension;  // lower case, with its dot
};
uint32_t DeployPlaceFromUrl(const wchar_t* url, DeployPlace* place);

}  // namespace kesi
