#include "ClientCertificate.h"

#include <cstring>
#include <memory>
#include <new>

#include "Base64.h"

namespace kesi {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kClientAuthentication[] = "1.3.6.1.5.5.7.3.2";
constexpr BYTE kDigitalSignatureUsage = 0x80;
const wchar_t* const kStoreNames[] = {L"MY", L"CA", L"ROOT"};

bool SameName(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  return CertCompareCertificateName(kEncoding, const_cast<CERT_NAME_BLOB*>(&a),
                                    const_cast<CERT_NAME_BLOB*>(&b)) != FALSE;
}

bool WithinValidity(const CERT_INFO& info) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return CompareFileTime(&info.NotBefore, &now) <= 0 && CompareFileTime(&now, &info.NotAfter) <= 0;
}

// Client authentication is listed, or the certificate restricts its use in no way at all.
bool AllowsClientAuthentication(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  SetLastError(0);
  if (!CertGetEnhancedKeyUsage(cert, 0, nullptr, &size)) return GetLastError() == DWORD(CRYPT_E_NOT_FOUND);
  if (size < sizeof(CERT_ENHKEY_USAGE)) return false;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer) return false;
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.get());
  bool allowed = false;
  SetLastError(0);
  if (!CertGetEnhancedKeyUsage(cert, 0, usage, &size)) {
    allowed = GetLastError() == DWORD(CRYPT_E_NOT_FOUND);
  } else if (usage->cUsageIdentifier == 0) {
    // No identifiers: good for every use when the certificate names none (CRYPT_E_NOT_FOUND), good
    // for none when its extensions or properties rule every use out.
    allowed = GetLastError() == DWORD(CRYPT_E_NOT_FOUND);
  } else {
    for (DWORD i = 0; i < usage->cUsageIdentifier && !allowed; ++i) {
      const char* oid = usage->rgpszUsageIdentifier[i];
      allowed = oid && strcmp(oid, kClientAuthentication) == 0;
    }
  }
  return allowed;
}

// Steps cert to the next certificate of store (the enumeration releases the current one); false at the end.
bool NextCertificate(HCERTSTORE store, UniqueCertContext& cert) {
  cert.reset(CertEnumCertificatesInStore(store, cert.release()));
  return static_cast<bool>(cert);
}

}  // namespace

HCERTSTORE CertificateStoreSet::Get(bool user, StoreIndex which) {
  const int location = user ? 1 : 0;
  if (!opened_[location][which]) {
    opened_[location][which] = true;
    const DWORD flags = user ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE;
    stores_[location][which].reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                                 flags | CERT_STORE_OPEN_EXISTING_FLAG, kStoreNames[which]));
  }
  return stores_[location][which].get();
}

void CertificateStoreSet::Close() {
  for (int location = 0; location < 2; ++location) {
    for (int i = 0; i < kStoreCount; ++i) {
      stores_[location][i].reset();
      opened_[location][i] = false;
    }
  }
}

ClientCertificateSearch::ClientCertificateSearch() noexcept = default;

ClientCertificateSearch::~ClientCertificateSearch() { Reset(); }

void ClientCertificateSearch::SetUseUserStores(bool user) {
  if (user != useUserStores_) Reset();
  useUserStores_ = user;
}

void ClientCertificateSearch::Reset() {
  own_.Close();
  ClearChain();
  found_ = false;
  outOfMemory_ = false;
}

HCERTSTORE ClientCertificateSearch::Store(StoreIndex which) {
  return (shared_ ? shared_ : &own_)->Get(useUserStores_, which);
}

bool ClientCertificateSearch::IsCandidate(PCCERT_CONTEXT cert) const {
  if (rejection1_ || rejection2_) return false;
  if (!cert->pCertInfo || !WithinValidity(*cert->pCertInfo)) return false;
  if (!AllowsClientAuthentication(cert)) return false;
  if (requirePrivateKey_ && !CryptFindCertificateKeyProvInfo(cert, 0, nullptr)) return false;
  if (requireDigitalSignatureUsage_) {
    BYTE usage = 0;
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert->pCertInfo, &usage, 1) ||
        !(usage & kDigitalSignatureUsage)) {
      return false;
    }
  }
  return true;
}

DWORD ClientCertificateSearch::Search(const CERT_NAME_BLOB& issuer) {
  std::vector<const CERT_NAME_BLOB*> path;
  try {
    path.reserve(8);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  found_ = SearchIssuer(issuer, path);
  if (outOfMemory_) {
    found_ = false;
    ClearChain();
    return ERROR_OUTOFMEMORY;
  }
  return 0;
}

// The issuer is compared here rather than with CERT_FIND_ISSUER_NAME: some crypt32 builds match that
// find type against the subject, which would turn the search upside down.
bool ClientCertificateSearch::SearchIssuer(const CERT_NAME_BLOB& issuer,
                                           std::vector<const CERT_NAME_BLOB*>& path) {
  if (HCERTSTORE my = Store(kMy)) {
    UniqueCertContext cert;
    while (NextCertificate(my, cert)) {
      if (cert.get()->pCertInfo && SameName(cert.get()->pCertInfo->Issuer, issuer) && IsCandidate(cert.get())) {
        AddToChain(cert.get());
        return true;
      }
    }
  }
  return SearchThroughAuthorities(kCa, issuer, path) || SearchThroughAuthorities(kRoot, issuer, path) ||
         SearchThroughAuthorities(kMy, issuer, path);
}

// Walks the certificates that issuer issued to another authority and searches under each of those.
bool ClientCertificateSearch::SearchThroughAuthorities(StoreIndex which, const CERT_NAME_BLOB& issuer,
                                                       std::vector<const CERT_NAME_BLOB*>& path) {
  HCERTSTORE store = Store(which);
  if (!store || outOfMemory_) return false;
  try {
    path.push_back(&issuer);
  } catch (const std::bad_alloc&) {
    outOfMemory_ = true;
    return false;
  }
  bool success = false;
  UniqueCertContext cert;
  while (!success && !outOfMemory_ && NextCertificate(store, cert)) {
    const CERT_INFO* info = cert.get()->pCertInfo;
    if (!info || !SameName(info->Issuer, issuer) || SameName(info->Subject, issuer)) continue;
    // Authorities that certify each other would otherwise send the search round in a circle for ever.
    bool onPath = false;
    for (const CERT_NAME_BLOB* name : path) onPath = onPath || SameName(info->Subject, *name);
    if (onPath) continue;
    if (SearchIssuer(info->Subject, path)) {
      AddToChain(cert.get());
      success = true;
    }
  }
  path.pop_back();
  return success;
}

void ClientCertificateSearch::AddToChain(PCCERT_CONTEXT cert) {
  CriticalSectionLock hold(chainLock_);
  UniqueCertContext copy(CertDuplicateCertificateContext(cert));
  try {
    chain_.push_back(std::move(copy));
  } catch (const std::bad_alloc&) {
    outOfMemory_ = true;
  }
}

void ClientCertificateSearch::ClearChain() {
  CriticalSectionLock hold(chainLock_);
  chain_.clear();
}

namespace {

DWORD AppendBase64(PCCERT_CONTEXT cert, std::vector<RQString>& texts) {
  const size_t room = ((size_t(cert->cbCertEncoded) + 2) / 3) * 4 + 1;
  std::unique_ptr<char[]> text(new (std::nothrow) char[room]);
  if (!text) return ERROR_OUTOFMEMORY;
  const int n = Base64Encode(cert->pbCertEncoded, cert->cbCertEncoded, text.get(), room);
  try {
    texts.emplace_back();
    if (n > 0) texts.back().AssignAnsi(text.get(), static_cast<unsigned>(n));
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return 0;
}

}  // namespace

DWORD ClientCertificateSearch::TakeChain(const CERT_NAME_BLOB& issuer, std::vector<RQString>& texts) {
  DWORD e = 0;
  {
    CriticalSectionLock hold(chainLock_);
    for (const UniqueCertContext& cert : chain_) {
      if (!e) e = AppendBase64(cert.get(), texts);
    }
    chain_.clear();
  }
  if (e) return e;
  const StoreIndex order[] = {kRoot, kCa, kMy};
  for (StoreIndex which : order) {
    HCERTSTORE store = Store(which);
    if (!store) continue;
    UniqueCertContext top(CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_NAME, &issuer, nullptr));
    if (top) {
      e = AppendBase64(top.get(), texts);
      break;
    }
  }
  return e;
}

DWORD FindClientCertificate(const wchar_t* issuerBase64, BOOL firstStoresOnly, BOOL requirePrivateKey,
                            const wchar_t* rejectText, BOOL* found, std::vector<RQString>* chainTexts,
                            CertificateStoreSet* stores) {
  if (!found || !issuerBase64) return ERROR_INVALID_PARAMETER;
  *found = FALSE;

  // The issuer name arrives as Base64 text of its DER encoding.
  RQString text(issuerBase64);
  const char* ansi = text.GetAnsi();
  size_t size = (strlen(ansi) / 4) * 3 + 3;
  std::unique_ptr<BYTE[]> name(new (std::nothrow) BYTE[size]);
  if (!name) return ERROR_OUTOFMEMORY;
  if (Base64Decode(ansi, name.get(), &size) != 0 || size == 0) return ERROR_INVALID_DATA;
  CERT_NAME_BLOB issuer{static_cast<DWORD>(size), name.get()};

  ClientCertificateSearch search;
  search.ShareStores(stores);
  search.SetRequirePrivateKey(requirePrivateKey != FALSE);
  // The rejection settings come from the caller's rejection text and from nothing else.
  search.SetRejection(rejectText ? 1 : 0, 0);
  DWORD e = search.Search(issuer);
  if (!e && !search.Found() && !firstStoresOnly) {
    search.Reset();
    search.SetUseUserStores(true);
    e = search.Search(issuer);
  }
  if (!e && search.Found()) {
    *found = TRUE;
    if (chainTexts) e = search.TakeChain(issuer, *chainTexts);
  }
  return e;
}

}  // namespace kesi
