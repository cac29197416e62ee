#pragma once
// RQCertificateInfo: a value copy of the facts about a server certificate (dates, names, algorithms, key
// size) with a fingerprint by which two certificates are compared; the transport captures the
// appliance's certificate into one and compares it with a trusted one.
// RQCertificate: an owned reference to a certificate context with readers for its names, dates and hash.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <memory>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

class RQCertificate;

// Formats a date as "MMMM d, yyyy" in the user's default locale (at most 126 characters), for example
// "February 1, 2010". The FILETIME is taken as is (UTC), without conversion to local time.
DWORD FormatCertificateDate(const FILETIME& time, RQString& text);

class RQCertificateInfo {
 public:
  // An empty object: zero dates, empty texts, no fingerprint.
  RQCertificateInfo() noexcept;
  RQCertificateInfo(const RQCertificateInfo&) = delete;
  RQCertificateInfo& operator=(const RQCertificateInfo&) = delete;

  // The virtual operations below are declared in the class's fixed slot order. Results are Windows
  // error codes (0 success) unless said otherwise.

  virtual ~RQCertificateInfo();
  virtual FILETIME GetStart() const;
  virtual FILETIME GetExpiry() const;
  virtual const RQString& GetIssuer() const;
  virtual const RQString& GetSubject() const;
  virtual const RQString& GetProtocol() const;
  virtual const RQString& GetSignatureAlgorithm() const;
  virtual const RQString& GetEncryptionAlgorithm() const;
  virtual DWORD GetKeySize() const;
  // 40 upper-case hexadecimal digits; empty when the object is empty.
  virtual const RQString& GetFingerprint() const;
  // True when there is no fingerprint.
  virtual bool IsEmpty() const;
  // Empties dates, key size and every text.
  virtual void Clear();
  // 1 when other exists and both fingerprints are present and equal (ignoring case), else 0. Two empty
  // objects do not match: an object whose fingerprint could not be made identifies no certificate.
  virtual int Matches(const RQCertificateInfo* other) const;
  // Matches against the certificate that holder holds (0 when there is none).
  virtual int MatchesContext(const RQCertificate* holder) const;
  // The expiry date as FormatCertificateDate writes it.
  virtual DWORD GetExpiryText(RQString& text) const;
  // Stores a fingerprint text as given. 87 when it is empty.
  virtual DWORD SetFingerprint(const wchar_t* text);
  // Stores bytes as upper-case hexadecimal, two digits per byte. 87 when there are none.
  virtual DWORD SetFingerprintBytes(const BYTE* bytes, DWORD length);
  // Fills the object from a certificate context: dates, subject and issuer names (in the form WinINet
  // reports them: simple names, one per line), then the fingerprint. 87 on null.
  virtual DWORD LoadFromContext(PCCERT_CONTEXT context);
  // Fills the object from the structure that INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT returns. WinINet
  // fills its texts with 8-bit strings whatever the header's character type says; they are read as
  // UTF-8, and a missing text stays empty. The caller still owns and frees the texts. 87 on null.
  virtual DWORD LoadFromInternetInfo(const INTERNET_CERTIFICATE_INFO* info);
  // SHA-1 (CryptoAPI) over expiry, start, and the UTF-16 bytes of subject and issuer.
  virtual DWORD ComputeFingerprint();

  // Empties the object and copies every field of other.
  DWORD CopyFrom(const RQCertificateInfo& other);

 private:
  FILETIME expiry_{};
  FILETIME start_{};
  RQString subject_;
  RQString issuer_;
  RQString protocol_;
  RQString signatureAlgorithm_;
  RQString encryptionAlgorithm_;
  DWORD keySize_ = 0;
  RQString fingerprint_;
};

class RQCertificate {
 public:
  // Holds a duplicate of context (none when null).
  explicit RQCertificate(PCCERT_CONTEXT context = nullptr) noexcept;
  RQCertificate(const RQCertificate&) = delete;
  RQCertificate& operator=(const RQCertificate&) = delete;

  // The virtual operations below are declared in the class's fixed slot order. Every operation that
  // needs a certificate answers 10 when none is held, 87 on a null output and 0x80090327 when the
  // certificate has no information block.

  virtual ~RQCertificate();
  // NotAfter as FormatCertificateDate writes it.
  virtual DWORD GetExpiryText(RQString& text);
  // The friendly-name property (at most 512 bytes); 0x80092004 when the certificate has none.
  virtual DWORD GetFriendlyName(RQString& text);
  // The SHA-1 hash as upper-case hexadecimal (40 digits).
  virtual DWORD GetHashText(RQString& text);
  // The SHA-1 hash property into buffer (zeroed first); *size holds the room and receives the length.
  // 1359 when the property is empty.
  virtual DWORD GetHash(BYTE* buffer, DWORD* size);
  // CertGetNameStringW of the issuer for a CERT_NAME_*_TYPE.
  virtual DWORD GetIssuerNameString(DWORD type, RQString& text);
  // CertNameToStrW of the issuer for a CERT_*_NAME_STR format.
  virtual DWORD GetIssuerName(DWORD format, RQString& text);
  // CertGetNameStringW of the subject for a CERT_NAME_*_TYPE.
  virtual DWORD GetSubjectNameString(DWORD type, RQString& text);
  // CertNameToStrW of the subject for a CERT_*_NAME_STR format.
  virtual DWORD GetSubjectName(DWORD format, RQString& text);
  virtual DWORD GetNotBefore(FILETIME* time);
  virtual DWORD GetNotAfter(FILETIME* time);
  // Replaces the held certificate by one decoded from bytes; errors of CertCreateCertificateContext.
  virtual DWORD CreateFromEncoded(const BYTE* bytes, DWORD length, DWORD encodingType);
  // Replaces the held certificate by a duplicate of context (null: none). 31 when duplicating fails.
  virtual DWORD SetContext(PCCERT_CONTEXT context);
  // 1 when GetHashText equals text, else 0 (also when no certificate is held).
  virtual int MatchesHashText(const wchar_t* text);
  // Releases the held certificate.
  virtual void Free();

  // The held context (owned by this object), or null.
  PCCERT_CONTEXT GetContext() const { return context_.get(); }

 private:
  DWORD Check(const void* output) const;
  DWORD NameString(DWORD type, DWORD flags, RQString& text);
  DWORD NameToStr(const CERT_NAME_BLOB& name, DWORD format, RQString& text);

  UniqueCertContext context_;
  std::unique_ptr<wchar_t[]> friendlyName_;  // 512 bytes, made on first use
};

}  // namespace kesi
