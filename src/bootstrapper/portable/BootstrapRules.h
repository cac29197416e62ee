#pragma once
// The bootstrapper's decisions that need no system call: the installed-version file's line, the per-user
// ProgID key names, the session properties in a cookie text, the Java version test and the take-ownership
// command line. OS-free: built for Windows and natively.
#include <string>
#include <string_view>

namespace kesi::bootstrap {

struct ClientVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
};

// <0, 0 or >0 as a is older than, the same as or newer than b (major, then minor, then build).
int CompareVersions(const ClientVersion& a, const ClientVersion& b);

// The first line of "build.ver" ("10,7,2,607": major 10, minor 72 from the single digits of fields 2
// and 3, build 607). Trailing CR, LF and blanks are ignored. False, *version untouched, unless the line is
// exactly four comma-separated decimal fields with single digits in fields 2 and 3 and at most nine digits
// in the others: such a file counts as missing.
bool ParseBuildVersionLine(std::string_view line, ClientVersion* version);

// "Software\Classes\" + prefix + major "." minor/10 "." minor%10 "." build + "\CLSID", the build written
// with at least three digits and a build of 0 as "0000". prefix ends in "." ("Velmora.KESInterrogator.").
std::wstring ProgIdKeyPath(std::wstring_view prefix, const ClientVersion& version);

// The session properties the cookies carry.
enum SessionProperty : int {
  kTeamToken = 0,     // "FARLINK_ID"
  kConfigurationUrl,  // "urlConfig"
  kPostUrl,           // "responseUrl"
  kSuccessUrl,        // "successUrl"
  kLogoffUrl,         // "epclogoffUrl" (optional)
  kFailureUrl,        // "failureUrl"
  kAutoUploadUrl,     // "autoUploadUrl"
  kSessionPropertyCount
};

const wchar_t* SessionCookieName(SessionProperty property);

struct SessionProperties {
  std::wstring value[kSessionPropertyCount];
  bool present[kSessionPropertyCount] = {};
};

// The properties of cookieText: each pair is matched by its name only (never by its value), a name equal
// to a property's cookie name before a name that merely contains it; among pairs of the same kind the last
// one holds. An empty value counts as missing. Throws std::bad_alloc.
SessionProperties PickSessionProperties(std::wstring_view cookieText);

// Whether a Java runtime's "CurrentVersion" ("1.6", "1.8", "2") is 1.6 or later.
bool IsJavaVersionUsable(std::wstring_view currentVersion);

// "<program>" /F "<appData>\Velmora" /R /D Y, both paths quoted: every file below the client's folder,
// with the answer to the program's question given, so that it never waits for console input.
std::wstring TakeOwnershipCommandLine(std::wstring_view program, std::wstring_view appData);

}  // namespace kesi::bootstrap
