// The appliance pin policy: how its registry value is read, and what it does to the logon service
// transport, the log upload and the file transfers against appliance simulator instances whose
// self-signed certificates WinINet does not trust.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CertificatePolicy.h"
#include "FileTransfer.h"
#include "LPRPC.h"
#include "LPRPCTransport.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TestText.h"

using namespace kesi;

namespace kesi {
namespace {

using test::Appliance;
using test::Narrow;
using test::TempFile;
using test::Widen;

// The policy value of a test, in HKCU under a key of its own; the reader points there while it lives.
class ScopedPolicy {
 public:
  explicit ScopedPolicy(const char* testName)
      : subKey_(L"Software\\KESI-tests\\pin-policy-" + Widen(testName)) {
    RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
    previous_ = SetCertificatePolicyLocation({HKEY_CURRENT_USER, subKey_.c_str()});
  }
  ~ScopedPolicy() {
    SetCertificatePolicyLocation(previous_);
    RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
  }
  ScopedPolicy(const ScopedPolicy&) = delete;
  ScopedPolicy& operator=(const ScopedPolicy&) = delete;

  // Writes the value (type and bytes as given); without data only the key is made.
  void Set(DWORD type, const void* data, size_t bytes) {
    RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                             nullptr, &key, nullptr));
    if (data) {
      EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, kCertificatePolicyValue, 0, type, static_cast<const BYTE*>(data),
                                              static_cast<DWORD>(bytes)));
    }
    RegCloseKey(key);
  }
  void SetText(const std::wstring& text, DWORD type = REG_SZ) {
    Set(type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }
  void Clear() { RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str()); }

 private:
  std::wstring subKey_;
  CertificatePolicyLocation previous_{};
};

std::vector<std::string> g_traces;
void WINAPI KeepTrace(const wchar_t* line) { g_traces.push_back(Narrow(line)); }

const std::wstring kHashA(64, L'a');
const std::wstring kHashB = L"0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";

TEST(CertificatePolicy, ReadsTheValueInEachForm) {
  const CertificatePolicyLocation fixed = DefaultCertificatePolicyLocation();
  EXPECT_EQ(HKEY_LOCAL_MACHINE, fixed.root);
  EXPECT_STREQ(L"SOFTWARE\\Policies\\Velmora\\KESI", fixed.subKey);
  EXPECT_STREQ(L"ApplianceCertificateSha256", kCertificatePolicyValue);

  ScopedPolicy policy(::testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::wstring multi = kHashA + std::wstring(1, L'\0') + L"not a hash" + std::wstring(1, L'\0') + kHashB +
                             std::wstring(2, L'\0');
  const DWORD number = 1;
  const std::wstring huge(kMaxCertificatePolicyBytes / sizeof(wchar_t) + 1, L'a');
  constexpr DWORD kNoKey = 0xFFFF0001, kNoValue = 0xFFFF0002;
  struct Case {
    const char* name;
    DWORD type;
    std::wstring text;
    bool enforced;
    size_t hashes;
  } cases[] = {
      {"no key", kNoKey, L"", false, 0},
      {"key without the value", kNoValue, L"", false, 0},
      {"REG_SZ, ';' and blanks", REG_SZ, kHashA + L"; " + kHashB, true, 2},
      {"REG_MULTI_SZ with a malformed string", REG_MULTI_SZ, multi, true, 2},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, kHashB, true, 1},
      {"every entry malformed: refuses all", REG_SZ, L"sha256:abc", true, 0},
      {"empty text: refuses all", REG_SZ, L"", true, 0},
      {"another type: refuses all", REG_DWORD, L"", true, 0},
      {"over the size bound: refuses all", REG_SZ, huge, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.type == kNoKey) {
      policy.Clear();
    } else if (c.type == kNoValue) {
      policy.Set(REG_SZ, nullptr, 0);
    } else if (c.type == REG_DWORD) {
      policy.Set(REG_DWORD, &number, sizeof(number));
    } else if (c.type == REG_MULTI_SZ) {
      policy.Set(REG_MULTI_SZ, c.text.data(), c.text.size() * sizeof(wchar_t));
    } else {
      policy.SetText(c.text, c.type);
    }
    CertificatePolicy read = ReadCertificatePolicy();
    EXPECT_EQ(c.enforced, read.enforced);
    EXPECT_EQ(c.hashes, read.hashes.size());
  }
}

// The encoded call of procedure 1 with {15}, posted as the logon service does.
DWORD Exchange(LPRPCTransport& transport) {
  LPRPCStructure parameters;
  parameters.AddInteger(15);
  Utf8Buffer message;
  if (BuildCall(1, &parameters, message) != LPRPCStatus::kOk) return ERROR_INVALID_DATA;
  return transport.Call(L"/__api__/__logon__", &message);
}

const char* TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Under the policy the logon service and the log upload accept only a listed certificate, whatever its
// errors and whatever ignoreCertificateErrors says; a refused exchange sends no body and the trace names
// the refused certificate's hash. Without the policy nothing changes.
TEST(CertificatePolicy, PinsTheLogonServiceAndTheLogUpload) {
  ScopedPolicy policy(TestName());
  Appliance listed;
  Appliance other(R"({"certificate": "other"})");  // the same names as the listed one, another key
  ASSERT_EQ("", listed.Error());
  ASSERT_EQ("", other.Error());
  const std::string listedHash = listed.CertificateSha256();
  const std::string otherHash = other.CertificateSha256();
  ASSERT_EQ(64u, listedHash.size());
  ASSERT_EQ(64u, otherHash.size());
  // A refused exchange carries zeros in place of its body.
  listed.ExpectProblem("undecodable call");
  other.ExpectProblem("undecodable call");

  constexpr BOOL kChecked = FALSE, kIgnored = TRUE;  // Open's ignoreCertificateErrors
  const std::wstring listing = Widen(listedHash) + L";" + kHashB;
  struct Case {
    const char* name;
    Appliance* appliance;
    const wchar_t* policyText;  // null: no policy
    BOOL ignore;
    DWORD result;
    int callsAfter;  // logon calls the appliance has decoded afterwards
  } cases[] = {
      // WinINet remembers for the rest of the process that a server's certificate errors were passed
      // over, so each server's refusal by its errors comes before anything accepts it.
      {"no policy, errors count", &other, nullptr, kChecked, ERROR_INTERNET_SEC_CERT_ERRORS, 0},
      {"no policy, errors ignored", &other, nullptr, kIgnored, 0, 1},
      {"listed elsewhere: refused though errors are ignored", &other, listing.c_str(), kIgnored, kCertificateRefused, 1},
      {"only malformed entries: refused", &listed, L"sha256:listed", kIgnored, kCertificateRefused, 0},
      {"listed: accepted though errors count", &listed, listing.c_str(), kChecked, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.policyText) policy.SetText(c.policyText); else policy.Clear();
    g_traces.clear();
    SetCertificateTrace(KeepTrace);
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.Open(c.appliance->Server().c_str(), FALSE, nullptr, c.ignore, 0, 0));
    EXPECT_EQ(c.result, Exchange(transport));
    SetCertificateTrace(nullptr);
    EXPECT_EQ(static_cast<size_t>(c.callsAfter), c.appliance->Calls(1).size());
    if (c.result == kCertificateRefused) {
      ASSERT_EQ(1u, g_traces.size());
      const std::string& hash = c.appliance == &listed ? listedHash : otherHash;
      EXPECT_NE(std::string::npos, g_traces[0].find("(not listed by the appliance pin policy): sha256=" + hash))
          << g_traces[0];
    } else {
      EXPECT_TRUE(g_traces.empty());
    }
  }

  // The log upload: the file goes to the listed server only.
  policy.SetText(listing);
  TempFile file("log line\r\n");
  for (Appliance* appliance : {&other, &listed}) {
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.Open(appliance->Server().c_str(), FALSE, nullptr, kIgnored, 0, 0));
    EXPECT_EQ(appliance == &listed ? 0u : kCertificateRefused,
              transport.PostFile(L"/postauth/__EPClogfilesubmit", L"COOKIE", file.Path()));
  }
  other.ExpectProblem("body is not framed by the boundary");
  EXPECT_EQ("", other.Get("uploads/0/file").body);
  EXPECT_EQ("log line\r\n", listed.Get("uploads/0/file").body);
}

// The transfers follow the same policy: a download from a server that is not listed is refused before
// its reply is read, and a post sends no body to it.
TEST(CertificatePolicy, PinsTheFileTransfers) {
  ScopedPolicy policy(TestName());
  const char kFiles[] = R"("inline_files": {"pinned.txt": "pinned content"})";
  Appliance listed(std::string("{") + kFiles + "}");
  Appliance other(std::string(R"({"certificate": "other", )") + kFiles + "}");
  ASSERT_EQ("", listed.Error());
  ASSERT_EQ("", other.Error());
  const std::wstring listedHash = Widen(listed.CertificateSha256());
  ASSERT_EQ(64u, listedHash.size());
  test::TempFolder folder(L"pin-policy");
  ASSERT_TRUE(folder.Created());
  const std::wstring target = folder / L"pinned.txt";

  struct Case {
    const char* name;
    Appliance* appliance;
    bool policySet;
    DWORD result;
  } cases[] = {
      {"no policy: an unknown CA stays an error", &other, false, ERROR_INTERNET_INVALID_CA},
      {"not listed", &other, true, kCertificateRefused},
      {"listed, errors not allowed", &listed, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.policySet) policy.SetText(listedHash); else policy.Clear();
    const std::wstring base = L"https://" + c.appliance->Server() + L"/postauth/";
    DeleteFileW(target.c_str());
    const std::wstring source = base + L"pinned.txt";
    TransferRequest download;
    download.url = source.c_str();
    download.localPath = target.c_str();
    download.options = kTransferNoDialogs;
    EXPECT_EQ(c.result, RunTransfer(download));
    EXPECT_EQ(c.result ? std::string("<missing>") : std::string("pinned content"),
              GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES ? "<missing>"
                                                                             : test::ReadWholeFile(target));

    const std::wstring result = base + L"result";
    TransferRequest post;
    post.url = result.c_str();
    post.options = kTransferNoDialogs;
    EXPECT_EQ(c.result, PostTransfer(post, "the document", 12, nullptr, nullptr, 0));
  }
  EXPECT_EQ(std::string::npos, other.Get("journal").body.find("the document"));
  EXPECT_NE(std::string::npos, listed.Get("journal").body.find("the document"));
}

}  // namespace
}  // namespace kesi
