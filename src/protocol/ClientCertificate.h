#pragma once
// The client-certificate search: finds, in the Windows certificate stores, a usable client-authentication
// certificate issued under a given issuer (directly or through intermediate authorities) and returns the
// chain as Base64 texts. The "CERTIFICATE" interrogation check is built on it.
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

// The system stores a search walks ("MY", "CA" and "ROOT" of the local machine and of the current user),
// each opened on first use and kept open, with what it held then, until the set is destroyed. Several
// searches can share one set: opening a root store costs tens of milliseconds on some systems, walking
// it a small fraction of one. A store that does not exist stays closed and holds nothing.
class CertificateStoreSet {
 public:
  enum StoreIndex { kMy, kCa, kRoot, kStoreCount };

  CertificateStoreSet() noexcept = default;
  CertificateStoreSet(const CertificateStoreSet&) = delete;
  CertificateStoreSet& operator=(const CertificateStoreSet&) = delete;
  ~CertificateStoreSet() { Close(); }

  // The store of the current user's (user) or the local machine's location; null when it does not exist.
  HCERTSTORE Get(bool user, StoreIndex which);
  // Closes every store; the next Get opens it again.
  void Close();

 private:
  UniqueCertStore stores_[2][kStoreCount];
  bool opened_[2][kStoreCount] = {};
};

// Searches the local-machine stores and then, unless firstStoresOnly, the current-user stores for a
// certificate issued under the name whose DER encoding issuerBase64 holds in Base64. The stores come from
// stores when it is given (and stay open there), else they are opened for this search alone.
//   requirePrivateKey: the certificate must have a private key (CryptFindCertificateKeyProvInfo).
//   rejectText: any non-null text makes every candidate fail.
//   *found: TRUE when a certificate was found.
//   chainTexts (may be null): receives, on success, the Base64 text of each certificate from the
//     end-entity certificate upwards, then that of the issuer's own certificate when a store holds it.
// Returns 0 when the search ran (found or not); 87 on a null issuer or found, 13 when the issuer is not
// Base64, 14 on memory.
DWORD FindClientCertificate(const wchar_t* issuerBase64, BOOL firstStoresOnly, BOOL requirePrivateKey,
                            const wchar_t* rejectText, BOOL* found, std::vector<RQString>* chainTexts,
                            CertificateStoreSet* stores = nullptr);

// The state of one search, for callers that need more control than FindClientCertificate gives.
class ClientCertificateSearch {
 public:
  ClientCertificateSearch() noexcept;
  ClientCertificateSearch(const ClientCertificateSearch&) = delete;
  ClientCertificateSearch& operator=(const ClientCertificateSearch&) = delete;
  ~ClientCertificateSearch();

  // Which stores the next search walks: the current user's (true) or the local machine's (false).
  void SetUseUserStores(bool user);
  // Takes the stores from shared (not owned, may be null for the search's own) from now on.
  void ShareStores(CertificateStoreSet* shared) { shared_ = shared; }
  void SetRequirePrivateKey(bool require) { requirePrivateKey_ = require; }
  // The certificate's key usage must include digital signature (0x80).
  void SetRequireDigitalSignatureUsage(bool require) { requireDigitalSignatureUsage_ = require; }
  // Any non-zero value makes every candidate fail.
  void SetRejection(DWORD first, DWORD second) {
    rejection1_ = first;
    rejection2_ = second;
  }

  // One search for certificates issued under issuer in the selected stores. Returns 0 or 14 (memory).
  DWORD Search(const CERT_NAME_BLOB& issuer);
  bool Found() const { return found_; }
  // Appends the Base64 texts of the chain (end entity first) and of issuer's own certificate.
  DWORD TakeChain(const CERT_NAME_BLOB& issuer, std::vector<RQString>& texts);
  // Closes the search's own stores (not shared ones) and forgets what was found.
  void Reset();

 private:
  using StoreIndex = CertificateStoreSet::StoreIndex;
  static constexpr StoreIndex kMy = CertificateStoreSet::kMy;
  static constexpr StoreIndex kCa = CertificateStoreSet::kCa;
  static constexpr StoreIndex kRoot = CertificateStoreSet::kRoot;

  HCERTSTORE Store(StoreIndex which);
  bool IsCandidate(PCCERT_CONTEXT cert) const;
  // One search for issuer; path holds the names being searched above this one (never searched again).
  bool SearchIssuer(const CERT_NAME_BLOB& issuer, std::vector<const CERT_NAME_BLOB*>& path);
  bool SearchThroughAuthorities(StoreIndex which, const CERT_NAME_BLOB& issuer,
                                std::vector<const CERT_NAME_BLOB*>& path);
  void AddToChain(PCCERT_CONTEXT cert);
  void ClearChain();

  CertificateStoreSet own_;
  CertificateStoreSet* shared_ = nullptr;
  bool useUserStores_ = false;
  bool requirePrivateKey_ = false;
  bool requireDigitalSignatureUsage_ = false;
  DWORD rejection1_ = 0;
  DWORD rejection2_ = 0;
  bool found_ = false;
  bool outOfMemory_ = false;
  CriticalSection chainLock_;
  std::vector<UniqueCertContext> chain_;
};

}  // namespace kesi
