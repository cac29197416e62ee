// The client-certificate search over the real system stores. The certificates are made with openssl when
// the tests run (make-certs.sh, a ctest fixture, into ./certs) and imported into the local-machine or
// current-user stores by each test, which removes them again (and any store it had to create).
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ClientCertificate.h"
#include "Handles.h"

using namespace kesi;

using kesi::ClientCertificateSearch;
using kesi::FindClientCertificate;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;

std::vector<BYTE> ReadCertFile(const std::string& name) {
  std::ifstream in("certs\\" + name, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A certificate of the fixture set, by file name without ".der".
struct Certificate {
  explicit Certificate(const std::string& name) {
    const std::vector<BYTE> bytes = ReadCertFile(name + ".der");
    if (!bytes.empty()) {
      owner.reset(CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size())));
      context = owner.get();
    }
  }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  // The Base64 text of the DER subject name, as a "CERTIFICATE" literal names an issuer.
  std::wstring SubjectBase64() const {
    DWORD n = 0;
    const CERT_NAME_BLOB& s = context->pCertInfo->Subject;
    CryptBinaryToStringW(s.pbData, s.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &n);
    std::wstring text(n, L'\0');
    CryptBinaryToStringW(s.pbData, s.cbData, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, &text[0], &n);
    text.resize(n);
    return text;
  }

  UniqueCertContext owner;
  PCCERT_CONTEXT context = nullptr;
};

std::string CommonName(PCCERT_CONTEXT cert) {
  char name[256] = {};
  CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, sizeof name);
  return name;
}

// The common names of a chain given as Base64 texts; "?" for a text that is not a certificate.
std::vector<std::string> ChainNames(const std::vector<RQString>& texts) {
  std::vector<std::string> names;
  for (const RQString& text : texts) {
    DWORD size = 0;
    CryptStringToBinaryW(text, 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> bytes(size);
    PCCERT_CONTEXT cert = nullptr;
    if (size && CryptStringToBinaryW(text, 0, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr)) {
      cert = CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), size);
    }
    names.push_back(cert ? CommonName(cert) : "?");
    if (cert) CertFreeCertificateContext(cert);
  }
  return names;
}

struct Outcome {
  DWORD error = 0xFFFFFFFF;
  BOOL found = FALSE;
  std::vector<std::string> chain;
};

Outcome Find(const std::wstring& issuer, bool firstStoresOnly = true, bool requirePrivateKey = false,
             const wchar_t* rejectText = nullptr, kesi::CertificateStoreSet* stores = nullptr) {
  Outcome o;
  std::vector<RQString> texts;
  o.error = FindClientCertificate(issuer.c_str(), firstStoresOnly, requirePrivateKey, rejectText, &o.found, &texts,
                                  stores);
  o.chain = ChainNames(texts);
  return o;
}

using Names = std::vector<std::string>;

// Puts certificates into system stores and takes them out again; a store that did not exist before is
// deleted at the end, and so is the key container of an imported private key. Every change is committed
// at once and no store context is kept: a store object that lives on would write its old contents back
// when it is finally closed.
class ClientCertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Certificate probe("root");
    ASSERT_NE(nullptr, probe.context) << "certs\\root.der is missing: run through ctest (fixture make-certificates)";
    RemoveLeftovers();
  }

  void TearDown() override { Cleanup(); }

  void Cleanup() {
    for (auto it = added_.rbegin(); it != added_.rend(); ++it) DeleteBySha1(it->location, it->store, it->sha1);
    for (auto it = createdStores_.rbegin(); it != createdStores_.rend(); ++it) {
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, it->first | CERT_STORE_DELETE_FLAG, it->second.c_str());
    }
    for (const std::wstring& container : containers_) {
      HCRYPTPROV prov = 0;
      CryptAcquireContextW(&prov, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    }
    added_.clear();
    createdStores_.clear();
    containers_.clear();
  }

  // A run that crashed leaves its certificates behind; a later set has the same names and would mix with
  // them. Everything of the organisation "KESI Tests" goes before a test starts.
  static void RemoveLeftovers() {
    for (DWORD location : {kMachine, kUser}) {
      for (const wchar_t* name : {L"MY", L"CA", L"ROOT"}) {
        std::vector<std::vector<BYTE>> hashes;
        if (HCERTSTORE store = OpenExisting(location, name)) {
          PCCERT_CONTEXT cert = nullptr;
          while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
            char organisation[64] = {};
            CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATION_NAME),
                               organisation, sizeof organisation);
            if (strcmp(organisation, "KESI Tests") != 0) continue;
            std::vector<BYTE> sha1(20);
            DWORD size = 20;
            if (CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, sha1.data(), &size)) {
              hashes.push_back(sha1);
            }
          }
          CertCloseStore(store, 0);
        }
        for (std::vector<BYTE>& sha1 : hashes) DeleteBySha1(location, name, sha1.data());
      }
    }
  }

  static void DeleteBySha1(DWORD location, const std::wstring& name, BYTE* sha1) {
    HCERTSTORE store = OpenExisting(location, name);
    if (!store) return;
    CRYPT_HASH_BLOB hash{20, sha1};
    if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr)) {
      EXPECT_TRUE(CertDeleteCertificateFromStore(found));
      EXPECT_TRUE(CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr));
    }
    CertCloseStore(store, 0);
  }

  static HCERTSTORE OpenExisting(DWORD location, const std::wstring& name) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, location | CERT_STORE_OPEN_EXISTING_FLAG,
                         name.c_str());
  }

  // Adds certificate NAME to a store, with the private key of self.pvk when withKey.
  ::testing::AssertionResult Put(DWORD location, const std::wstring& store, const std::string& name,
                                 bool withKey = false) {
    Certificate cert(name);
    if (!cert.context) return ::testing::AssertionFailure() << "no certificate " << name;
    if (withKey) {
      ::testing::AssertionResult given = GiveKey(cert.context);
      if (!given) return given << " (" << name << ")";
    }
    HCERTSTORE s = OpenExisting(location, store);
    if (!s) {
      s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, location, store.c_str());
      if (!s) return ::testing::AssertionFailure() << "cannot make the store for " << name << ", error " << GetLastError();
      createdStores_.emplace_back(location, store);
    }
    UniqueCertStore opened(s);
    Added added{location, store, {}};
    DWORD size = sizeof added.sha1;
    if (!CertGetCertificateContextProperty(cert.context, CERT_SHA1_HASH_PROP_ID, added.sha1, &size) ||
        !CertAddCertificateContextToStore(s, cert.context, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) ||
        !CertControlStore(s, 0, CERT_STORE_CTRL_COMMIT, nullptr))
      return ::testing::AssertionFailure() << "cannot add " << name << ", error " << GetLastError();
    added_.push_back(added);
    return ::testing::AssertionSuccess();
  }

  // The usual hierarchy in one location: root in ROOT, the intermediate in CA.
  ::testing::AssertionResult PutAuthorities(DWORD location) {
    ::testing::AssertionResult root = Put(location, L"ROOT", "root");
    return root ? Put(location, L"CA", "inter") : root;
  }

 private:
  // Imports certs\self.pvk as a signature key into a fresh container and records it on cert, as an
  // import of a certificate with its private key would.
  ::testing::AssertionResult GiveKey(PCCERT_CONTEXT cert) {
    std::vector<BYTE> pvk = ReadCertFile("self.pvk");
    if (pvk.size() <= 24u + sizeof(BLOBHEADER)) return ::testing::AssertionFailure() << "certs\\self.pvk is missing";
    const std::wstring container = L"kesi-test-client-key-" + std::to_wstring(GetCurrentProcessId());
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&prov, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET))
      return ::testing::AssertionFailure() << "no key container, error " << GetLastError();
    containers_.push_back(container);
    // The key file's 24-byte header is followed by the key blob; import it as a signature key.
    reinterpret_cast<BLOBHEADER*>(pvk.data() + 24)->aiKeyAlg = CALG_RSA_SIGN;
    HCRYPTKEY key = 0;
    const BOOL imported = CryptImportKey(prov, pvk.data() + 24, static_cast<DWORD>(pvk.size() - 24), 0, 0, &key);
    const DWORD importError = GetLastError();
    if (imported) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    if (!imported) return ::testing::AssertionFailure() << "the key does not import, error " << importError;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t*>(container.c_str());
    info.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_SIGNATURE;
    if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
      return ::testing::AssertionFailure() << "cannot record the key, error " << GetLastError();
    return ::testing::AssertionSuccess();
  }

  struct Added {
    DWORD location;
    std::wstring store;
    BYTE sha1[20];
  };
  std::vector<Added> added_;
  std::vector<std::pair<DWORD, std::wstring>> createdStores_;
  std::vector<std::wstring> containers_;
};

}  // namespace

// Asked for the intermediate, the search finds its client certificate in MY and returns it with the
// intermediate; asked for the root, it goes down through the intermediate in CA and returns the whole
// chain, end entity first, up to the root.
TEST_F(ClientCertificateTest, ChainRunsFromTheEndEntityUpToTheIssuer) {
  ASSERT_TRUE(PutAuthorities(kMachine));
  ASSERT_TRUE(Put(kMachine, L"MY", "client"));

  Outcome direct = Find(Certificate("inter").SubjectBase64());
  EXPECT_EQ(0u, direct.error);
  EXPECT_TRUE(direct.found);
  EXPECT_EQ((Names{"KESI Client", "KESI Test Intermediate"}), direct.chain);

  Outcome fromRoot = Find(Certificate("root").SubjectBase64());
  EXPECT_EQ(0u, fromRoot.error);
  EXPECT_TRUE(fromRoot.found);
  EXPECT_EQ((Names{"KESI Client", "KESI Test Intermediate", "KESI Test Root"}), fromRoot.chain);

  // Nothing is issued under the client certificate itself.
  Outcome none = Find(Certificate("client").SubjectBase64());
  EXPECT_EQ(0u, none.error);
  EXPECT_FALSE(none.found);
  EXPECT_TRUE(none.chain.empty());
}

// A candidate must be within its validity window and allow client authentication (or name no usage).
TEST_F(ClientCertificateTest, CandidateNeedsValidityAndClientUsage) {
  struct Case {
    const char* name;
    std::vector<std::string> inMy;  // in the order they are added
    const char* expected;           // the certificate found, or null
  } cases[] = {
      {"client authentication", {"client"}, "KESI Client"},
      {"no enhanced key usage", {"noeku"}, "KESI No Usage Client"},
      {"server authentication only", {"server"}, nullptr},
      {"expired", {"expired"}, nullptr},
      {"not yet valid", {"future"}, nullptr},
      {"unusable ones are passed over", {"expired", "server", "future", "client"}, "KESI Client"},
  };
  const std::wstring inter = Certificate("inter").SubjectBase64();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(PutAuthorities(kMachine));
    for (const std::string& name : c.inMy) ASSERT_TRUE(Put(kMachine, L"MY", name));
    Outcome o = Find(inter);
    EXPECT_EQ(0u, o.error);
    EXPECT_EQ(c.expected != nullptr, o.found != FALSE);
    if (c.expected) {
      EXPECT_EQ((Names{c.expected, "KESI Test Intermediate"}), o.chain);
    }
    Cleanup();
  }
}

// With a private key required, only a certificate whose key the system can find passes. (Self-signed
// certificates: some crypt32 builds confirm a recorded key only for those.)
TEST_F(ClientCertificateTest, PrivateKeyRequirement) {
  ASSERT_TRUE(Put(kMachine, L"MY", "self", true));
  ASSERT_TRUE(Put(kMachine, L"MY", "keyless"));
  const std::wstring self = Certificate("self").SubjectBase64();
  const std::wstring keyless = Certificate("keyless").SubjectBase64();

  constexpr bool kKeyRequired = true, kAnyKey = false, kFound = true, kNotFound = false;
  struct Case {
    const char* name;
    const std::wstring* issuer;
    bool requireKey;
    bool found;
  } cases[] = {
      {"key present, required", &self, kKeyRequired, kFound},
      {"no key, required", &keyless, kKeyRequired, kNotFound},
      {"no key, not required", &keyless, kAnyKey, kFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Find(*c.issuer, true, c.requireKey);
    EXPECT_EQ(0u, o.error);
    EXPECT_EQ(c.found, o.found != FALSE);
  }
}

TEST_F(ClientCertificateTest, RejectionTextFailsEveryCandidate) {
  ASSERT_TRUE(PutAuthorities(kMachine));
  ASSERT_TRUE(Put(kMachine, L"MY", "client"));
  const std::wstring inter = Certificate("inter").SubjectBase64();
  EXPECT_FALSE(Find(inter, true, false, L"any text").found);
  EXPECT_TRUE(Find(inter, true, false, nullptr).found);
}

// The current user's stores are searched after the machine's, unless the first stores only are wanted.
TEST_F(ClientCertificateTest, UserStoresComeSecond) {
  ASSERT_TRUE(Put(kUser, L"CA", "inter"));
  ASSERT_TRUE(Put(kUser, L"MY", "client"));
  const std::wstring inter = Certificate("inter").SubjectBase64();

  Outcome machineOnly = Find(inter, true);
  EXPECT_EQ(0u, machineOnly.error);
  EXPECT_FALSE(machineOnly.found);

  Outcome both = Find(inter, false);
  EXPECT_EQ(0u, both.error);
  EXPECT_TRUE(both.found);
  EXPECT_EQ((Names{"KESI Client", "KESI Test Intermediate"}), both.chain);
}

// Two authorities that certify each other must not send the search round in a circle.
TEST_F(ClientCertificateTest, CrossCertifiedAuthoritiesEndTheSearch) {
  ASSERT_TRUE(Put(kMachine, L"CA", "cycle-a"));
  ASSERT_TRUE(Put(kMachine, L"CA", "cycle-b"));
  Outcome o = Find(Certificate("cycle-a").SubjectBase64());
  EXPECT_EQ(0u, o.error);
  EXPECT_FALSE(o.found);
}

TEST_F(ClientCertificateTest, DigitalSignatureUsageOption) {
  ASSERT_TRUE(PutAuthorities(kMachine));
  ASSERT_TRUE(Put(kMachine, L"MY", "nosig"));
  Certificate inter("inter");
  for (bool require : {false, true}) {
    SCOPED_TRACE(require ? "required" : "not required");
    ClientCertificateSearch search;
    search.SetRequireDigitalSignatureUsage(require);
    ASSERT_EQ(0u, search.Search(inter.context->pCertInfo->Subject));
    EXPECT_EQ(!require, search.Found());
  }
  ASSERT_TRUE(Put(kMachine, L"MY", "client"));
  ClientCertificateSearch search;
  search.SetRequireDigitalSignatureUsage(true);
  ASSERT_EQ(0u, search.Search(inter.context->pCertInfo->Subject));
  EXPECT_TRUE(search.Found());
}

// Searches that share one set of stores get the answers they get alone, from stores opened once: a
// certificate added after the set opened its stores is not among them, and a new set sees it.
TEST_F(ClientCertificateTest, SharedStoresAreOpenedOnce) {
  ASSERT_TRUE(PutAuthorities(kMachine));
  ASSERT_TRUE(Put(kUser, L"MY", "client"));
  ASSERT_TRUE(Put(kMachine, L"MY", "self", true));
  const std::wstring inter = Certificate("inter").SubjectBase64();
  const std::wstring root = Certificate("root").SubjectBase64();
  const std::wstring self = Certificate("self").SubjectBase64();
  enum Flags { kBothLocations = 0, kMachineOnly = 1, kKeyRequired = 2 };
  struct Case {
    const char* name;
    const std::wstring* issuer;
    int flags;
    const wchar_t* reject;
  } cases[] = {
      {"machine stores only", &inter, kMachineOnly, nullptr},
      {"user stores second", &inter, kBothLocations, nullptr},
      {"through the intermediate", &root, kBothLocations, nullptr},
      {"key required, present", &self, kMachineOnly | kKeyRequired, nullptr},
      {"key required, missing", &inter, kKeyRequired, nullptr},
      {"rejected", &inter, kBothLocations, L"x"},
  };
  kesi::CertificateStoreSet stores;
  for (int pass = 0; pass < 2; ++pass) {  // the second pass takes every store from the set as it is
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (pass ? ", second pass" : ""));
      const bool firstStoresOnly = (c.flags & kMachineOnly) != 0;
      const bool requireKey = (c.flags & kKeyRequired) != 0;
      Outcome alone = Find(*c.issuer, firstStoresOnly, requireKey, c.reject);
      Outcome shared = Find(*c.issuer, firstStoresOnly, requireKey, c.reject, &stores);
      EXPECT_EQ(alone.error, shared.error);
      EXPECT_EQ(alone.found, shared.found);
      EXPECT_EQ(alone.chain, shared.chain);
    }
  }
  EXPECT_FALSE(Find(inter, true, false, nullptr, &stores).found);

  ASSERT_TRUE(Put(kMachine, L"MY", "client"));
  EXPECT_TRUE(Find(inter).found);
  EXPECT_FALSE(Find(inter, true, false, nullptr, &stores).found) << "the set keeps the stores it opened";
  stores.Close();
  EXPECT_TRUE(Find(inter, true, false, nullptr, &stores).found) << "closed, the set opens them again";
}

TEST_F(ClientCertificateTest, ArgumentErrors) {
  BOOL found = TRUE;
  std::vector<RQString> texts;
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), FindClientCertificate(L"", TRUE, FALSE, nullptr, &found, &texts));
  EXPECT_FALSE(found);
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), FindClientCertificate(L"!!!!", TRUE, FALSE, nullptr, &found, &texts));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), FindClientCertificate(nullptr, TRUE, FALSE, nullptr, &found, &texts));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), FindClientCertificate(L"QUJD", TRUE, FALSE, nullptr, nullptr, &texts));
  EXPECT_TRUE(texts.empty());
}
