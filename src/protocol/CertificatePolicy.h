#pragma once
// The appliance pin policy and the identity of a server certificate.
//
// An administrator pins the appliance with the machine-wide value
// HKLM\SOFTWARE\Policies\Velmora\KESI "ApplianceCertificateSha256" (64-bit view): REG_MULTI_SZ, or
// REG_SZ with entries separated by ';', ',' or blanks; each entry the SHA-256 of a DER certificate as
// 64 hexadecimal digits. When the value is present, every TLS connection of the client (the logon
// service, the file transfers, the log upload) accepts only a server certificate whose hash is listed,
// whatever its certificate errors and whatever the caller's ignoreCertificateErrors says, and refuses
// any other with kCertificateRefused. A present value without one well-formed entry refuses every
// server. When the value is absent nothing changes.
#include <windows.h>
#include <wininet.h>

#include <vector>

#include "PinList.h"
#include "RQCertificate.h"

namespace kesi {

constexpr wchar_t kCertificatePolicyKey[] = L"SOFTWARE\\Policies\\Velmora\\KESI";
constexpr wchar_t kCertificatePolicyValue[] = L"ApplianceCertificateSha256";
// A larger value is not read: it pins nothing, so every server is refused.
constexpr DWORD kMaxCertificatePolicyBytes = 64 * 1024;
// What a connection gets whose server certificate a pin refuses (ERROR_INTERNET_SEC_INVALID_CERT).
constexpr DWORD kCertificateRefused = ERROR_INTERNET_SEC_INVALID_CERT;  // 12169

struct CertificatePolicy {
  bool enforced = false;                // the value is present
  std::vector<CertificateHash> hashes;  // its well-formed entries
};

// Where the policy is read. The default is HKEY_LOCAL_MACHINE and kCertificatePolicyKey; tests point it
// at a key of their own. Returns the previous location.
struct CertificatePolicyLocation {
  HKEY root;
  const wchar_t* subKey;
};
CertificatePolicyLocation SetCertificatePolicyLocation(CertificatePolicyLocation location);
CertificatePolicyLocation DefaultCertificatePolicyLocation();

// Reads the policy (64-bit view, so that 32-bit and 64-bit callers see the same one). No key or no
// value: not enforced. A value that cannot be read, is of another type than REG_SZ, REG_EXPAND_SZ or
// REG_MULTI_SZ, or is larger than kMaxCertificatePolicyBytes: enforced with no entry.
CertificatePolicy ReadCertificatePolicy();

// The certificate a request's connection presented.
struct ServerCertificateIdentity {
  // From INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT: names and dates of this very connection's
  // certificate (WinINet reads it from the connection, on every handshake).
  RQCertificateInfo info;
  bool hasInfo = false;
  // SHA-256 of the DER certificate of INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT. WinINet may keep the
  // chain of an earlier handshake with the same server, so the hash counts only when that certificate's
  // names and dates are those of info (sameAsInfo).
  CertificateHash sha256{};
  bool hasHash = false;
  bool sameAsInfo = false;
};

// Reads the identity of the certificate of request's connection; what WinINet cannot give stays unset.
// 14 without memory, else 0.
DWORD QueryServerCertificate(HINTERNET request, ServerCertificateIdentity& identity);

// True when identity's certificate is one the policy lists: by the hash of its own chain, or, when
// WinINet holds no chain for this connection, by the hash read earlier in the process for a certificate
// with the same names and dates (one such certificate only).
bool PolicyAccepts(const CertificatePolicy& policy, const ServerCertificateIdentity& identity);

// True when both identities name the same certificate: equal names and dates, and equal hashes where
// both have one that belongs to their connection.
bool SameCertificate(const ServerCertificateIdentity& a, const ServerCertificateIdentity& b);

// Copies every field of other into identity.
DWORD CopyIdentity(ServerCertificateIdentity& identity, const ServerCertificateIdentity& other);

// Traces a refusal: "KESI: server certificate refused (<reason>): sha256=<hex, or unknown>
// fingerprint=<RQCertificateInfo's> subject=<the subject's first line>\n" goes to the trace function
// (the DER hash is unknown when WinINet still holds the chain of an earlier handshake), by default OutputDebugStringW (the
// transport and the transfers write no log of their own; their callers log the code). No secret is in it.
void TraceRefusedCertificate(const wchar_t* reason, const ServerCertificateIdentity& identity);
using CertificateTraceFn = void(WINAPI*)(const wchar_t* line);
// Replaces the trace function (null: the default); returns the previous one.
CertificateTraceFn SetCertificateTrace(CertificateTraceFn trace);

}  // namespace kesi
