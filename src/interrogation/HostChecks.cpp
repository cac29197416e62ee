// The operating-system version, domain and certificate checks.
#include <cwchar>
#include <cwctype>
#include <new>
#include <vector>

#include "CheckLog.h"
#include "Checks.h"
#include "ClientCertificate.h"
#include "EvaluationRun.h"
#include "GlobalFacts.h"
#include "Handles.h"
#include "HostChecks.h"
#include "ItemQueue.h"
#include "LastError.h"
#include "LogFile.h"
#include "RQString.h"

namespace kesi {

namespace {

constexpr DWORD kDnsDomainChars = 512;
constexpr DWORD kAccountDomainChars = 128;
constexpr DWORD kAccountNameChars = 256;

const wchar_t* SkipSpace(const wchar_t* text) {
  while (text && iswspace(*text)) ++text;
  return text;
}

bool IsTrueFlag(const wchar_t* field) {
  field = SkipSpace(field);
  return field && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, field, -1, L"TRUE", -1) == CSTR_EQUAL;
}

// The certificate stores of one run.
struct RunCertificateStores : RunCache {
  kesi::CertificateStoreSet stores;
};

DomainCalls DefaultDomainCalls() { return DomainCalls{&GetComputerNameExW, &LookupAccountSidW}; }

DomainCalls g_domainCalls = DefaultDomainCalls();

// The domain of the account the thread runs as (the process's when the thread has no token of its own).
DWORD ReadAccountDomain(RQString* domain) {
  kesi::UniqueHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return LastErrorOr(ERROR_ACCESS_DENIED);

  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (!size) return LastErrorOr(ERROR_INVALID_DATA);
  std::unique_ptr<BYTE[]> user(new (std::nothrow) BYTE[size]);
  if (!user) return ERROR_OUTOFMEMORY;
  if (!GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) return LastErrorOr(ERROR_INVALID_DATA);

  wchar_t name[kAccountNameChars] = {};
  wchar_t account[kAccountDomainChars] = {};
  DWORD nameSize = kAccountNameChars;
  DWORD accountSize = kAccountDomainChars;
  SID_NAME_USE use;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  if (!g_domainCalls.lookupAccountSid(nullptr, sid, name, &nameSize, account, &accountSize, &use))
    return LastErrorOr(ERROR_NONE_MAPPED);
  account[kAccountDomainChars - 1] = 0;
  if (!account[0]) return ERROR_NOT_FOUND;
  domain->Assign(account);
  return ERROR_SUCCESS;
}

}  // namespace

DomainCalls& DomainSystem() { return g_domainCalls; }
void ResetDomainCalls() { g_domainCalls = DefaultDomainCalls(); }

bool IsNative64BitSystem() { return ReadIs64Bit(); }

DWORD GetUserDomainName(RQString* domain) {
  if (!domain) return ERROR_INVALID_PARAMETER;
  domain->Assign(L"");
  wchar_t dns[kDnsDomainChars + 1] = {};
  DWORD size = kDnsDomainChars;
  if (!g_domainCalls.getComputerNameEx(ComputerNameDnsDomain, dns, &size)) return LastErrorOr(ERROR_INVALID_DATA);
  if (!dns[0]) return ERROR_SUCCESS;  // in no domain: nothing to compare
  return ReadAccountDomain(domain);
}

LONG EvaluateOSVersion(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;
  wchar_t* cursor = nullptr;
  const wchar_t* op = NextField(copy.get(), L",", &cursor);
  const wchar_t* version = NextField(nullptr, L",", &cursor);
  if (!version) {
    kesi::LogError(CheckLog(), L"EvaluateOSVersion: Failed to parse data");
    return kCheckUnprepared;
  }

  int major = -1, minor = -1, build = -1;
  swscanf(version, L"%d.%d.%d", &major, &minor, &build);
  if (major == -1 && minor == -1 && build == -1) {
    kesi::LogError(CheckLog(), L"EvaluateOSVersion: No test to perform");
    return kCheckUnprepared;
  }
  kesi::LogInfo(CheckLog(), L"EvaluateOSVersion: comparing [%d.%d.%d]", major, minor, build);

  op = SkipSpace(op);
  bool equalFlag = !op || wcschr(op, L'=');
  BYTE condition = VER_EQUAL;
  if (op && wcschr(op, L'<'))
    condition = equalFlag ? VER_LESS_EQUAL : VER_LESS;
  else if (op && wcschr(op, L'>'))
    condition = equalFlag ? VER_GREATER_EQUAL : VER_GREATER;

  OSVERSIONINFOEXW wanted = {};
  wanted.dwOSVersionInfoSize = sizeof(wanted);
  DWORDLONG mask = 0;
  DWORD types = 0;
  if (major != -1) {
    wanted.dwMajorVersion = static_cast<DWORD>(major);
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, condition);
    types |= VER_MAJORVERSION;
  }
  if (minor != -1) {
    wanted.dwMinorVersion = static_cast<DWORD>(minor);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, condition);
    types |= VER_MINORVERSION;
  }
  if (build != -1) {
    wanted.dwBuildNumber = static_cast<DWORD>(build);
    mask = VerSetConditionMask(mask, VER_BUILDNUMBER, condition);
    types |= VER_BUILDNUMBER;
  }
  LONG result = VerifyVersionInfoW(&wanted, types, mask) ? 1 : 0;
  if (condition == VER_EQUAL && op && wcschr(op, L'!')) result = !result;
  *verdict = result;
  return ERROR_SUCCESS;
}

LONG EvaluateDomain(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;

  RQString domain;
  DWORD status = GetUserDomainName(&domain);
  if (status != ERROR_SUCCESS) return static_cast<LONG>(status);
  if (domain.IsEmpty()) {
    *verdict = 0;
    return ERROR_SUCCESS;
  }
  wchar_t* cursor = nullptr;
  for (wchar_t* pattern = NextField(copy.get(), L";", &cursor); pattern; pattern = NextField(nullptr, L";", &cursor)) {
    if (iswspace(*pattern)) ++pattern;  // one blank after the separator
    if (WildcardMatch(pattern, domain, false)) {
      *verdict = 1;
      break;
    }
  }
  return ERROR_SUCCESS;
}

LONG EvaluateCertificate(const wchar_t* parameters, LONG* verdict, ItemQueue* items) {
  if (!verdict) return kCheckUnprepared;
  *verdict = 0;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;
  wchar_t* cursor = nullptr;
  const wchar_t* privateKeyField = NextField(copy.get(), L",", &cursor);
  const wchar_t* firstStoresField = NextField(nullptr, L",", &cursor);
  const wchar_t* issuer = SkipSpace(NextField(nullptr, L",", &cursor));
  const wchar_t* rejection = SkipSpace(NextField(nullptr, L",", &cursor));
  if (!issuer || !*issuer) return kCheckUnprepared;
  if (rejection && !*rejection) rejection = nullptr;

  try {
    std::vector<RQString> chain;
    BOOL found = FALSE;
    // Within a run every certificate literal walks the stores the first one opened.
    RunCertificateStores* run = EvaluationRun::Cache<RunCertificateStores>(EvaluationRun::kCertificateStores);
    DWORD status = kesi::FindClientCertificate(issuer, IsTrueFlag(firstStoresField), IsTrueFlag(privateKeyField),
                                               rejection, &found, &chain, run ? &run->stores : nullptr);
    if (found) *verdict = 1;
    if (items)
      for (const RQString& text : chain) items->PushBackText(text);
    return static_cast<LONG>(status);
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace kesi
