// The OS-version check (the real Wine version, and a per-executable override in a child process), the
// domain check through its seam, the certificate literal, and what every host check does with bad input.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "CheckLogCapture.h"
#include "Checks.h"
#include "EvaluationRun.h"
#include "HostChecks.h"
#include "ItemQueue.h"
#include "RQString.h"
#include "Handles.h"
#include "SystemInterrogator.h"
#include "TestEngine.h"
#include "TestProcess.h"
#include "TestText.h"

using namespace kesi;
using kesi::test::CheckLogCapture;

namespace {

using kesi::test::Narrow;

std::wstring Format(const wchar_t* format, int a, int b = 0, int c = 0) {
  wchar_t text[64];
  swprintf(text, 64, format, a, b, c);
  return text;
}

// The version the platform really runs as, without any compatibility shim.
RTL_OSVERSIONINFOW RealVersion() {
  RTL_OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto get = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  EXPECT_TRUE(get);
  if (get) get(&info);
  return info;
}

TEST(OSVersion, AgainstTheRealVersion) {
  RTL_OSVERSIONINFOW v = RealVersion();
  int major = static_cast<int>(v.dwMajorVersion), minor = static_cast<int>(v.dwMinorVersion);
  int build = static_cast<int>(v.dwBuildNumber);
  ASSERT_GE(major, 5);
  const struct {
    std::wstring text;
    LONG verdict;
  } cases[] = {
      {Format(L"=,%d", major), 1},
      {Format(L"=,%d", major + 1), 0},
      {Format(L"=,%d.%d.%d", major, minor, build), 1},
      {Format(L"=,%d.%d.%d", major, minor, build + 1), 0},
      {Format(L"!,%d.%d.%d", major, minor, build), 0},
      {Format(L"!,%d.%d", major, minor + 1), 1},
      {Format(L">=,%d.%d", major, minor), 1},
      {Format(L" >= ,%d", major), 1},
      {Format(L">,%d.%d", major, minor), 0},
      {Format(L">,%d.%d", major - 1, minor + 5), 1},  // the major version decides first
      {Format(L"<,%d.%d", major + 1, 0), 1},
      {Format(L"<=,%d.%d", major, minor), 1},
      // Every part given must satisfy the condition.
      {Format(L"<=,%d.%d.%d", major, minor, build + 1), 1},
      {Format(L">=,%d.%d.%d", major, minor, build + 1), 0},
      {Format(L"<>,%d", major), 0},  // "<" wins and there is no "="
      {Format(L"<>,%d", major + 1), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    LONG verdict = 7;
    EXPECT_EQ(0, EvaluateOSVersion(c.text.c_str(), &verdict));
    EXPECT_EQ(c.verdict, verdict);
  }
}

TEST(OSVersion, NothingToCompareIsLogged) {
  CheckLogCapture log(L"osversion");
  ASSERT_TRUE(log.Opened());
  const struct {
    const wchar_t* text;
    const char* logged;
  } cases[] = {
      {L"", "EvaluateOSVersion: Failed to parse data"},
      {L"=", "EvaluateOSVersion: Failed to parse data"},
      {L"5.1", "EvaluateOSVersion: Failed to parse data"},
      // The splitter passes over the empty operator field, so no version field is left.
      {L",,6", "EvaluateOSVersion: Failed to parse data"},
      {L"=,abc", "EvaluateOSVersion: No test to perform"},
      {L">=,.5", "EvaluateOSVersion: No test to perform"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    size_t before = log.Text().size();
    LONG verdict = 7;
    EXPECT_EQ(-503, EvaluateOSVersion(c.text, &verdict));
    EXPECT_EQ(7, verdict);
    EXPECT_NE(std::string::npos, log.Text().find(c.logged, before));
  }
  LONG verdict = 7;
  EXPECT_EQ(-503, EvaluateOSVersion(nullptr, &verdict));
  EXPECT_EQ(7, verdict);

  // The parts that were not given are logged as -1.
  EXPECT_EQ(0, EvaluateOSVersion(L"=,5.1", &verdict));
  EXPECT_TRUE(log.Contains("EvaluateOSVersion: comparing [5.1.-1]")) << log.Text();
}

// kesiosprobe.exe evaluates its arguments; bit i of its exit code (*code) is the verdict of argument i + 1.
::testing::AssertionResult RunProbe(const std::wstring& arguments, DWORD* code) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path = exe;
  path.resize(path.find_last_of(L'\\') + 1);
  path += L"kesiosprobe.exe";
  kesi::test::ChildProcess probe;
  ::testing::AssertionResult started = probe.Start(path, arguments);
  if (!started) return started;
  if (WaitForSingleObject(probe.Handle(), 30000) != WAIT_OBJECT_0)
    return ::testing::AssertionFailure() << "kesiosprobe.exe did not end";
  if (!GetExitCodeProcess(probe.Handle(), code))
    return ::testing::AssertionFailure() << "no exit code: error " << GetLastError();
  return ::testing::AssertionSuccess();
}

// Wine reads a program's Windows version from HKCU\Software\Wine\AppDefaults\NAME.exe "Version".
TEST(OSVersion, PerExecutableVersionInAChildProcess) {
  const wchar_t* texts[] = {L"=,5.1.2600", L">=,5.1", L"=,5", L"!,5.1.2600", L"<,6", L"=,6.1", L"<=,5.0"};
  std::wstring arguments;
  DWORD sameAsHere = 0;
  for (int i = 0; i < 7; ++i) {
    arguments += std::wstring(L"\"") + texts[i] + L"\" ";
    LONG verdict = 0;
    EvaluateOSVersion(texts[i], &verdict);
    if (verdict) sameAsHere |= 1u << i;
  }
  // Without an override the child answers as this process does.
  DWORD code = ~0u;
  ASSERT_TRUE(RunProbe(arguments, &code));
  EXPECT_EQ(sameAsHere, code);

  const wchar_t* key = L"Software\\Wine\\AppDefaults\\kesiosprobe.exe";
  const wchar_t winxp[] = L"winxp";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Version", REG_SZ, winxp, sizeof(winxp)));
  const ::testing::AssertionResult ran = RunProbe(arguments, &code);
  RegDeleteKeyW(HKEY_CURRENT_USER, key);
  ASSERT_TRUE(ran);
  // As Windows XP (5.1.2600): true, true, true, false, true, false, false.
  EXPECT_EQ(0x17u, code);
}

// The domain seam: what the platform says about the computer's DNS domain and the account's domain.
std::wstring g_dnsDomain;
std::wstring g_accountDomain;
DWORD g_lookupError = 0;

BOOL WINAPI FakeComputerName(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size) {
  EXPECT_EQ(ComputerNameDnsDomain, format);
  if (g_dnsDomain == L"<fail>") {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  wcscpy(buffer, g_dnsDomain.c_str());
  *size = static_cast<DWORD>(g_dnsDomain.size());
  return TRUE;
}

BOOL WINAPI FakeLookup(LPCWSTR, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain, LPDWORD domainSize,
                       PSID_NAME_USE use) {
  EXPECT_TRUE(IsValidSid(sid));
  if (g_lookupError) {
    SetLastError(g_lookupError);
    return FALSE;
  }
  wcscpy(name, L"user");
  *nameSize = 4;
  wcscpy(domain, g_accountDomain.c_str());
  *domainSize = static_cast<DWORD>(g_accountDomain.size());
  *use = SidTypeUser;
  return TRUE;
}

class Domain : public ::testing::Test {
 protected:
  void TearDown() override {
    ResetDomainCalls();
    g_dnsDomain.clear();
    g_accountDomain.clear();
    g_lookupError = 0;
  }
};

TEST_F(Domain, WineIsInNoDomain) {
  RQString domain(L"stale");
  EXPECT_EQ(0u, GetUserDomainName(&domain));
  EXPECT_TRUE(domain.IsEmpty());
  LONG verdict = 7;
  EXPECT_EQ(0, EvaluateDomain(L"*", &verdict));
  EXPECT_EQ(0, verdict);
}

// In a DNS domain the account's domain is compared; Wine's own lookup names the computer.
TEST_F(Domain, AccountDomainFromTheToken) {
  DomainSystem().getComputerNameEx = &FakeComputerName;
  g_dnsDomain = L"corp.example";
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  RQString domain;
  EXPECT_EQ(0u, GetUserDomainName(&domain));
  EXPECT_EQ(0, domain.Compare(computer, true, false)) << domain.GetAnsi() << " / " << Narrow(computer);
  LONG verdict = 0;
  EXPECT_EQ(0, EvaluateDomain((std::wstring(L"nomatch;") + computer).c_str(), &verdict));
  EXPECT_EQ(1, verdict);
}

TEST_F(Domain, PatternLists) {
  DomainSystem().getComputerNameEx = &FakeComputerName;
  DomainSystem().lookupAccountSid = &FakeLookup;
  g_dnsDomain = L"corp.example";
  const struct {
    const wchar_t* domain;
    const wchar_t* patterns;
    LONG verdict;
  } cases[] = {
      {L"corp.example", L"CORP*;LAB", 1}, {L"lab", L"CORP*;LAB", 1},        {L"LAB", L"CORP*; lab", 1},
      {L"lab", L"CORP*;  LAB", 0},  // only one blank is passed over
      {L"other", L"CORP*;LAB", 0},        {L"corp", L"CORP?", 0},           {L"corp1", L"CORP?", 1},
      {L"a;b", L"\"a;b\"", 1},            {L"lab", L";;LAB;;", 1},          {L"lab", L"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(c.domain) + L" against " + c.patterns));
    g_accountDomain = c.domain;
    LONG verdict = 0;
    EXPECT_EQ(0, EvaluateDomain(c.patterns, &verdict));
    EXPECT_EQ(c.verdict, verdict);
  }
}

TEST_F(Domain, FailuresAreTheStatus) {
  DomainSystem().getComputerNameEx = &FakeComputerName;
  DomainSystem().lookupAccountSid = &FakeLookup;
  g_dnsDomain = L"corp.example";
  g_accountDomain = L"";
  LONG verdict = 7;
  EXPECT_EQ(static_cast<LONG>(ERROR_NOT_FOUND), EvaluateDomain(L"*", &verdict));
  EXPECT_EQ(7, verdict);
  g_lookupError = ERROR_NONE_MAPPED;
  EXPECT_EQ(static_cast<LONG>(ERROR_NONE_MAPPED), EvaluateDomain(L"*", &verdict));
  g_dnsDomain = L"<fail>";
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), EvaluateDomain(L"*", &verdict));
  EXPECT_EQ(7, verdict);
  EXPECT_EQ(-503, EvaluateDomain(nullptr, &verdict));
}

// A self-signed certificate whose key is gone, in the current user's "My" store only, under an
// issuer name of this test process (so that no other test's search meets it).
class Certificate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::wstring subject = L"CN=KESI Host Check " + std::to_wstring(GetCurrentProcessId());
    container_ = L"kesi-hostcheck-" + std::to_wstring(GetCurrentProcessId());
    BYTE name[256];
    DWORD nameSize = sizeof(name);
    ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, name, &nameSize, nullptr));
    {
      kesi::UniqueCryptProvider provider;
      ASSERT_TRUE(CryptAcquireContextW(provider.put(), container_.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
      HCRYPTKEY key = 0;
      ASSERT_TRUE(CryptGenKey(provider.get(), AT_SIGNATURE, 1024 << 16, &key));
      CryptDestroyKey(key);
      CERT_NAME_BLOB blob{nameSize, name};
      const kesi::UniqueCertContext made(
          CertCreateSelfSignCertificate(provider.get(), &blob, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
      provider.reset();
      // Without its key container the certificate has no private key anywhere.
      HCRYPTPROV deleted = 0;
      CryptAcquireContextW(&deleted, container_.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
      ASSERT_TRUE(made);
      encoded_.assign(made.get()->pbCertEncoded, made.get()->pbCertEncoded + made.get()->cbCertEncoded);
    }

    // Only the encoding goes into the store: no key is linked to it there. The store is closed at once
    // so that the search, which opens it afresh, sees the addition.
    {
      const kesi::UniqueCertStore store(OpenUserStore());
      ASSERT_TRUE(store);
      ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, encoded_.data(),
                                                   static_cast<DWORD>(encoded_.size()),
                                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    }

    DWORD length = 0;
    CryptBinaryToStringW(name, nameSize, CRYPT_STRING_BASE64, nullptr, &length);
    std::wstring text(length, L'\0');
    CryptBinaryToStringW(name, nameSize, CRYPT_STRING_BASE64, &text[0], &length);
    for (wchar_t c : text)
      if (c > L' ') issuer_ += c;
    length = 0;
    CryptBinaryToStringW(encoded_.data(), static_cast<DWORD>(encoded_.size()), CRYPT_STRING_BASE64, nullptr, &length);
    text.assign(length, L'\0');
    CryptBinaryToStringW(encoded_.data(), static_cast<DWORD>(encoded_.size()), CRYPT_STRING_BASE64, &text[0], &length);
    for (wchar_t c : text)
      if (c > L' ') certificateText_ += c;
  }
  void TearDown() override {
    const kesi::UniqueCertStore store(OpenUserStore());
    if (!store) return;
    const kesi::UniqueCertContext mine(
        CertCreateCertificateContext(X509_ASN_ENCODING, encoded_.data(), static_cast<DWORD>(encoded_.size())));
    PCCERT_CONTEXT stored =
        mine ? CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, mine.get(), nullptr)
             : nullptr;
    if (stored) CertDeleteCertificateFromStore(stored);  // also frees it
    // Without the commit the deletion does not reach the registry and the certificate stays behind.
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }

  static HCERTSTORE OpenUserStore() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  }

  std::wstring container_, issuer_, certificateText_;
  std::vector<BYTE> encoded_;
};

// Fields: private key required, first (machine) stores only, issuer, rejection text.
TEST_F(Certificate, FlagsIssuerAndItems) {
  const struct {
    std::wstring text;
    LONG verdict;
  } cases[] = {
      {L"FALSE,FALSE," + issuer_, 1},
      {L"x,y,  " + issuer_, 1},            // anything but TRUE is false
      {L" false ,FALSE," + issuer_ + L",   ", 1},
      {L"TRUE,FALSE," + issuer_, 0},       // it has no private key
      {L" true,FALSE," + issuer_, 0},
      {L"FALSE,TRUE," + issuer_, 0},       // it is in the user's store only
      {L"FALSE,FALSE," + issuer_ + L",rejected", 0},
      {L"FALSE,FALSE,MIIB", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    ItemQueue items;
    LONG verdict = 7;
    EXPECT_EQ(0, EvaluateCertificate(c.text.c_str(), &verdict, &items));
    EXPECT_EQ(c.verdict, verdict);
    const std::unique_ptr<RQString> first(items.PopFront());
    if (c.verdict) {
      ASSERT_TRUE(first);
      EXPECT_EQ(0, first->Compare(certificateText_.c_str(), false, false));
    } else {
      EXPECT_FALSE(first);
    }
  }
}

// Within a run the certificate literals share the stores the first one opened and get the answers they
// get on their own; the next run opens the stores again and sees the certificate gone.
TEST_F(Certificate, OneOpeningOfTheStoresPerRun) {
  const std::wstring texts[] = {L"FALSE,FALSE," + issuer_, L"TRUE,FALSE," + issuer_, L"FALSE,TRUE," + issuer_,
                                L"FALSE,FALSE," + issuer_ + L",rejected", L"FALSE,FALSE,MIIB", L"FALSE,FALSE,!!!!"};
  auto outcomes = [&texts] {
    std::vector<std::string> out;
    for (const std::wstring& text : texts) {
      ItemQueue items;
      LONG verdict = 7;
      const LONG status = EvaluateCertificate(text.c_str(), &verdict, &items);
      std::string joined;
      for (std::unique_ptr<RQString> item(items.PopFront()); item; item.reset(items.PopFront()))
        joined += Narrow(static_cast<const wchar_t*>(*item)) + ";";
      out.push_back(std::to_string(status) + " " + std::to_string(verdict) + " " + joined);
    }
    return out;
  };
  const std::vector<std::string> alone = outcomes();
  EXPECT_EQ(0u, alone[0].find("0 1 " + Narrow(certificateText_) + ";")) << alone[0];
  {
    EvaluationRun run;
    EXPECT_EQ(alone, outcomes());
  }

  kesi::test::TestEngine engine;
  const std::wstring line = L"C1=CERTIFICATE,found," + texts[0];
  ASSERT_EQ(0u, engine->AddLiteral(line.c_str()));
  engine->EvaluateAll();
  EXPECT_EQ(1, engine->FirstResult()->Value());
  TearDown();  // the certificate leaves the user's store
  engine->EvaluateAll();
  EXPECT_EQ(0, engine->FirstResult()->Value());
}

TEST(CertificateInput, MissingIssuer) {
  for (const wchar_t* text : {L"", L"TRUE", L"TRUE,TRUE", L"TRUE,TRUE,   ", L"TRUE,TRUE,,"}) {
    SCOPED_TRACE(Narrow(text));
    ItemQueue items;
    LONG verdict = 7;
    EXPECT_EQ(-503, EvaluateCertificate(text, &verdict, &items));
    EXPECT_EQ(0, verdict);  // set to false before anything else
    EXPECT_EQ(0u, items.Count());
  }
  LONG verdict = 7;
  EXPECT_EQ(-503, EvaluateCertificate(nullptr, &verdict, nullptr));
  EXPECT_EQ(0, verdict);
  // Text that is not Base64: the search's own code.
  EXPECT_EQ(static_cast<LONG>(ERROR_INVALID_DATA), EvaluateCertificate(L"FALSE,FALSE,!!!!", &verdict, nullptr));
  EXPECT_EQ(0, verdict);
}

// Every host check, on text without fields and on overlong text: 0 or -503 (with the verdict false), and
// no crash.
TEST(HostChecksInput, TextWithoutFieldsOrTooLong) {
  using Check = LONG (*)(const wchar_t*, LONG*);
  const struct {
    const char* name;
    Check check;
  } checks[] = {
      {"OSVERSION", &EvaluateOSVersion}, {"FILE", &EvaluateFile},       {"DIRECTORY", &EvaluateDirectory},
      {"REGISTRY", &EvaluateRegistry},   {"PROCESS", &EvaluateProcess}, {"DOMAIN", &EvaluateDomain},
  };
  std::wstring longText(70000, L'A');
  std::wstring longCommas(70000, L',');
  std::wstring longStars(10000, L'*');
  for (const auto& c : checks) {
    SCOPED_TRACE(c.name);
    LONG verdict = 0;
    EXPECT_EQ(-503, c.check(nullptr, &verdict));
    for (const std::wstring& text : {std::wstring(L""), std::wstring(L","), std::wstring(L",,,,,,,,,,"), longText,
                                     longCommas, longStars, std::wstring(L"\"") + longText}) {
      verdict = 0;
      LONG status = c.check(text.c_str(), &verdict);
      EXPECT_TRUE(status == 0 || status == -503) << status << " for " << Narrow(text.substr(0, 20));
      if (status == -503) {
        EXPECT_EQ(0, verdict);
      }
    }
  }
}

}  // namespace
