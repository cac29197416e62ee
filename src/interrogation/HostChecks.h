#pragma once
// The helpers behind the host checks (their entry points are in Checks.h): the field splitter, the
// preparation of a field, wildcard matching, the running-process search with its two enumeration routes,
// and the user's domain. The process routes and the domain lookup sit behind small tables whose defaults
// are the real routes and Win32 calls, so that a test can force one route or give Wine a domain.
#include <windows.h>

#include <memory>

namespace kesi {

class RQString;

// The status of a check whose parameter text is missing or could not be prepared.
constexpr LONG kCheckUnprepared = -503;

// Marks a literal comma inside a field.
constexpr wchar_t kCommaEscape[] = L"_RQ_COMMA_";

// A writable copy of text (any length), or null for null text or when memory runs out.
std::unique_ptr<wchar_t[]> DuplicateText(const wchar_t* text);

// Re-entrant splitter with a cursor: pass the writable text on the first call and null afterwards. Skips
// leading separators, ends the field at the first separator outside double quotes (writing a terminator
// there) and leaves *cursor behind it. A field that both begins and ends with a double quote and holds no
// other quoted stretch loses those quotes. Null when no field remains or the field is empty.
wchar_t* NextField(wchar_t* text, const wchar_t* separators, wchar_t** cursor);

// A new copy of field: with expandEnvironment its %NAME% references expanded by the platform, else copied
// as it stands (a field of 4,096 characters or more is refused); with unescapeComma every "_RQ_COMMA_"
// replaced by ",". Null for a null field, a refused one or when memory runs out.
std::unique_ptr<wchar_t[]> ExpandLiteralText(const wchar_t* field, bool expandEnvironment, bool unescapeComma);

// "?" matches one character, "*" any run, "\" makes the next pattern character literal. Without
// caseSensitive two characters also match when their upper-case or their lower-case forms are equal.
// Null pattern or text never match.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text, bool caseSensitive);
// The text holds "*" or "?" that no backslash escapes.
bool HasWildcards(const wchar_t* text);

// The platform's native processor architecture is AMD64 (false when it cannot be asked). Asked through
// the global facts' table (GlobalFacts.h), so the registry view follows what the engine reports.
bool IsNative64BitSystem();

// Whether a running process matches pattern: a bare executable name ("app.exe", wildcards allowed,
// compared without regard to case) or a path whose folder must also match (the drive is not compared).
// *found is set to 0 first and to 1 on the first match. The process-snapshot route runs first; when it
// fails, the process-status route. Returns 0 when a route ran, else the error of the second route.
DWORD FindProcess(const wchar_t* pattern, LONG* found);
// The two routes on their own: 0 when the processes could be listed (found or not), else the error.
// Within an evaluation run (EvaluationRun.h) each route lists the processes once, when it is first asked,
// and answers every pattern of the run from that list, failure included; outside a run, every call lists.
DWORD FindProcessBySnapshot(const wchar_t* pattern, LONG* found);
DWORD FindProcessByProcessStatus(const wchar_t* pattern, LONG* found);

// The process-status route for one exact executable name (no wildcards, no folder): lists at most 1,024
// process ids, and *found is 1 when the first module of one of them has baseName as its file name (compared
// without regard to case, at most 260 characters). *tableFull is set when the list filled the table, so
// that later processes were not examined. Returns 0 when the processes could be listed, else the error.
DWORD FindProcessByModuleName(const wchar_t* baseName, LONG* found, bool* tableFull);
constexpr DWORD kModuleNameTableBytes = 4096;

// The routes FindProcess takes, in order; tests replace one (to make it fail) and put the defaults back
// with ResetProcessSearchRoutes.
struct ProcessSearchRoutes {
  DWORD (*snapshot)(const wchar_t* pattern, LONG* found);
  DWORD (*processStatus)(const wchar_t* pattern, LONG* found);
};
ProcessSearchRoutes& ProcessSearchSystem();
void ResetProcessSearchRoutes();

// The domain the domain checks compare: empty when the computer is in no DNS domain, else the domain of
// the account the thread (or process) runs as. 0, 1168 when that account domain is empty, or the error
// of the step that failed.
DWORD GetUserDomainName(RQString* domain);

// The platform calls behind GetUserDomainName.
struct DomainCalls {
  // GetComputerNameExW, asked for ComputerNameDnsDomain.
  BOOL(WINAPI* getComputerNameEx)(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size);
  // LookupAccountSidW.
  BOOL(WINAPI* lookupAccountSid)(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                                 LPDWORD domainSize, PSID_NAME_USE use);
};
DomainCalls& DomainSystem();
void ResetDomainCalls();

}  // namespace kesi
