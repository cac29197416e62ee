#pragma once
// The client-certificate search: finds, in the Windows certificate stores, a usable client-authentication
// certificate issued under a given issuer (directly or through intermediate authorities) and returns the
// chain as Base64 texts. The "CERTIFICATE" interrogation check is built on it.
#include <windows.h>
#include <wincrypt.h>

#include <mutex>
#include <vector>

#include "RQString.h"

namespace kesi {

// Searches the local-machine stores and then, unless firstStoresOnly, the current-user stores for a
// certificate issued under the name whose DER encoding issuerBase64 holds in Base64.
//   requirePrivateKey: the certificate must have a private key (CryptFindCertificateKeyProvInfo).
//   rejectText: any non-null text makes every candidate fail.
//   *found: TRUE when a certificate was found.
//   chainTexts (may be null): receives, on success, the Base64 text of each certificate from the
//     end-entity certificate upwards, then that of the issuer's own certificate when a store holds it.
// Returns 0 when the search ran (found or not); 87 on a null issuer or found, 13 when the issuer is not
// Base64, 14 on memory.
DWORD FindClientCertificate(const wchar_t* issuerBase64, BOOL firstStoresOnly, BOOL requirePrivateKey,
                            const wchar_t* rejectText, BOOL* found, std::vector<RQString>* chainTexts);

// The state of one search, for callers that need more control than FindClientCertificate gives.
class ClientCertificateSearch {
 public:
  ClientCertificateSearch() noexcept;
  ClientCertificateSearch(const ClientCertificateSearch&) = delete;
  ClientCertificateSearch& operator=(const ClientCertificateSearch&) = delete;
  ~ClientCertificateSearch();

  // Which stores the next search walks: the current user's (true) or the local machine's (false).
  void SetUseUserStores(bool user);
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
  // Closes the stores and forgets what was found.
  void Reset();

 private:
  enum StoreIndex { kMy, kCa, kRoot, kStoreCount };

  HCERTSTORE Store(StoreIndex which);
  bool IsCandidate(PCCERT_CONTEXT cert) const;
  // One search for issuer; path holds the names being searched above this one (never searched again).
  bool SearchIssuer(const CERT_NAME_BLOB& issuer, std::vector<const CERT_NAME_BLOB*>& path);
  bool SearchThroughAuthorities(StoreIndex which, const CERT_NAME_BLOB& issuer,
                                std::vector<const CERT_NAME_BLOB*>& path);
  void AddToChain(PCCERT_CONTEXT cert);
  void ClearChain();

  HCERTSTORE stores_[kStoreCount] = {};
  bool opened_[kStoreCount] = {};
  bool useUserStores_ = false;
  bool requirePrivateKey_ = false;
  bool requireDigitalSignatureUsage_ = false;
  DWORD rejection1_ = 0;
  DWORD rejection2_ = 0;
  bool found_ = false;
  bool outOfMemory_ = false;
  std::mutex chainLock_;
  std::vector<PCCERT_CONTEXT> chain_;
};

}  // namespace kesi
