#pragma once
// The HTTPS transport of the logon interface: every exchange is a POST whose body is an encoded LPRPC
// call and whose reply body is the encoded reply; log files go up as a multipart form. The WinINet kind
// also does what an interactive browser would: proxy credentials, certificate warnings and the WinINet
// error dialogs.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstddef>
#include <memory>

#include "CertificatePolicy.h"
#include "Handles.h"
#include "RQCertificate.h"
#include "RQCredential.h"
#include "ServerName.h"
#include "Utf8Buffer.h"

namespace kesi {

class LogonAgent;
// A send attempt that fails after this long ends the exchange with ERROR_INTERNET_TIMEOUT.
constexpr DWORD kSendTimeLimitMs = 40000;
// Sends of one exchange's request. Errors that the send loop clears by itself (certificate errors, the
// dialog's "retry") would otherwise resend for ever when the server keeps causing them.
constexpr int kMaxSendsPerExchange = 16;

// Request flags of every exchange: reload, no cache write, TLS, keep-alive, no cookies kept by the
// library, no automatic authentication, no UI of WinINet's own.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH |
                                INTERNET_FLAG_NO_UI;
// The longest cookie value the log upload sends (characters). A longer one, or one that holds a CR or
// LF, is refused with ERROR_INVALID_PARAMETER (87) before anything is sent: it is never cut.
constexpr size_t kMaxUploadCookieChars = 8192;

// Security flags added to a request whose certificate errors are to be ignored.
constexpr DWORD kIgnoreCertificateFlags = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                          SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                          SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                          SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;

// The calls that a test replaces: the error dialog blocks without a user, the send cannot be made to
// fail in every way a server can, 40 seconds are too long to wait, and memory does not run out on
// request. The defaults are the real ones.
struct TransportSeams {
  DWORD(WINAPI* errorDialog)(HWND, HINTERNET, DWORD, DWORD, LPVOID*);
  BOOL(WINAPI* sendRequest)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD);
  // The send of an exchange whose server certificate is checked before its body goes (see Call).
  BOOL(WINAPI* sendRequestEx)(HINTERNET, LPINTERNET_BUFFERSW, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR);
  DWORD(WINAPI* tickCount)();
  // The transport's own buffers: bytes from ::operator new(bytes, std::nothrow), or null.
  void* (*allocate)(size_t bytes);
};
// The seams every transport of the process uses.
TransportSeams& GetTransportSeams();
// Puts the real calls back.
void ResetTransportSeams();

class LPRPCTransport {
 public:
  explicit LPRPCTransport(LogonAgent* owner) noexcept;
  LPRPCTransport(const LPRPCTransport&) = delete;
  LPRPCTransport& operator=(const LPRPCTransport&) = delete;

  // Virtual operations in their slot order. Results are Windows error codes (0 success).
  virtual ~LPRPCTransport();
  virtual bool IsConnected() = 0;
  virtual bool HasProxy();
  // The proxy address as UTF-16 (empty when none).
  virtual const wchar_t* GetProxyAddress();
  virtual RQCredential* GetProxyCredential();
  // The server of the current connection as it was given to Open ("host" or "host:port").
  virtual const wchar_t* GetServer();
  virtual RQCertificateInfo* GetSecondCertificate();
  // The certificate the server presented, captured after the first successful exchange and again on
  // every certificate error (which comes with a new handshake); or null.
  virtual RQCertificateInfo* GetServerCertificate();
  virtual DWORD SetUserAgent(const wchar_t* userAgent);
  // A copy of the certificate the caller trusts; null removes it.
  virtual DWORD SetTrustedCertificate(const RQCertificateInfo* certificate);
  virtual DWORD SetTrustedCertificate(PCCERT_CONTEXT context);
  // A non-empty address stores it and, given a source, replaces the proxy credential by a copy of it;
  // an empty (or null) address clears the address and forgets the credential's contents.
  virtual DWORD SetProxy(const wchar_t* address, const RQCredential* credentialSource);
  // Replaces the proxy credential by a copy of source; null removes it.
  virtual DWORD SetProxyCredential(const RQCredential* credentialSource);
  virtual DWORD CloseRequest() = 0;
  virtual DWORD Open(const wchar_t* host, BOOL allowUI, HWND parentWindow, BOOL ignoreCertificateErrors,
                     DWORD reserved1, DWORD reserved2) = 0;
  virtual DWORD Reserved15() { return 0; }
  virtual DWORD Close() = 0;
  // Uploads the file at filePath as a multipart form to path, with the cookie FARLINK_ID=cookie (87 for a
  // cookie over kMaxUploadCookieChars or with a CR or LF).
  virtual DWORD PostFile(const wchar_t* path, const wchar_t* cookie, const wchar_t* filePath) = 0;
  // One exchange: message holds the encoded call; on success it holds the reply body. A server
  // certificate that the pin policy or the session's pin refuses ends it with kCertificateRefused.
  virtual DWORD Call(const wchar_t* path, Utf8Buffer* message) = 0;
  virtual DWORD Unsupported19() { return ERROR_INVALID_STATE; }
  virtual DWORD Unsupported20() { return ERROR_INVALID_STATE; }
  virtual DWORD Unsupported21() { return ERROR_INVALID_STATE; }
  virtual DWORD Reserved22() { return 0; }

  // Starts a new certificate pin: the first server certificate accepted from now on is the only one
  // that later exchanges accept, until the next start or Close. The logon agent starts one at every
  // Connect, so that a logon session talks to one server.
  void StartCertificatePin() {
    pinArmed_ = true;
    pinned_ = false;
  }

 protected:
  // Replaces slot by a new credential for the proxy target holding a copy of source (null: none).
  DWORD ReplaceCredential(std::unique_ptr<RQCredential>& slot, const RQCredential* source);

  LogonAgent* owner_;
  Utf8Buffer server_;
  Utf8Buffer userAgent_;
  BOOL proxyInspected_ = FALSE;
  Utf8Buffer proxyAddress_;
  std::unique_ptr<RQCredential> proxyCredential_;
  std::unique_ptr<RQCertificateInfo> secondCertificate_;
  std::unique_ptr<RQCertificateInfo> serverCertificate_;
  std::unique_ptr<RQCertificateInfo> trustedCertificate_;
  bool pinArmed_ = false;
  bool pinned_ = false;
  ServerCertificateIdentity pin_;
};

class LPRPCTransportWinINet : public LPRPCTransport {
 public:
  explicit LPRPCTransportWinINet(LogonAgent* owner) noexcept;
  ~LPRPCTransportWinINet() override;

  bool IsConnected() override;
  DWORD CloseRequest() override;
  DWORD Open(const wchar_t* host, BOOL allowUI, HWND parentWindow, BOOL ignoreCertificateErrors, DWORD reserved1,
             DWORD reserved2) override;
  DWORD Close() override;
  DWORD PostFile(const wchar_t* path, const wchar_t* cookie, const wchar_t* filePath) override;
  DWORD Call(const wchar_t* path, Utf8Buffer* message) override;

  // Slots of this kind only.
  // Captures the proxy credentials WinINet collected (first request only) and the server certificate.
  virtual DWORD AfterRequest();
  // 1 when the server's certificate matches the trusted one, else 0.
  virtual BOOL IsServerTrusted();
  // Reads WinINet's last response information (extended) and drops it; 14 without memory, else 0.
  virtual DWORD ReportError(DWORD code, const char* operationName, BOOL extended);

 private:
  DWORD OpenRequest(const wchar_t* path, const wchar_t* const* acceptTypes, DWORD_PTR context);
  DWORD SendLoop(const void* body, DWORD length, bool headersFirst);
  DWORD SetIgnoreCertificateFlags();
  // The policy and the session's pin against the certificate of the request's connection; pins it when
  // a pin is started and none is held yet. 0 or kCertificateRefused (traced).
  DWORD CheckServerCertificate();
  DWORD SendCheckedBody(const void* body, DWORD length);
  void FinishRefusedRequest(DWORD announced);
  DWORD MapStatus();
  DWORD ReadBody(Utf8Buffer* message);
  DWORD CaptureProxyCredential();
  DWORD CaptureServerCertificate();
  DWORD WritePart(const void* bytes, DWORD length, const char* operationName);

  BOOL ignoreCertificateErrors_ = FALSE;
  CertificatePolicy policy_;  // read at the start of every exchange
  BOOL allowUI_ = FALSE;
  HWND parentWindow_ = nullptr;
  UniqueInternet root_;
  UniqueInternet connection_;
  UniqueInternet request_;
};

// Makes the transport of an agent: 0, 87 for a null out, 14 without memory.
DWORD CreateTransport(LPRPCTransport** out, LogonAgent* owner);

}  // namespace kesi
