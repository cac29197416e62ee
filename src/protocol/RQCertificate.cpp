#include "RQCertificate.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "HexText.h"
#include "LastError.h"
#include "SecureWipe.h"

namespace kesi {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNoContext = ERROR_BAD_ENVIRONMENT;              // 10
constexpr DWORD kNoInfoBlock = 0x80090327;                       // SEC_E_CERT_UNKNOWN
constexpr DWORD kNoProperty = 0x80092004;                        // CRYPT_E_NOT_FOUND
constexpr DWORD kFriendlyNameBytes = 512;
// Names in the form WinINet gives them in INTERNET_CERTIFICATE_INFO, so that a certificate loaded from a
// context and the same certificate captured from a connection fingerprint alike.
constexpr DWORD kNameForm = CERT_SIMPLE_NAME_STR | CERT_NAME_STR_CRLF_FLAG;


DWORD AssignHex(const BYTE* bytes, DWORD length, RQString& text) {
  if (text.Allocate(2 * length, 0) < 2 * length + 1 || !text.GetBuffer()) return ERROR_OUTOFMEMORY;
  size_t written = 2 * static_cast<size_t>(length) + 1;
  if (!BytesToHex(bytes, length, text.GetBuffer(), &written)) return ERROR_INVALID_PARAMETER;
  text.FreeConversions();
  return 0;
}

class HashProvider {
 public:
  ~HashProvider() {
    if (hash_) CryptDestroyHash(hash_);
    if (prov_) CryptReleaseContext(prov_, 0);
  }
  DWORD Begin() {
    if (!CryptAcquireContextW(&prov_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptCreateHash(prov_, CALG_SHA1, 0, 0, &hash_)) {
      return LastErrorOr(ERROR_INTERNAL_ERROR);
    }
    return 0;
  }
  DWORD Add(const void* data, size_t length) {
    if (length == 0) return 0;
    if (!CryptHashData(hash_, static_cast<const BYTE*>(data), static_cast<DWORD>(length), 0)) {
      return LastErrorOr(ERROR_INTERNAL_ERROR);
    }
    return 0;
  }
  DWORD Finish(BYTE (&digest)[20]) {
    DWORD size = sizeof digest;
    if (!CryptGetHashParam(hash_, HP_HASHVAL, digest, &size, 0) || size != sizeof digest) {
      return LastErrorOr(ERROR_INTERNAL_ERROR);
    }
    return 0;
  }

 private:
  HCRYPTPROV prov_ = 0;
  HCRYPTHASH hash_ = 0;
};

}  // namespace

DWORD FormatCertificateDate(const FILETIME& time, RQString& text) {
  text.Clear(false);
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&time, &st)) return LastErrorOr(ERROR_INVALID_PARAMETER);
  wchar_t buffer[127];
  if (!GetDateFormatW(LOCALE_USER_DEFAULT, 0, &st, L"MMMM d, yyyy", buffer, 127)) {
    return LastErrorOr(ERROR_INTERNAL_ERROR);
  }
  text.Assign(buffer);
  return 0;
}

// ---------------------------------------------------------------------------------------------------
// RQCertificateInfo

RQCertificateInfo::RQCertificateInfo() noexcept = default;

RQCertificateInfo::~RQCertificateInfo() = default;

FILETIME RQCertificateInfo::GetStart() const { return start_; }
FILETIME RQCertificateInfo::GetExpiry() const { return expiry_; }
const RQString& RQCertificateInfo::GetIssuer() const { return issuer_; }
const RQString& RQCertificateInfo::GetSubject() const { return subject_; }
const RQString& RQCertificateInfo::GetProtocol() const { return protocol_; }
const RQString& RQCertificateInfo::GetSignatureAlgorithm() const { return signatureAlgorithm_; }
const RQString& RQCertificateInfo::GetEncryptionAlgorithm() const { return encryptionAlgorithm_; }
DWORD RQCertificateInfo::GetKeySize() const { return keySize_; }
const RQString& RQCertificateInfo::GetFingerprint() const { return fingerprint_; }
bool RQCertificateInfo::IsEmpty() const { return fingerprint_.IsEmpty(); }

void RQCertificateInfo::Clear() {
  expiry_ = FILETIME{};
  start_ = FILETIME{};
  keySize_ = 0;
  subject_.Clear(false);
  issuer_.Clear(false);
  protocol_.Clear(false);
  signatureAlgorithm_.Clear(false);
  encryptionAlgorithm_.Clear(false);
  fingerprint_.Clear(false);
}

int RQCertificateInfo::Matches(const RQCertificateInfo* other) const {
  if (!other || IsEmpty() || other->IsEmpty()) return 0;
  return fingerprint_.Compare(other->fingerprint_, true, true) == 0 ? 1 : 0;
}

int RQCertificateInfo::MatchesContext(const RQCertificate* holder) const {
  if (!holder || !holder->GetContext()) return 0;
  RQCertificateInfo temporary;
  if (temporary.LoadFromContext(holder->GetContext()) != 0) return 0;
  return Matches(&temporary);
}

DWORD RQCertificateInfo::GetExpiryText(RQString& text) const { return FormatCertificateDate(expiry_, text); }

DWORD RQCertificateInfo::SetFingerprint(const wchar_t* text) {
  if (!text || !*text) return ERROR_INVALID_PARAMETER;
  fingerprint_.Assign(text, static_cast<unsigned>(wcslen(text)));
  return 0;
}

DWORD RQCertificateInfo::SetFingerprintBytes(const BYTE* bytes, DWORD length) {
  if (!bytes || length == 0 || length > 0x7FFFFFFE / 2) return ERROR_INVALID_PARAMETER;
  return AssignHex(bytes, length, fingerprint_);
}

DWORD RQCertificateInfo::LoadFromContext(PCCERT_CONTEXT context) {
  Clear();
  if (!context) return ERROR_INVALID_PARAMETER;
  if (!context->pCertInfo) return kNoInfoBlock;
  expiry_ = context->pCertInfo->NotAfter;
  start_ = context->pCertInfo->NotBefore;
  RQString* const targets[2] = {&subject_, &issuer_};
  CERT_NAME_BLOB* const names[2] = {&context->pCertInfo->Subject, &context->pCertInfo->Issuer};
  for (int i = 0; i < 2; ++i) {
    const DWORD n = CertNameToStrW(context->dwCertEncodingType, names[i], kNameForm, nullptr, 0);
    if (n <= 1) continue;
    if (targets[i]->Allocate(n, 0) < n || !targets[i]->GetBuffer()) return ERROR_OUTOFMEMORY;
    CertNameToStrW(context->dwCertEncodingType, names[i], kNameForm, targets[i]->GetBuffer(), n);
    targets[i]->FreeConversions();
  }
  return ComputeFingerprint();
}

DWORD RQCertificateInfo::LoadFromInternetInfo(const INTERNET_CERTIFICATE_INFO* info) {
  Clear();
  if (!info) return ERROR_INVALID_PARAMETER;
  expiry_ = info->ftExpiry;
  start_ = info->ftStart;
  const void* const texts[5] = {info->lpszSubjectInfo, info->lpszIssuerInfo, info->lpszProtocolName,
                                info->lpszSignatureAlgName, info->lpszEncryptionAlgName};
  RQString* const targets[5] = {&subject_, &issuer_, &protocol_, &signatureAlgorithm_,
                                &encryptionAlgorithm_};
  for (int i = 0; i < 5; ++i) {
    const char* text = static_cast<const char*>(texts[i]);
    if (text && *text) targets[i]->AssignUtf8(text, static_cast<unsigned>(strlen(text)));
  }
  keySize_ = info->dwKeySize;
  return ComputeFingerprint();
}

DWORD RQCertificateInfo::ComputeFingerprint() {
  fingerprint_.Clear(false);
  HashProvider sha1;
  DWORD e = sha1.Begin();
  if (!e) e = sha1.Add(&expiry_, sizeof expiry_);
  if (!e) e = sha1.Add(&start_, sizeof start_);
  // Every byte of both names counts: certificates whose names differ anywhere must not match.
  if (!e) e = sha1.Add(static_cast<const wchar_t*>(subject_), subject_.GetLength() * sizeof(wchar_t));
  if (!e) e = sha1.Add(static_cast<const wchar_t*>(issuer_), issuer_.GetLength() * sizeof(wchar_t));
  BYTE digest[20];
  if (!e) e = sha1.Finish(digest);
  if (!e) e = AssignHex(digest, sizeof digest, fingerprint_);
  return e;
}

DWORD RQCertificateInfo::CopyFrom(const RQCertificateInfo& other) {
  if (&other == this) return 0;
  Clear();
  expiry_ = other.GetExpiry();
  start_ = other.GetStart();
  subject_.Assign(other.GetSubject());
  issuer_.Assign(other.GetIssuer());
  protocol_.Assign(other.GetProtocol());
  signatureAlgorithm_.Assign(other.GetSignatureAlgorithm());
  encryptionAlgorithm_.Assign(other.GetEncryptionAlgorithm());
  keySize_ = other.GetKeySize();
  if (!other.GetFingerprint().IsEmpty()) return SetFingerprint(other.GetFingerprint());
  return 0;
}

// ---------------------------------------------------------------------------------------------------
// RQCertificate

RQCertificate::RQCertificate(PCCERT_CONTEXT context) noexcept {
  if (context) context_.reset(CertDuplicateCertificateContext(context));
}

RQCertificate::~RQCertificate() {
  if (friendlyName_) SecureWipe(friendlyName_.get(), kFriendlyNameBytes);
}

DWORD RQCertificate::Check(const void* output) const {
  if (!context_) return kNoContext;
  if (!output) return ERROR_INVALID_PARAMETER;
  if (!context_.get()->pCertInfo) return kNoInfoBlock;
  return 0;
}

DWORD RQCertificate::GetExpiryText(RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  return FormatCertificateDate(context_.get()->pCertInfo->NotAfter, text);
}

DWORD RQCertificate::GetFriendlyName(RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  if (!friendlyName_) {
    friendlyName_.reset(new (std::nothrow) wchar_t[kFriendlyNameBytes / sizeof(wchar_t)]);
    if (!friendlyName_) return ERROR_OUTOFMEMORY;
  }
  memset(friendlyName_.get(), 0, kFriendlyNameBytes);
  DWORD size = kFriendlyNameBytes;
  if (!CertGetCertificateContextProperty(context_.get(), CERT_FRIENDLY_NAME_PROP_ID, friendlyName_.get(), &size)) {
    return LastErrorOr(kNoProperty);
  }
  // A name that fills the buffer without its terminator did not fit.
  const DWORD cells = size / sizeof(wchar_t);
  if (cells == kFriendlyNameBytes / sizeof(wchar_t) && friendlyName_[cells - 1] != 0) return ERROR_MORE_DATA;
  text.Assign(friendlyName_.get(), 0);
  return 0;
}

DWORD RQCertificate::GetHashText(RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  BYTE hash[30];
  DWORD size = sizeof hash;
  if (const DWORD e = GetHash(hash, &size)) return e;
  return AssignHex(hash, size, text);
}

DWORD RQCertificate::GetHash(BYTE* buffer, DWORD* size) {
  if (const DWORD e = Check(buffer)) return e;
  if (!size) return ERROR_INVALID_PARAMETER;
  memset(buffer, 0, *size);
  if (!CertGetCertificateContextProperty(context_.get(), CERT_SHA1_HASH_PROP_ID, buffer, size)) {
    return LastErrorOr(ERROR_INTERNAL_ERROR);
  }
  return *size == 0 ? ERROR_INTERNAL_ERROR : 0;
}

DWORD RQCertificate::NameString(DWORD type, DWORD flags, RQString& text) {
  DWORD rdnForm = CERT_X500_NAME_STR;
  void* para = nullptr;
  if (type == CERT_NAME_RDN_TYPE) para = &rdnForm;
  if (type == CERT_NAME_ATTR_TYPE) para = const_cast<char*>(szOID_COMMON_NAME);
  const DWORD n = CertGetNameStringW(context_.get(), type, flags, para, nullptr, 0);
  if (n <= 1) {
    text.Clear(false);
    return 0;
  }
  if (text.Allocate(n, 0) < n || !text.GetBuffer()) return ERROR_OUTOFMEMORY;
  CertGetNameStringW(context_.get(), type, flags, para, text.GetBuffer(), n);
  text.FreeConversions();
  return 0;
}

DWORD RQCertificate::NameToStr(const CERT_NAME_BLOB& name, DWORD format, RQString& text) {
  CERT_NAME_BLOB blob = name;
  const DWORD n = CertNameToStrW(kEncoding, &blob, format, nullptr, 0);
  if (n <= 1) {
    text.Clear(false);
    return 0;
  }
  if (text.Allocate(n, 0) < n || !text.GetBuffer()) return ERROR_OUTOFMEMORY;
  CertNameToStrW(kEncoding, &blob, format, text.GetBuffer(), n);
  text.FreeConversions();
  return 0;
}

DWORD RQCertificate::GetIssuerNameString(DWORD type, RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  return NameString(type, CERT_NAME_ISSUER_FLAG, text);
}

DWORD RQCertificate::GetIssuerName(DWORD format, RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  return NameToStr(context_.get()->pCertInfo->Issuer, format, text);
}

DWORD RQCertificate::GetSubjectNameString(DWORD type, RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  return NameString(type, 0, text);
}

DWORD RQCertificate::GetSubjectName(DWORD format, RQString& text) {
  if (const DWORD e = Check(&text)) return e;
  return NameToStr(context_.get()->pCertInfo->Subject, format, text);
}

DWORD RQCertificate::GetNotBefore(FILETIME* time) {
  if (const DWORD e = Check(time)) return e;
  *time = context_.get()->pCertInfo->NotBefore;
  return 0;
}

DWORD RQCertificate::GetNotAfter(FILETIME* time) {
  if (const DWORD e = Check(time)) return e;
  *time = context_.get()->pCertInfo->NotAfter;
  return 0;
}

DWORD RQCertificate::CreateFromEncoded(const BYTE* bytes, DWORD length, DWORD encodingType) {
  if (!bytes || length == 0) return ERROR_INVALID_PARAMETER;
  PCCERT_CONTEXT created = CertCreateCertificateContext(encodingType, bytes, length);
  if (!created) return LastErrorOr(ERROR_INVALID_DATA);
  context_.reset(created);
  return 0;
}

DWORD RQCertificate::SetContext(PCCERT_CONTEXT context) {
  if (context == context_.get()) return 0;
  UniqueCertContext copy;
  if (context) {
    copy.reset(CertDuplicateCertificateContext(context));
    if (!copy) return ERROR_GEN_FAILURE;  // 31
  }
  context_ = std::move(copy);
  return 0;
}

int RQCertificate::MatchesHashText(const wchar_t* text) {
  RQString hash;
  if (GetHashText(hash) != 0) return 0;
  return hash.Compare(text, false, false) == 0 ? 1 : 0;
}

void RQCertificate::Free() { context_.reset(); }

}  // namespace kesi
