// The HTTPS transport against appliance simulator instances: request shape, the send loop (certificate
// errors, dialog answers, time-out), status mapping, body reading, and the multipart upload.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "LPRPC.h"
#include "LPRPCTransport.h"
#include "RQCertificate.h"
#include "RQCredential.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TransferPeer.h"

using namespace kesi;

namespace kesi {
namespace {

using test::Appliance;
using test::TempFile;

// ---- seams: scripted send failures and dialog answers --------------------------------------------

struct Script {
  std::vector<DWORD> sendErrors;  // the first sends fail with these (0: make the real send)
  bool sendAlwaysFails = false;   // repeat the last error for ever
  std::vector<DWORD> answers;     // dialog answers in turn (0 once they run out, unless answersRepeat)
  bool answersRepeat = false;     // repeat the last answer for ever
  DWORD tickStep = 0;             // added to the clock at every reading
  int sends = 0;
  std::vector<DWORD> dialogErrors;  // the error each dialog was shown
  DWORD clock = 1000;
};
Script g_script;

BOOL WINAPI ScriptedSend(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body, DWORD length) {
  size_t n = static_cast<size_t>(g_script.sends++);
  DWORD error = 0;
  if (n < g_script.sendErrors.size())
    error = g_script.sendErrors[n];
  else if (g_script.sendAlwaysFails && !g_script.sendErrors.empty())
    error = g_script.sendErrors.back();
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return HttpSendRequestW(request, headers, headersLength, body, length);
}

DWORD WINAPI ScriptedDialog(HWND, HINTERNET, DWORD error, DWORD, LPVOID*) {
  size_t n = g_script.dialogErrors.size();
  g_script.dialogErrors.push_back(error);
  if (n < g_script.answers.size()) return g_script.answers[n];
  return g_script.answersRepeat && !g_script.answers.empty() ? g_script.answers.back() : 0;
}

DWORD WINAPI ScriptedTicks() {
  DWORD now = g_script.clock;
  g_script.clock += g_script.tickStep;
  return now;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = Script();
    TransportSeams& seams = GetTransportSeams();
    seams.errorDialog = ScriptedDialog;
    seams.sendRequest = ScriptedSend;
    seams.tickCount = ScriptedTicks;
  }
  void TearDown() override { ResetTransportSeams(); }

  // The encoded call of procedure 1 with {15}.
  static Utf8Buffer LogonCall() {
    LPRPCStructure parameters;
    parameters.AddInteger(15);
    Utf8Buffer message;
    EXPECT_EQ(LPRPCStatus::kOk, BuildCall(1, &parameters, message));
    return message;
  }

  static DWORD Exchange(LPRPCTransport& transport, Utf8Buffer* reply = nullptr) {
    Utf8Buffer message = LogonCall();
    DWORD result = transport.Call(L"/__api__/__logon__", &message);
    if (reply) *reply = std::move(message);
    return result;
  }

  LPRPCTransportWinINet transport_{nullptr};
};

TEST_F(TransportTest, ExchangeHasTheRequestShapeAndCapturesTheCertificate) {
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.Open(L"", FALSE, nullptr, TRUE, 0, 0));
  ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
  EXPECT_TRUE(transport_.IsConnected());
  EXPECT_STREQ(appliance.Server().c_str(), transport_.GetServer());

  Utf8Buffer reply;
  ASSERT_EQ(0u, Exchange(transport_, &reply));
  // {2, {15, "SIMSESSION-0001"}}
  const std::string expected =
      std::string("\x10\x00\x02\x02\x00\x00\x00\x02\x10\x00\x02\x02\x00\x00\x00\x0f\x04\x00\x10", 19) +
      std::string("SIMSESSION-0001", 16);
  EXPECT_EQ(expected, std::string(reinterpret_cast<const char*>(reply.GetData()), reply.GetLength()));

  std::vector<std::string> journal = appliance.Journal();
  ASSERT_EQ(1u, journal.size());
  EXPECT_NE(std::string::npos, journal[0].find("POST /__api__/__logon__ 200 proc=1 call=0 args=[15] "
                                               "ctype=\"application/lprpc; version=1.0\" "
                                               "ua=\"Velmora Connect LPRPC Transport Utility - WinINet\""))
      << journal[0];

  RQCertificateInfo* certificate = transport_.GetServerCertificate();
  ASSERT_NE(nullptr, certificate);
  EXPECT_EQ(40u, certificate->GetFingerprint().GetLength());
  EXPECT_NE(nullptr, certificate->GetSubject().FindString(L"127.0.0.1"));
  EXPECT_EQ(nullptr, transport_.GetSecondCertificate());

  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.Call(L"", &reply));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.Call(L"/__api__/__logon__", nullptr));
  EXPECT_EQ(0u, transport_.Close());
  EXPECT_FALSE(transport_.IsConnected());
  EXPECT_EQ(nullptr, transport_.GetServerCertificate());
}

TEST_F(TransportTest, OpenKeepsTheConnectionForTheSameServerOnly) {
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  std::wstring port = std::to_wstring(appliance.Port());
  ASSERT_EQ(0u, transport_.Open((L"localhost:" + port).c_str(), FALSE, nullptr, TRUE, 0, 0));
  ASSERT_EQ(0u, Exchange(transport_));
  ASSERT_NE(nullptr, transport_.GetServerCertificate());

  // Same server in other case: the connection and what was captured on it stay.
  ASSERT_EQ(0u, transport_.Open((L"LOCALHOST:" + port).c_str(), FALSE, nullptr, TRUE, 0, 0));
  EXPECT_STREQ((L"localhost:" + port).c_str(), transport_.GetServer());
  EXPECT_NE(nullptr, transport_.GetServerCertificate());

  // Another server: a new connection, on the port that the name gives.
  ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
  EXPECT_STREQ(appliance.Server().c_str(), transport_.GetServer());
  EXPECT_EQ(nullptr, transport_.GetServerCertificate());
  ASSERT_EQ(0u, Exchange(transport_));
  EXPECT_EQ(2u, appliance.Calls(1).size());
}

TEST_F(TransportTest, StatusCodesAndBodies) {
  Appliance appliance(R"({"faults": [
      {"procedure": 1, "call": 0, "http_status": 401},
      {"procedure": 1, "call": 1, "http_status": 401},
      {"procedure": 1, "call": 2, "http_status": 404},
      {"procedure": 1, "call": 3, "http_status": 407},
      {"procedure": 1, "call": 4, "http_status": 407},
      {"procedure": 1, "call": 5, "http_status": 500},
      {"procedure": 1, "call": 6, "http_status": 503},
      {"procedure": 1, "call": 7, "no_content_length": true},
      {"procedure": 1, "call": 8, "empty_body": true},
      {"procedure": 1, "call": 9, "large_reply": 4194305},
      {"procedure": 1, "call": 10, "no_content_length": true, "headers": {"Content-Length": "12abc"}},
      {"procedure": 1, "call": 11, "no_content_length": true, "headers": {"Content-Length": "5"}}]})");
  ASSERT_EQ("", appliance.Error());
  constexpr BOOL kNoUI = FALSE, kWithUI = TRUE;
  struct Case {
    const char* name;
    BOOL allowUI;
    DWORD result;
    size_t dialogs;  // a successful send goes to the dialog with error 0 when UI is allowed
    uint32_t length = 0;  // of the reply taken in
  } cases[] = {
      {"401 without UI", kNoUI, ERROR_INTERNET_LOGIN_FAILURE, 0},
      {"401 with UI, dialog answers 0", kWithUI, ERROR_INTERNET_LOGIN_FAILURE, 1},
      {"404", kNoUI, ERROR_INTERNET_ITEM_NOT_FOUND, 0},
      {"407 without UI", kNoUI, ERROR_INTERNET_NO_DIRECT_ACCESS, 0},
      {"407 with UI", kWithUI, ERROR_CANCELLED, 1},
      {"500", kNoUI, ERROR_INTERNET_EXTENDED_ERROR, 0},
      {"503 (any other)", kNoUI, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0},
      {"no Content-Length", kNoUI, ERROR_HTTP_HEADER_NOT_FOUND, 0},
      {"Content-Length 0", kNoUI, 0, 0},
      {"Content-Length over the cap", kNoUI, ERROR_MESSAGE_EXCEEDS_MAX_SIZE, 0},
      {"Content-Length not a number", kNoUI, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0},
      {"more bytes than announced: the announced ones", kNoUI, 0, 0, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_script.dialogErrors.clear();
    ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), c.allowUI, nullptr, TRUE, 0, 0));
    Utf8Buffer reply;
    EXPECT_EQ(c.result, Exchange(transport_, &reply));
    EXPECT_EQ(c.dialogs, g_script.dialogErrors.size());
    for (DWORD error : g_script.dialogErrors) {
      EXPECT_EQ(0u, error);
    }
    if (c.result == 0) {
      EXPECT_EQ(c.length, reply.GetLength());
    }
  }
  EXPECT_EQ(12u, appliance.Calls(1).size());
}

// Send failures and dialog answers, scripted through the seams, against a real appliance that answers
// once a real send is made.
TEST_F(TransportTest, SendLoopTreatsErrorsAsTheBrowserWould) {
  enum Flags {
    kNone = 0,
    kSendAlwaysFails = 1,     // the last scripted send error repeats for ever
    kAnswersRepeat = 2,       // the last dialog answer repeats for ever
    kAllowUI = 4,             // Open's allowUI
    kIgnoreCertificates = 8,  // Open's ignoreCertificateErrors
  };
  struct Case {
    const char* name;
    std::vector<DWORD> sendErrors;
    std::vector<DWORD> answers;
    int flags;
    DWORD result;
    int sends;
    std::vector<DWORD> dialogErrors;
  } cases[] = {
      {"cancelled operation", {ERROR_INTERNET_OPERATION_CANCELLED}, {}, kAllowUI, ERROR_CANCELLED, 1, {}},
      {"invalid handle", {ERROR_INVALID_HANDLE}, {}, kAllowUI, ERROR_CANCELLED, 1, {}},
      {"cancelled stays", {ERROR_CANCELLED}, {}, kAllowUI, ERROR_CANCELLED, 1, {}},
      {"incorrect password answered 0", {ERROR_INTERNET_INCORRECT_PASSWORD}, {0}, kAllowUI, ERROR_CANCELLED, 1,
       {ERROR_INTERNET_INCORRECT_PASSWORD}},
      {"low error answered 0 stays", {ERROR_INTERNET_CONNECTION_ABORTED}, {0}, kAllowUI,
       ERROR_INTERNET_CONNECTION_ABORTED, 1, {ERROR_INTERNET_CONNECTION_ABORTED}},
      {"client certificate answered 0 is retried", {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED}, {0, 0}, kAllowUI, 0, 2,
       {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, 0}},
      {"dialog answer replaces the error", {ERROR_INTERNET_CONNECTION_ABORTED}, {ERROR_CANCELLED}, kAllowUI,
       ERROR_CANCELLED, 1, {ERROR_INTERNET_CONNECTION_ABORTED}},
      {"force retry after a successful send", {}, {ERROR_INTERNET_FORCE_RETRY, 0}, kAllowUI, 0, 2, {0, 0}},
      {"illegal message: no dialog", {0x80090326}, {}, kAllowUI, 0x80090326, 1, {}},
      {"no UI: client certificate ends", {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED}, {}, kNone,
       ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, 1, {}},
      {"unknown CA ignored: flags set, resent", {ERROR_INTERNET_INVALID_CA}, {}, kIgnoreCertificates, 0, 2, {}},
      {"unknown CA, no UI, not ignored", {ERROR_INTERNET_INVALID_CA}, {}, kNone, ERROR_INTERNET_INVALID_CA, 1, {}},
      {"unknown CA, UI cancelled", {ERROR_INTERNET_INVALID_CA}, {ERROR_CANCELLED}, kAllowUI, ERROR_CANCELLED, 1,
       {ERROR_INTERNET_INVALID_CA}},
      // A dialog that always asks for another try: the sends are bounded and the status decides.
      {"force retry for ever", {}, {ERROR_INTERNET_FORCE_RETRY}, kAnswersRepeat | kAllowUI, 0, kMaxSendsPerExchange,
       std::vector<DWORD>(kMaxSendsPerExchange, 0)},
      {"unknown CA, dialog answers 0 and changes nothing", {ERROR_INTERNET_INVALID_CA}, {}, kSendAlwaysFails | kAllowUI,
       ERROR_INTERNET_INVALID_CA, kMaxSendsPerExchange,
       std::vector<DWORD>(kMaxSendsPerExchange, ERROR_INTERNET_INVALID_CA)},
      // A revoked certificate cannot be ignored by flags: the loop gives up instead of resending for ever.
      {"revoked certificate with ignore flags is bounded", {ERROR_INTERNET_SEC_CERT_NO_REV}, {},
       kSendAlwaysFails | kIgnoreCertificates, ERROR_INTERNET_SEC_CERT_NO_REV, kMaxSendsPerExchange, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Appliance appliance;
    ASSERT_EQ("", appliance.Error());
    g_script = Script();
    LPRPCTransportWinINet transport(nullptr);
    // The real server's certificate is accepted once, outside the script, so that only the scripted
    // errors are in play; the case's flags then decide what becomes of them.
    ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
    ASSERT_EQ(0u, Exchange(transport));
    g_script = Script();
    g_script.sendErrors = c.sendErrors;
    g_script.sendAlwaysFails = (c.flags & kSendAlwaysFails) != 0;
    g_script.answers = c.answers;
    g_script.answersRepeat = (c.flags & kAnswersRepeat) != 0;
    ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), (c.flags & kAllowUI) ? TRUE : FALSE, nullptr,
                                 (c.flags & kIgnoreCertificates) ? TRUE : FALSE, 0, 0));
    EXPECT_EQ(c.result, Exchange(transport));
    EXPECT_EQ(c.sends, g_script.sends);
    EXPECT_EQ(c.dialogErrors, g_script.dialogErrors);
  }
}

TEST_F(TransportTest, SendFailingForFortySecondsEndsInTimeoutWithoutDialog) {
  // A stopped appliance: its port refuses the connection, so every send fails at once.
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  appliance.Stop();
  struct Case {
    DWORD elapsed;
    bool timedOut;
  } cases[] = {{kSendTimeLimitMs - 1, false}, {kSendTimeLimitMs, true}, {kSendTimeLimitMs + 5000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.elapsed << " ms");
    g_script = Script();
    g_script.tickStep = c.elapsed;
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), TRUE, nullptr, TRUE, 0, 0));
    DWORD result = Exchange(transport);
    if (c.timedOut) {
      EXPECT_EQ(ERROR_INTERNET_TIMEOUT, result);
      EXPECT_TRUE(g_script.dialogErrors.empty());
    } else {
      EXPECT_NE(0u, result);
      EXPECT_NE(ERROR_INTERNET_TIMEOUT, result);
      EXPECT_EQ(1u, g_script.dialogErrors.size());
    }
  }
}

// The certificate an appliance instance serves, as the caller of SetTrustedCertificate holds it.
::testing::AssertionResult LoadApplianceCertificate(Appliance& appliance, RQCertificateInfo& info) {
  std::string pem = appliance.Get("certificate").body;
  BYTE der[4096];
  DWORD size = sizeof(der);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der, &size, nullptr, nullptr))
    return ::testing::AssertionFailure() << "the appliance's certificate is not PEM: " << pem;
  UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, der, size));
  if (!context) return ::testing::AssertionFailure() << "the certificate does not decode, error " << GetLastError();
  if (DWORD error = info.LoadFromContext(context.get())) return ::testing::AssertionFailure() << "load: " << error;
  return ::testing::AssertionSuccess();
}

// A certificate error comes with a new handshake: the trusted certificate is compared with what the
// server presents now, never with what an earlier exchange captured (here the server has switched its
// certificate, and the send meets an error before a new one could be captured).
TEST_F(TransportTest, CertificateErrorIsJudgedOnAFreshCapture) {
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  RQCertificateInfo own;
  ASSERT_TRUE(LoadApplianceCertificate(appliance, own));
  ASSERT_EQ(0u, transport_.SetTrustedCertificate(&own));
  ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), FALSE, nullptr, FALSE, 0, 0));
  ASSERT_EQ(0u, Exchange(transport_));  // an unknown CA, but the trusted certificate
  ASSERT_TRUE(transport_.GetServerCertificate() && transport_.GetServerCertificate()->Matches(&own));

  ASSERT_EQ("", appliance.SwitchCertificate("wrong-name"));
  g_script = Script();
  g_script.sendErrors = {ERROR_INTERNET_SEC_CERT_ERRORS};
  EXPECT_EQ(ERROR_INTERNET_SEC_CERT_ERRORS, Exchange(transport_));
  EXPECT_EQ(1u, appliance.Calls(1).size());
}

// The unknown-CA certificate of a real appliance: accepted silently only when errors are ignored or the
// certificate is the trusted one.
TEST_F(TransportTest, UnknownCertificateAcceptedOnlyWhenAllowed) {
  Appliance selfSigned;
  Appliance other(R"({"certificate": "wrong-name"})");
  Appliance expired(R"({"certificate": "expired"})");
  ASSERT_EQ("", selfSigned.Error());
  ASSERT_EQ("", other.Error());
  ASSERT_EQ("", expired.Error());

  auto loadCertificate = LoadApplianceCertificate;
  RQCertificateInfo own, foreign;
  ASSERT_TRUE(loadCertificate(selfSigned, own));
  ASSERT_TRUE(loadCertificate(other, foreign));

  constexpr BOOL kChecked = FALSE, kIgnored = TRUE;  // Open's ignoreCertificateErrors
  struct Case {
    const char* name;
    Appliance* appliance;
    BOOL ignore;
    RQCertificateInfo* trusted;
    DWORD result;
  } cases[] = {
      // WinINet remembers for the rest of the process that a server's certificate errors were accepted,
      // so the refusals of a server come before its acceptance.
      {"not ignored", &selfSigned, kChecked, nullptr, ERROR_INTERNET_SEC_CERT_ERRORS},
      {"trusted is another certificate", &selfSigned, kChecked, &foreign, ERROR_INTERNET_SEC_CERT_ERRORS},
      {"trusted is this certificate", &selfSigned, kChecked, &own, 0},
      {"expired, not ignored", &expired, kChecked, nullptr, ERROR_INTERNET_SEC_CERT_ERRORS},
      {"expired, ignored", &expired, kIgnored, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.SetTrustedCertificate(c.trusted));
    ASSERT_EQ(0u, transport.Open(c.appliance->Server().c_str(), FALSE, nullptr, c.ignore, 0, 0));
    EXPECT_EQ(c.result, Exchange(transport));
    EXPECT_EQ(c.trusted == &own, transport.IsServerTrusted() != FALSE);
  }
}

TEST_F(TransportTest, PostFileSendsTheExactForm) {
  Appliance appliance(R"({"faults": [{"path": "/postauth/__EPClogfilesubmit", "call": 2, "http_status": 500}]})");
  ASSERT_EQ("", appliance.Error());
  ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
  ASSERT_EQ(0u, Exchange(transport_));  // accepts the appliance's certificate for the connection

  const std::string head =
      "--jiminycricket\r\nContent-Disposition: form-data; name=\"test\"; filename=\"text1.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n";
  const std::string tail = "--jiminycricket--\r\n";
  std::string big;
  for (int i = 0; i < 300; ++i) big += "line " + std::to_string(i) + " of a log that spans several reads\r\n";
  big += std::string("\0\x01\xff", 3);
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {{"text", "one line\r\nno line break at the end"},
               {"empty file", ""},
               {"2048 bytes", std::string(2048, 'x')},
               {"several reads, binary end", big}};
  int upload = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (upload == 2) {  // the fault on the third upload: status 500
      TempFile file("x");
      EXPECT_EQ(ERROR_INTERNET_EXTENDED_ERROR,
                transport_.PostFile(L"/postauth/__EPClogfilesubmit", L"abc", file.Path()));
      ++upload;
    }
    TempFile file(c.content);
    ASSERT_EQ(0u, transport_.PostFile(L"/postauth/__EPClogfilesubmit", L"abc", file.Path()));
    std::string body = appliance.Get("uploads/" + std::to_string(upload) + "/body").body;
    EXPECT_EQ(head + c.content + tail, body);
    ++upload;
  }
  std::vector<std::string> journal = appliance.Journal();
  ASSERT_EQ(6u, journal.size());
  EXPECT_NE(std::string::npos, journal[1].find("ctype=\"multipart/form-data; boundary=jiminycricket\" "
                                               "cookie=\"FARLINK_ID=abc\""))
      << journal[1];
  EXPECT_NE(std::string::npos, journal[1].find("form=exact")) << journal[1];

  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.PostFile(L"/postauth/__EPClogfilesubmit", L"abc", L"C:\\no\\such.log"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.PostFile(L"", L"abc", L"C:\\windows\\win.ini"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.PostFile(L"/postauth/__EPClogfilesubmit", L"abc", nullptr));
  EXPECT_EQ(6u, appliance.Journal().size());
}

// The upload's cookie goes whole or not at all: a long one arrives as it was given, one that would end
// its header line or is over the maximum is refused before anything is sent.
TEST_F(TransportTest, PostFileCookieIsWholeOrRefused) {
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  ASSERT_EQ(0u, transport_.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
  ASSERT_EQ(0u, Exchange(transport_));
  TempFile file("log line\r\n");

  std::wstring long4000;
  for (int i = 0; i < 4000; ++i) long4000 += static_cast<wchar_t>(L'a' + i % 26);
  ASSERT_EQ(0u, transport_.PostFile(L"/postauth/__EPClogfilesubmit", long4000.c_str(), file.Path()));
  const std::string uploads = appliance.Get("uploads").body;
  EXPECT_NE(std::string::npos, uploads.find("\"cookie\": \"FARLINK_ID=" + test::Narrow(long4000) + "\""));

  const std::wstring longest(kMaxUploadCookieChars, L'x');
  const std::wstring tooLong = longest + L"x";
  const struct {
    const char* name;
    const wchar_t* cookie;
  } refused[] = {{"CR LF and a header", L"abc\r\nX-Injected: 1"},
                 {"LF alone", L"abc\nX-Injected: 1"},
                 {"CR alone", L"abc\r"},
                 {"one over the maximum", tooLong.c_str()}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, transport_.PostFile(L"/postauth/__EPClogfilesubmit", c.cookie, file.Path()));
  }
  EXPECT_EQ(2u, appliance.Journal().size());
  EXPECT_EQ(0u, transport_.PostFile(L"/postauth/__EPClogfilesubmit", longest.c_str(), file.Path()));
  EXPECT_EQ(3u, appliance.Journal().size());
}

// The proxy settings of the caller: the credential is kept as a copy, and with an address but no
// credential the first exchange looks for the one WinINet collected (none here: the request went direct).
TEST_F(TransportTest, ProxyCredentialIsCopiedOrCollected) {
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  RQCredential source(kCredentialTargetName, 0);
  ASSERT_EQ(0u, source.SetUserAndPassword(L"proxyuser", L"proxy secret"));
  {
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.SetProxy(L"proxy.example:8080", &source));
    source.Forget();  // the transport holds its own copy
    ASSERT_NE(nullptr, transport.GetProxyCredential());
    EXPECT_STREQ(L"proxyuser", transport.GetProxyCredential()->GetUserName());
    BYTE secret[64] = {};
    DWORD size = sizeof(secret);
    ASSERT_EQ(0u, transport.GetProxyCredential()->GetSecret(secret, &size, FALSE));
    EXPECT_STREQ(L"proxy secret", reinterpret_cast<const wchar_t*>(secret));
    ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
    EXPECT_EQ(0u, Exchange(transport));
    // An empty address keeps the credential object but forgets what it held.
    ASSERT_EQ(0u, transport.SetProxy(L"", nullptr));
    EXPECT_FALSE(transport.HasProxy());
    ASSERT_NE(nullptr, transport.GetProxyCredential());
    EXPECT_TRUE(transport.GetProxyCredential()->GetUserName().IsEmpty());
    ASSERT_EQ(0u, transport.SetProxyCredential(nullptr));
    EXPECT_EQ(nullptr, transport.GetProxyCredential());
  }
  LPRPCTransportWinINet transport(nullptr);
  ASSERT_EQ(0u, transport.SetProxy(L"proxy.example:8080", nullptr));
  ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), FALSE, nullptr, TRUE, 0, 0));
  EXPECT_EQ(0u, Exchange(transport));
  EXPECT_EQ(nullptr, transport.GetProxyCredential());
  EXPECT_EQ(2u, appliance.Calls(1).size());
}

// The transport takes its proxy from the process's settings, as a browser would; http_proxy names the
// test peer's proxy for this process while the object lives. Wine's WinINet reads the environment once
// per process, at its first session with the system's settings: ctest runs every case in a process of
// its own, and Routed() says whether the setting took.
class ProcessProxy {
 public:
  explicit ProcessProxy(int port) { _wputenv((L"http_proxy=127.0.0.1:" + std::to_wstring(port)).c_str()); }
  ~ProcessProxy() { _wputenv(L"http_proxy="); }
  ProcessProxy(const ProcessProxy&) = delete;
  ProcessProxy& operator=(const ProcessProxy&) = delete;

  static bool Routed() {
    UniqueInternet session(InternetOpenW(L"kesi-tests", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    BYTE buffer[1024] = {};
    DWORD size = sizeof(buffer);
    return session && InternetQueryOptionW(session.get(), INTERNET_OPTION_PROXY, buffer, &size) &&
           reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer)->dwAccessType == INTERNET_OPEN_TYPE_PROXY;
  }
};

// What the error dialog found on the request, and what it does: the real dialog, when the user types
// proxy credentials, stores them on the request and asks for a retry.
struct ProxyDialogScript {
  bool enterCredentials = false;
  int calls = 0;
  std::wstring user, password;  // the request's proxy credentials when the dialog was first shown
};
ProxyDialogScript g_proxyDialog;

std::wstring StringOption(HINTERNET request, DWORD option) {
  wchar_t text[256] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  return InternetQueryOptionW(request, option, text, &size) ? std::wstring(text) : L"<" + std::to_wstring(GetLastError()) + L">";
}

DWORD WINAPI ProxyDialog(HWND, HINTERNET request, DWORD, DWORD, LPVOID*) {
  if (g_proxyDialog.calls++ > 0) return 0;
  g_proxyDialog.user = StringOption(request, INTERNET_OPTION_PROXY_USERNAME);
  g_proxyDialog.password = StringOption(request, INTERNET_OPTION_PROXY_PASSWORD);
  if (!g_proxyDialog.enterCredentials) return 0;
  InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(test::kProxyUser),
                     static_cast<DWORD>(wcslen(test::kProxyUser)));
  InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(test::kProxyPassword),
                     static_cast<DWORD>(wcslen(test::kProxyPassword)));
  return ERROR_INTERNET_FORCE_RETRY;
}

// A proxy that answers 407 until Basic credentials come, in front of a real appliance. Without dialogs
// the 407 is the result (12023); with them it is 1223 once the dialog changed nothing more. A credential
// the caller gave is what WinINet holds for the proxy; one the dialog collected is taken into the
// transport after the first exchange. (The request flags say "no automatic authentication", and Wine's
// WinINet then answers no challenge itself, so the tunnel stays refused here either way.)
TEST_F(TransportTest, ProxyChallengeWithAndWithoutCredentials) {
  test::Peer peer;
  ASSERT_TRUE(peer.ready());
  Appliance appliance;
  ASSERT_EQ("", appliance.Error());
  ProcessProxy routed(peer.Port("proxy"));
  if (!ProcessProxy::Routed())
    GTEST_SKIP() << "skipped: this process read its proxy settings before the test set them; run the case in a "
                    "process of its own (as ctest does)";
  GetTransportSeams().errorDialog = ProxyDialog;
  const std::wstring proxy = L"127.0.0.1:" + std::to_wstring(peer.Port("proxy"));
  RQCredential given(kCredentialTargetName, 0);
  ASSERT_EQ(0u, given.SetUserAndPassword(test::kProxyUser, test::kProxyPassword));

  enum Flags { kNone = 0, kGiveCredential = 1, kAllowDialogs = 2, kDialogEntersCredentials = 4 };
  struct Case {
    const char* name;
    int flags;
    DWORD result;
    const wchar_t* heldUser;      // what the request held for the proxy when the dialog came (dialogs only)
    const wchar_t* heldPassword;
    const wchar_t* capturedUser;  // the transport's proxy credential afterwards, or null for none
  } cases[] = {
      {"no credential, no dialogs", kNone, ERROR_INTERNET_NO_DIRECT_ACCESS, nullptr, nullptr, nullptr},
      {"credential given", kGiveCredential | kAllowDialogs, ERROR_CANCELLED, test::kProxyUser, test::kProxyPassword,
       test::kProxyUser},
      {"credential entered in the dialog", kAllowDialogs | kDialogEntersCredentials, ERROR_CANCELLED, L"", L"",
       test::kProxyUser},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_proxyDialog = ProxyDialogScript();
    g_proxyDialog.enterCredentials = (c.flags & kDialogEntersCredentials) != 0;
    const size_t journalled = peer.ProxyJournal().size();
    LPRPCTransportWinINet transport(nullptr);
    ASSERT_EQ(0u, transport.SetProxy(proxy.c_str(), (c.flags & kGiveCredential) ? &given : nullptr));
    ASSERT_EQ(0u, transport.Open(appliance.Server().c_str(), (c.flags & kAllowDialogs) ? TRUE : FALSE, nullptr, TRUE,
                                 0, 0));
    EXPECT_EQ(c.result, Exchange(transport));

    const std::vector<std::string> journal = peer.ProxyJournal();
    ASSERT_LT(journalled, journal.size()) << "the exchange did not go through the proxy";
    EXPECT_EQ(0u, journal[journalled].find("CONNECT 127.0.0.1:" + std::to_string(appliance.Port()) + " auth="))
        << journal[journalled];
    if (c.flags & kAllowDialogs) {
      EXPECT_EQ(std::wstring(c.heldUser), g_proxyDialog.user);
      EXPECT_EQ(std::wstring(c.heldPassword), g_proxyDialog.password);
    }
    RQCredential* held = transport.GetProxyCredential();
    if (!c.capturedUser) {
      EXPECT_EQ(nullptr, held);
      continue;
    }
    ASSERT_NE(nullptr, held);
    EXPECT_STREQ(c.capturedUser, held->GetUserName());
    BYTE secret[64] = {};
    DWORD size = sizeof(secret) - sizeof(wchar_t);
    ASSERT_EQ(0u, held->GetSecret(secret, &size, FALSE));
    EXPECT_STREQ(test::kProxyPassword, reinterpret_cast<const wchar_t*>(secret));
  }
  EXPECT_TRUE(appliance.Calls(1).empty());
}

void* NoMemory(size_t) { return nullptr; }

// Out of memory is 14: here the buffer that carries the proxy password to WinINet cannot be had.
TEST_F(TransportTest, OutOfMemoryIs14) {
  RQCredential source(kCredentialTargetName, 0);
  ASSERT_EQ(0u, source.SetUserAndPassword(L"proxyuser", L"proxy secret"));
  ASSERT_EQ(0u, transport_.SetProxy(L"proxy.example:8080", &source));
  GetTransportSeams().allocate = NoMemory;
  EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), transport_.Open(L"127.0.0.1:1", FALSE, nullptr, TRUE, 0, 0));
}

TEST_F(TransportTest, NotOpenedAndUnsupportedOperations) {
  Utf8Buffer message = LogonCall();
  EXPECT_FALSE(transport_.IsConnected());
  EXPECT_NE(0u, transport_.Call(L"/__api__/__logon__", &message));
  EXPECT_EQ(ERROR_INVALID_STATE, transport_.Unsupported19());
  EXPECT_EQ(0u, transport_.Reserved15());
  EXPECT_FALSE(transport_.HasProxy());
  EXPECT_STREQ(L"", transport_.GetProxyAddress());
  EXPECT_EQ(0u, transport_.SetProxy(L"proxy.example:8080", nullptr));
  EXPECT_TRUE(transport_.HasProxy());
  EXPECT_STREQ(L"proxy.example:8080", transport_.GetProxyAddress());
  EXPECT_EQ(0u, transport_.SetProxy(nullptr, nullptr));
  EXPECT_FALSE(transport_.HasProxy());

  LPRPCTransport* made = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CreateTransport(nullptr, nullptr));
  ASSERT_EQ(0u, CreateTransport(&made, nullptr));
  ASSERT_NE(nullptr, made);
  delete made;
}

}  // namespace
}  // namespace kesi
