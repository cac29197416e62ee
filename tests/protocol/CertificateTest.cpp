// RQCertificateInfo and RQCertificate over CryptoAPI, with a fixed certificate whose facts are known from
// an independent tool (openssl): subject and issuer "C=US, O=KESI Tests, CN=kesi.test", valid from
// 1 January 2009 00:00:00 to 1 February 2010 12:00:00 UTC, SHA-1 EC68CE62...B091.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "Base64.h"
#include "RQCertificate.h"

using namespace kesi;

using kesi::RQCertificate;
using kesi::RQCertificateInfo;

namespace {

const char kFixedCertificate[] =
    "MIICJzCCAZCgAwIBAgICEAAwDQYJKoZIhvcNAQELBQAwNjELMAkGA1UEBhMCVVMxEzARBgNVBAoMCktFU0kgVGVzdHMxEjAQBgNV"
    "BAMMCWtlc2kudGVzdDAeFw0wOTAxMDEwMDAwMDBaFw0xMDAyMDExMjAwMDBaMDYxCzAJBgNVBAYTAlVTMRMwEQYDVQQKDApLRVNJ"
    "IFRlc3RzMRIwEAYDVQQDDAlrZXNpLnRlc3QwgZ8wDQYJKoZIhvcNAQEBBQADgY0AMIGJAoGBAJwu3xm9AU08z1/F0YfEHLjmHOCr"
    "9tljoF4/Iu5Anw1cwU5wpu3D/pqdeYYbo3pH+eavMvN52uFnAhafXXQvCMIyI9WY+1rnb/mcYS41oAe9iI2NVROEna7Nga8t8ewm"
    "C1TbNrvFERTWGvrsz6xXpx2wcxZ7VwK11fLUIwIE/fXDAgMBAAGjRDBCMAwGA1UdEwEB/wQCMAAwEwYDVR0lBAwwCgYIKwYBBQUH"
    "AwIwHQYDVR0OBBYEFOQeudTfdJ5ZmsdhcBQ0Zvd22rQhMA0GCSqGSIb3DQEBCwUAA4GBAAxXO5t87Emn7EEjAPQtm8+PLIeMGT3L"
    "A7XJo7n5GBlucJW9tNjeduRXV4B70/Gkl60yyc10nFT8H+AsDLq98w6DFbXNwKUUQSAcl3PCSU2CzPHijV2W2xOl5bq7P3g/ziwv"
    "xuAys+pLvPOdjJ0bDMEm8qZZPx/pj4Z/vhgrE7hH";
const wchar_t kFixedSha1[] = L"EC68CE6295758ED8FDD7ADB086DBB163DB91B091";
const wchar_t kFixedName[] = L"C=US, O=KESI Tests, CN=kesi.test";
// The form in which WinINet reports the names of a connection's certificate.
const char kFixedInternetName[] = "US\r\nKESI Tests\r\nkesi.test";
const wchar_t kFixedInternetNameW[] = L"US\r\nKESI Tests\r\nkesi.test";

std::vector<BYTE> FixedBytes() {
  std::vector<BYTE> bytes(sizeof kFixedCertificate);
  size_t size = bytes.size();
  EXPECT_EQ(0, kesi::Base64Decode(kFixedCertificate, bytes.data(), &size));
  bytes.resize(size);
  return bytes;
}

struct FixedContext {
  FixedContext() {
    const std::vector<BYTE> bytes = FixedBytes();
    context = CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  ~FixedContext() {
    if (context) CertFreeCertificateContext(context);
  }
  PCCERT_CONTEXT context = nullptr;
};

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour) {
  SYSTEMTIME st{};
  st.wYear = year;
  st.wMonth = month;
  st.wDay = day;
  st.wHour = hour;
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

bool SameTime(const FILETIME& a, const FILETIME& b) { return CompareFileTime(&a, &b) == 0; }

// The structure as WinINet fills it for the fixed certificate (8-bit texts; some may be missing).
struct CapturedInfo {
  CapturedInfo() {
    info.ftExpiry = Utc(2010, 2, 1, 12);
    info.ftStart = Utc(2009, 1, 1, 0);
    info.lpszSubjectInfo = reinterpret_cast<LPTSTR>(subject);
    info.lpszIssuerInfo = reinterpret_cast<LPTSTR>(subject);
    info.lpszProtocolName = reinterpret_cast<LPTSTR>(protocol);
    info.dwKeySize = 1024;
  }
  char subject[64] = {};
  char protocol[16] = "TLS 1.2";
  INTERNET_CERTIFICATE_INFO info{};
};

}  // namespace

TEST(CertificateTest, ReadsNamesDatesAndHash) {
  FixedContext fixed;
  ASSERT_NE(nullptr, fixed.context);
  RQCertificate cert(fixed.context);

  RQString text;
  ASSERT_EQ(0u, cert.GetHashText(text));
  EXPECT_STREQ(kFixedSha1, text);
  EXPECT_EQ(1, cert.MatchesHashText(kFixedSha1));
  EXPECT_EQ(0, cert.MatchesHashText(L"EC68CE6295758ED8FDD7ADB086DBB163DB91B090"));
  EXPECT_EQ(0, cert.MatchesHashText(nullptr));

  ASSERT_EQ(0u, cert.GetSubjectName(CERT_X500_NAME_STR, text));
  EXPECT_STREQ(kFixedName, text);
  ASSERT_EQ(0u, cert.GetIssuerName(CERT_X500_NAME_STR, text));
  EXPECT_STREQ(kFixedName, text);
  ASSERT_EQ(0u, cert.GetSubjectNameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, text));
  EXPECT_STREQ(L"kesi.test", text);
  ASSERT_EQ(0u, cert.GetIssuerNameString(CERT_NAME_ATTR_TYPE, text));
  EXPECT_STREQ(L"kesi.test", text);

  FILETIME time{};
  ASSERT_EQ(0u, cert.GetNotBefore(&time));
  EXPECT_TRUE(SameTime(Utc(2009, 1, 1, 0), time));
  ASSERT_EQ(0u, cert.GetNotAfter(&time));
  EXPECT_TRUE(SameTime(Utc(2010, 2, 1, 12), time));

  // A copy made from the encoded bytes is the same certificate.
  RQCertificate decoded;
  const std::vector<BYTE> bytes = FixedBytes();
  ASSERT_EQ(0u, decoded.CreateFromEncoded(bytes.data(), static_cast<DWORD>(bytes.size()), X509_ASN_ENCODING));
  EXPECT_EQ(1, decoded.MatchesHashText(kFixedSha1));
}

TEST(CertificateTest, FriendlyNameIsBounded) {
  FixedContext fixed;
  ASSERT_NE(nullptr, fixed.context);
  RQCertificate cert(fixed.context);
  RQString text;
  EXPECT_EQ(0x80092004u, cert.GetFriendlyName(text));

  struct Case {
    const char* name;
    size_t length;
    bool fits;
  } cases[] = {{"short", 12, true}, {"longest that fits", 255, true}, {"too long", 600, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring name(c.length, L'n');
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)),
                         reinterpret_cast<BYTE*>(&name[0])};
    // The property belongs to the context that cert holds (a duplicate shares it).
    ASSERT_TRUE(CertSetCertificateContextProperty(fixed.context, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    const DWORD e = cert.GetFriendlyName(text);
    if (c.fits) {
      EXPECT_EQ(0u, e);
      EXPECT_EQ(name, std::wstring(static_cast<const wchar_t*>(text)));
    } else {
      EXPECT_NE(0u, e);
    }
  }
}

TEST(CertificateTest, OperationsWithoutCertificate) {
  RQCertificate none;
  RQString text;
  FILETIME time;
  BYTE hash[30];
  DWORD size = sizeof hash;
  const DWORD results[] = {
      none.GetExpiryText(text),
      none.GetFriendlyName(text),
      none.GetHashText(text),
      none.GetHash(hash, &size),
      none.GetIssuerNameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, text),
      none.GetIssuerName(CERT_X500_NAME_STR, text),
      none.GetSubjectNameString(CERT_NAME_SIMPLE_DISPLAY_TYPE, text),
      none.GetSubjectName(CERT_X500_NAME_STR, text),
      none.GetNotBefore(&time),
      none.GetNotAfter(&time),
  };
  for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(10u, results[i]);
  }
  EXPECT_EQ(0, none.MatchesHashText(kFixedSha1));

  const BYTE garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_NE(0u, none.CreateFromEncoded(garbage, sizeof garbage, X509_ASN_ENCODING));
  EXPECT_EQ(nullptr, none.GetContext());

  FixedContext fixed;
  RQCertificate cert(fixed.context);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), cert.GetNotAfter(nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), cert.GetHash(nullptr, &size));
  EXPECT_EQ(0u, cert.SetContext(nullptr));
  EXPECT_EQ(10u, cert.GetNotAfter(&time));
}

// A certificate captured from a connection and the same certificate loaded from its context carry the
// same names and fingerprint, so a trusted certificate given as a context recognises the server's.
TEST(CertificateTest, InfoFromContextMatchesCapturedInfo) {
  FixedContext fixed;
  ASSERT_NE(nullptr, fixed.context);
  RQCertificateInfo fromContext;
  ASSERT_EQ(0u, fromContext.LoadFromContext(fixed.context));
  EXPECT_STREQ(kFixedInternetNameW, fromContext.GetSubject());
  EXPECT_STREQ(kFixedInternetNameW, fromContext.GetIssuer());
  EXPECT_TRUE(SameTime(Utc(2010, 2, 1, 12), fromContext.GetExpiry()));
  EXPECT_TRUE(SameTime(Utc(2009, 1, 1, 0), fromContext.GetStart()));
  const RQString& fingerprint = fromContext.GetFingerprint();
  ASSERT_EQ(40u, fingerprint.GetLength());
  for (unsigned i = 0; i < 40; ++i) EXPECT_TRUE(wcschr(L"0123456789ABCDEF", fingerprint.GetAt(i)) != nullptr);

  CapturedInfo captured;
  strcpy(captured.subject, kFixedInternetName);
  RQCertificateInfo fromConnection;
  ASSERT_EQ(0u, fromConnection.LoadFromInternetInfo(&captured.info));
  EXPECT_STREQ(L"TLS 1.2", fromConnection.GetProtocol());
  EXPECT_TRUE(fromConnection.GetSignatureAlgorithm().IsEmpty());
  EXPECT_EQ(1024u, fromConnection.GetKeySize());
  EXPECT_EQ(1, fromConnection.Matches(&fromContext));
  EXPECT_EQ(1, fromContext.Matches(&fromConnection));
  RQCertificate holder(fixed.context);
  EXPECT_EQ(1, fromConnection.MatchesContext(&holder));
  EXPECT_EQ(0, fromConnection.MatchesContext(nullptr));
  EXPECT_EQ(0, fromConnection.Matches(nullptr));

  RQCertificateInfo copy;
  ASSERT_EQ(0u, copy.CopyFrom(fromConnection));
  EXPECT_EQ(1, copy.Matches(&fromConnection));
  EXPECT_STREQ(fromConnection.GetSubject(), copy.GetSubject());
  EXPECT_STREQ(L"TLS 1.2", copy.GetProtocol());
  EXPECT_EQ(1024u, copy.GetKeySize());

  // Fingerprints compare without regard to case.
  std::wstring lower(static_cast<const wchar_t*>(fingerprint));
  for (wchar_t& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
  RQCertificateInfo typed;
  ASSERT_EQ(0u, typed.SetFingerprint(lower.c_str()));
  EXPECT_EQ(1, typed.Matches(&fromContext));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), typed.SetFingerprint(L""));

  copy.Clear();
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_TRUE(copy.GetSubject().IsEmpty());
  EXPECT_TRUE(copy.GetProtocol().IsEmpty());
  EXPECT_EQ(0u, copy.GetKeySize());
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), copy.LoadFromContext(nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), copy.LoadFromInternetInfo(nullptr));
}

// Every byte of both names and both dates takes part in the fingerprint, and objects without one never
// match: neither may make a different certificate pass for the trusted one.
TEST(CertificateTest, FingerprintTellsCertificatesApart) {
  struct Case {
    const char* name;
    const char* subject;
    const char* issuer;
    DWORD startShift;
    DWORD expiryShift;
  } cases[] = {
      {"last character of the subject", "US\r\nKESI Tests\r\nkesi.tesT", kFixedInternetName, 0, 0},
      {"last character of the issuer", kFixedInternetName, "US\r\nKESI Tests\r\nkesi.tesT", 0, 0},
      {"start", kFixedInternetName, kFixedInternetName, 1, 0},
      {"expiry", kFixedInternetName, kFixedInternetName, 0, 1},
  };
  CapturedInfo reference;
  strcpy(reference.subject, kFixedInternetName);
  RQCertificateInfo trusted;
  ASSERT_EQ(0u, trusted.LoadFromInternetInfo(&reference.info));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedInfo other;
    strcpy(other.subject, c.subject);
    char issuer[64];
    strcpy(issuer, c.issuer);
    other.info.lpszIssuerInfo = reinterpret_cast<LPTSTR>(issuer);
    other.info.ftStart.dwLowDateTime += c.startShift;
    other.info.ftExpiry.dwLowDateTime += c.expiryShift;
    RQCertificateInfo presented;
    ASSERT_EQ(0u, presented.LoadFromInternetInfo(&other.info));
    EXPECT_EQ(0, presented.Matches(&trusted));
  }
  RQCertificateInfo empty1, empty2;
  EXPECT_EQ(0, empty1.Matches(&empty2));
  EXPECT_EQ(0, trusted.Matches(&empty1));
}

// The texts are in the user's locale; Wine takes it from the process's LC_ALL or LANG (C and en_US give
// English (United States)).
TEST(CertificateTest, DateText) {
  if (GetUserDefaultLCID() != 0x409)
    GTEST_SKIP() << "skipped: the user locale is " << std::hex << GetUserDefaultLCID()
                 << ", not English (United States) (0409); run with LC_ALL=C";
  struct Case {
    FILETIME time;
    const wchar_t* text;
  } cases[] = {
      {Utc(2010, 2, 1, 0), L"February 1, 2010"},
      {Utc(1999, 12, 31, 23), L"December 31, 1999"},
      {Utc(2038, 1, 19, 3), L"January 19, 2038"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
    RQString text;
    ASSERT_EQ(0u, kesi::FormatCertificateDate(c.time, text));
    EXPECT_STREQ(c.text, text);
  }

  // The expiry of a certificate and of what was captured from a connection read the same way.
  FixedContext fixed;
  ASSERT_NE(nullptr, fixed.context);
  RQCertificate cert(fixed.context);
  RQString text;
  ASSERT_EQ(0u, cert.GetExpiryText(text));
  EXPECT_STREQ(L"February 1, 2010", text);
  CapturedInfo captured;
  RQCertificateInfo info;
  ASSERT_EQ(0u, info.LoadFromInternetInfo(&captured.info));
  ASSERT_EQ(0u, info.GetExpiryText(text));
  EXPECT_STREQ(L"February 1, 2010", text);
}
