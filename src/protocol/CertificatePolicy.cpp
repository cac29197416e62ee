#include "CertificatePolicy.h"

#include <wincrypt.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "Handles.h"

namespace kesi {
namespace {

std::atomic<HKEY> g_policyRoot{HKEY_LOCAL_MACHINE};
std::atomic<const wchar_t*> g_policySubKey{kCertificatePolicyKey};
std::atomic<CertificateTraceFn> g_trace{&OutputDebugStringW};

// Policy: refuse every server (the value is there but gives no usable entry).
CertificatePolicy RefuseAll() {
  CertificatePolicy policy;
  policy.enforced = true;
  return policy;
}

DWORD Sha256(const BYTE* bytes, DWORD length, CertificateHash& hash) {
  UniqueCryptProvider provider;
  if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return GetLastError() ? GetLastError() : ERROR_INTERNAL_ERROR;
  UniqueCryptHash digest;
  DWORD size = static_cast<DWORD>(hash.size());
  if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, digest.put()) ||
      !CryptHashData(digest.get(), bytes, length, 0) ||
      !CryptGetHashParam(digest.get(), HP_HASHVAL, hash.data(), &size, 0) || size != hash.size())
    return GetLastError() ? GetLastError() : ERROR_INTERNAL_ERROR;
  return 0;
}

// Certificates whose DER hash was read from the connection's own chain, by their names-and-dates
// fingerprint. WinINet drops its chain of a server on a failed handshake and takes up the next one only
// on a handshake of its own: a request that goes out on a kept-alive connection just then has no chain
// to read, and is judged by the hash its certificate had when it was read.
struct VerifiedCertificate {
  std::wstring fingerprint;
  CertificateHash hash;
};
constexpr size_t kMaxVerified = 16;
std::mutex g_verifiedLock;
std::vector<VerifiedCertificate> g_verified;

void RememberVerified(const wchar_t* fingerprint, const CertificateHash& hash) {
  if (!fingerprint || !*fingerprint) return;
  try {
    std::lock_guard<std::mutex> lock(g_verifiedLock);
    for (const VerifiedCertificate& known : g_verified) {
      if (known.fingerprint == fingerprint && known.hash == hash) return;
    }
    if (g_verified.size() == kMaxVerified) g_verified.erase(g_verified.begin());
    g_verified.push_back({fingerprint, hash});
  } catch (...) {
    // Without memory (or a lock) the certificate is simply not remembered.
  }
}

// The hash remembered for a fingerprint; false when none is, or when two certificates with that
// fingerprint were seen (their names and dates do not tell them apart).
bool RecallVerified(const wchar_t* fingerprint, CertificateHash& hash) {
  if (!fingerprint || !*fingerprint) return false;
  try {
    std::lock_guard<std::mutex> lock(g_verifiedLock);
    int found = 0;
    for (const VerifiedCertificate& known : g_verified) {
      if (known.fingerprint == fingerprint) {
        hash = known.hash;
        ++found;
      }
    }
    return found == 1;
  } catch (...) {
    return false;
  }
}

}  // namespace

CertificatePolicyLocation DefaultCertificatePolicyLocation() {
  return CertificatePolicyLocation{HKEY_LOCAL_MACHINE, kCertificatePolicyKey};
}

CertificatePolicyLocation SetCertificatePolicyLocation(CertificatePolicyLocation location) {
  CertificatePolicyLocation previous{g_policyRoot.load(), g_policySubKey.load()};
  if (!location.root || !location.subKey) location = DefaultCertificatePolicyLocation();
  g_policyRoot = location.root;
  g_policySubKey = location.subKey;
  return previous;
}

CertificatePolicy ReadCertificatePolicy() {
  UniqueKey key;
  LSTATUS status = RegOpenKeyExW(g_policyRoot.load(), g_policySubKey.load(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                 key.put());
  if (status == ERROR_FILE_NOT_FOUND) return CertificatePolicy();
  if (status != ERROR_SUCCESS) return RefuseAll();
  DWORD type = 0;
  DWORD bytes = 0;
  status = RegQueryValueExW(key.get(), kCertificatePolicyValue, nullptr, &type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return CertificatePolicy();
  if (status != ERROR_SUCCESS || bytes > kMaxCertificatePolicyBytes ||
      (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
    return RefuseAll();
  try {
    // Room for a terminator the value may lack.
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = bytes;
    if (RegQueryValueExW(key.get(), kCertificatePolicyValue, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]),
                         &got) != ERROR_SUCCESS ||
        got > bytes)
      return RefuseAll();
    text.resize(got / sizeof(wchar_t));
    CertificatePolicy policy;
    policy.enforced = true;
    policy.hashes = ParsePinList(text);
    return policy;
  } catch (const std::bad_alloc&) {
    return RefuseAll();
  }
}

DWORD QueryServerCertificate(HINTERNET request, ServerCertificateIdentity& identity) {
  identity.info.Clear();
  identity.hasInfo = identity.hasHash = identity.sameAsInfo = false;
  identity.sha256 = CertificateHash{};

  // A proxy that refused the tunnel (407) leaves no secure connection; Wine's WinINet faults when it is
  // asked for a certificate then.
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) &&
      status == HTTP_STATUS_PROXY_AUTH_REQ)
    return 0;

  INTERNET_CERTIFICATE_INFO info{};
  size = sizeof(info);
  if (InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size)) {
    DWORD error = identity.info.LoadFromInternetInfo(&info);
    for (void* text : {static_cast<void*>(info.lpszSubjectInfo), static_cast<void*>(info.lpszIssuerInfo),
                       static_cast<void*>(info.lpszProtocolName), static_cast<void*>(info.lpszSignatureAlgName),
                       static_cast<void*>(info.lpszEncryptionAlgName)}) {
      if (text) LocalFree(text);
    }
    if (error == ERROR_OUTOFMEMORY) return error;
    identity.hasInfo = error == 0;
  }

  PCCERT_CHAIN_CONTEXT chain = nullptr;
  size = sizeof(chain);
  if (!InternetQueryOptionW(request, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) || !chain) return 0;
  UniqueCertChain owner(chain);
  if (!chain->cChain || !chain->rgpChain[0]->cElement) return 0;
  PCCERT_CONTEXT leaf = chain->rgpChain[0]->rgpElement[0]->pCertContext;
  if (!leaf || Sha256(leaf->pbCertEncoded, leaf->cbCertEncoded, identity.sha256) != 0) return 0;
  identity.hasHash = true;
  RQCertificateInfo fromChain;
  if (identity.hasInfo && fromChain.LoadFromContext(leaf) == 0)
    identity.sameAsInfo = identity.info.Matches(&fromChain) != 0;
  return 0;
}

bool PolicyAccepts(const CertificatePolicy& policy, const ServerCertificateIdentity& identity) {
  if (!policy.enforced) return true;
  const bool hashKnown = identity.hasHash && identity.sameAsInfo;
  CertificateHash hash = identity.sha256;
  if (!hashKnown && !(identity.hasInfo && RecallVerified(identity.info.GetFingerprint(), hash))) return false;
  for (const CertificateHash& listed : policy.hashes) {
    if (listed == hash) {
      if (hashKnown) RememberVerified(identity.info.GetFingerprint(), hash);
      return true;
    }
  }
  return false;
}

bool SameCertificate(const ServerCertificateIdentity& a, const ServerCertificateIdentity& b) {
  if (!a.hasInfo || !b.hasInfo || !a.info.Matches(&b.info)) return false;
  const bool aHash = a.hasHash && a.sameAsInfo;
  const bool bHash = b.hasHash && b.sameAsInfo;
  return !(aHash && bHash) || a.sha256 == b.sha256;
}

DWORD CopyIdentity(ServerCertificateIdentity& identity, const ServerCertificateIdentity& other) {
  if (&identity == &other) return 0;
  if (DWORD error = identity.info.CopyFrom(other.info)) return error;
  identity.hasInfo = other.hasInfo;
  identity.sha256 = other.sha256;
  identity.hasHash = other.hasHash;
  identity.sameAsInfo = other.sameAsInfo;
  return 0;
}

void TraceRefusedCertificate(const wchar_t* reason, const ServerCertificateIdentity& identity) {
  try {
    std::wstring line = L"KESI: server certificate refused (";
    line += reason ? reason : L"";
    line += L"): sha256=";
    line += identity.hasHash && identity.sameAsInfo ? HashToHex(identity.sha256) : std::wstring(L"unknown");
    line += L" fingerprint=";
    line += static_cast<const wchar_t*>(identity.info.GetFingerprint());
    line += L" subject=";
    for (const wchar_t* c = identity.info.GetSubject(); c && *c >= L' '; ++c) line += *c;
    line += L"\n";
    g_trace.load()(line.c_str());
  } catch (const std::bad_alloc&) {
    // Without memory there is no trace; the refusal stands.
  }
}

CertificateTraceFn SetCertificateTrace(CertificateTraceFn trace) {
  return g_trace.exchange(trace ? trace : &OutputDebugStringW);
}

}  // namespace kesi
