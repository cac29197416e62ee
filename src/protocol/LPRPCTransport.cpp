#include "LPRPCTransport.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "CookieList.h"
#include "LastError.h"
#include "ReplyLimit.h"
#include "SecureWipe.h"

namespace kesi {

namespace {

constexpr char kBaseUserAgent[] = "Velmora Connect LPRPC Transport Utility";
constexpr wchar_t kWinINetUserAgent[] = L"Velmora Connect LPRPC Transport Utility - WinINet";
constexpr wchar_t kLprpcContentType[] = L"application/lprpc; version=1.0";
constexpr wchar_t kLprpcContentTypeHeader[] = L"Content-Type: application/lprpc; version=1.0\r\n";
constexpr wchar_t kMultipartContentTypeHeader[] = L"Content-Type: multipart/form-data; boundary=jiminycricket";
constexpr char kMultipartHead[] =
    "--jiminycricket\r\nContent-Disposition: form-data; name=\"test\"; filename=\"text1.txt\"\r\n"
    "Content-Type: text/plain\r\n\r\n";
constexpr char kMultipartTail[] = "--jiminycricket--\r\n";
constexpr DWORD kFileChunk = 1024;
constexpr wchar_t kUploadCookieHeader[] = L"Cookie: FARLINK_ID=";
constexpr size_t kLengthTextChars = 64;  // room for a Content-Length value and its NUL
constexpr DWORD kErrorMaskCombinedSecCert = 2;  // INTERNET_ERROR_MASK_COMBINED_SEC_CERT
constexpr DWORD kIllegalMessage = 0x80090326;   // SEC_E_ILLEGAL_MESSAGE: no dialog for it
constexpr DWORD kDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

void* AllocateNothrow(size_t bytes) { return ::operator new(bytes, std::nothrow); }

TransportSeams DefaultSeams() {
  return TransportSeams{InternetErrorDlg, HttpSendRequestW, HttpSendRequestExW, GetTickCount, AllocateNothrow};
}

TransportSeams g_seams = DefaultSeams();

bool IsCertificateError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:   // 12037
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:     // 12038
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:  // 12039
    case ERROR_INTERNET_INVALID_CA:              // 12045
    case ERROR_INTERNET_SEC_CERT_ERRORS:         // 12055
    case ERROR_INTERNET_SEC_CERT_NO_REV:         // 12056
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:     // 12057
      return true;
    default:
      return false;
  }
}

// What an error that the dialog answered with 0 (or that no dialog was shown for) becomes.
DWORD AfterQuietDialog(DWORD error) {
  if (error == ERROR_INTERNET_INCORRECT_PASSWORD) return ERROR_CANCELLED;
  if (error < ERROR_INTERNET_SEC_CERT_DATE_INVALID) return error;
  switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:  // 12044
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
      return 0;
    default:
      return error;
  }
}

// A buffer of the transport's own, from the allocation seam; zeroed when it is made.
struct SeamDelete {
  void operator()(void* p) const noexcept { ::operator delete(p); }
};
template <typename T>
using SeamBuffer = std::unique_ptr<T[], SeamDelete>;

template <typename T>
SeamBuffer<T> AllocateBuffer(size_t count) {
  void* bytes = g_seams.allocate(count * sizeof(T));
  if (bytes) memset(bytes, 0, count * sizeof(T));
  return SeamBuffer<T>(static_cast<T*>(bytes));
}

// A zeroed buffer for a secret: zeroed again over its whole size before it is released.
template <typename T>
class WipedBuffer {
 public:
  WipedBuffer() = default;
  explicit WipedBuffer(size_t count) { Allocate(count); }
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;
  ~WipedBuffer() { Release(); }

  // False when memory runs out.
  bool Allocate(size_t count) {
    Release();
    buffer_ = AllocateBuffer<T>(count);
    count_ = buffer_ ? count : 0;
    return static_cast<bool>(buffer_);
  }
  T* get() const { return buffer_.get(); }
  explicit operator bool() const { return static_cast<bool>(buffer_); }

 private:
  void Release() {
    if (buffer_) SecureWipe(buffer_.get(), count_ * sizeof(T));
    buffer_.reset();
  }

  SeamBuffer<T> buffer_;
  size_t count_ = 0;
};

// What a failed query of a proxy credential gives when the call left no error of its own.
constexpr DWORD kQueryFailedWithoutError = ERROR_GEN_FAILURE;  // 31

// Reads a string option of a handle, size first, into text: NUL-terminated, wiped when it is released.
DWORD QueryStringOption(HINTERNET handle, DWORD option, WipedBuffer<wchar_t>& text) {
  DWORD size = 0;
  if (!InternetQueryOptionW(handle, option, nullptr, &size)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return error ? error : kQueryFailedWithoutError;
  }
  // Room for a terminator beyond what WinINet reports, whether it counts bytes or characters.
  const size_t cells = size / sizeof(wchar_t) + size + 1;
  if (!text.Allocate(cells)) return ERROR_OUTOFMEMORY;
  DWORD got = static_cast<DWORD>((cells - 1) * sizeof(wchar_t));
  if (!InternetQueryOptionW(handle, option, text.get(), &got)) return LastErrorOr(kQueryFailedWithoutError);
  return 0;
}

}  // namespace

TransportSeams& GetTransportSeams() { return g_seams; }

void ResetTransportSeams() { g_seams = DefaultSeams(); }

// ---- LPRPCTransport ------------------------------------------------------------------------------

LPRPCTransport::LPRPCTransport(LogonAgent* owner) noexcept : owner_(owner) { userAgent_.SetText(kBaseUserAgent); }

LPRPCTransport::~LPRPCTransport() = default;

bool LPRPCTransport::HasProxy() { return !proxyAddress_.IsEmpty() && proxyAddress_.GetText()[0] != 0; }

const wchar_t* LPRPCTransport::GetProxyAddress() {
  const wchar_t* text = proxyAddress_.GetWide();
  return text ? text : L"";
}

RQCredential* LPRPCTransport::GetProxyCredential() { return proxyCredential_.get(); }

const wchar_t* LPRPCTransport::GetServer() {
  const wchar_t* text = server_.GetWide();
  return text ? text : L"";
}

RQCertificateInfo* LPRPCTransport::GetSecondCertificate() { return secondCertificate_.get(); }

RQCertificateInfo* LPRPCTransport::GetServerCertificate() { return serverCertificate_.get(); }

DWORD LPRPCTransport::SetUserAgent(const wchar_t* userAgent) {
  userAgent_.SetWide(userAgent);
  return 0;
}

DWORD LPRPCTransport::SetTrustedCertificate(const RQCertificateInfo* certificate) {
  trustedCertificate_.reset();
  if (!certificate) return 0;
  trustedCertificate_.reset(new (std::nothrow) RQCertificateInfo());
  if (!trustedCertificate_) return ERROR_OUTOFMEMORY;
  return trustedCertificate_->CopyFrom(*certificate);
}

DWORD LPRPCTransport::SetTrustedCertificate(PCCERT_CONTEXT context) {
  trustedCertificate_.reset();
  if (!context) return 0;
  trustedCertificate_.reset(new (std::nothrow) RQCertificateInfo());
  if (!trustedCertificate_) return ERROR_OUTOFMEMORY;
  return trustedCertificate_->LoadFromContext(context);
}

DWORD LPRPCTransport::ReplaceCredential(std::unique_ptr<RQCredential>& slot, const RQCredential* source) {
  slot.reset();
  if (!source) return 0;
  slot.reset(new (std::nothrow) RQCredential(kCredentialTargetName, 0));
  if (!slot) return ERROR_OUTOFMEMORY;
  return slot->CopyFrom(*source);
}

DWORD LPRPCTransport::SetProxy(const wchar_t* address, const RQCredential* credentialSource) {
  if (address && *address) {
    if (DWORD error = static_cast<DWORD>(proxyAddress_.SetWide(address))) return error;
    return credentialSource ? ReplaceCredential(proxyCredential_, credentialSource) : 0;
  }
  proxyAddress_.Clear();
  if (proxyCredential_) proxyCredential_->Forget();
  return 0;
}

DWORD LPRPCTransport::SetProxyCredential(const RQCredential* credentialSource) {
  return ReplaceCredential(proxyCredential_, credentialSource);
}

// ---- LPRPCTransportWinINet -----------------------------------------------------------------------

LPRPCTransportWinINet::LPRPCTransportWinINet(LogonAgent* owner) noexcept : LPRPCTransport(owner) {
  userAgent_.SetWide(kWinINetUserAgent);
}

LPRPCTransportWinINet::~LPRPCTransportWinINet() {
  if (connection_) Close();
  root_.reset();
}

bool LPRPCTransportWinINet::IsConnected() { return static_cast<bool>(connection_); }

// Close and CloseRequest close the handle themselves rather than through the owner's reset: the
// result of the close is theirs.
DWORD LPRPCTransportWinINet::CloseRequest() {
  if (!request_) return 0;
  HINTERNET request = request_.release();
  return InternetCloseHandle(request) ? 0 : LastErrorOr(ERROR_INVALID_HANDLE);
}

DWORD LPRPCTransportWinINet::Close() {
  DWORD result = CloseRequest();
  serverCertificate_.reset();
  pinArmed_ = pinned_ = false;
  if (connection_) {
    HINTERNET connection = connection_.release();
    if (!InternetCloseHandle(connection) && !result) result = LastErrorOr(ERROR_INVALID_HANDLE);
  }
  return result;
}

DWORD LPRPCTransportWinINet::Open(const wchar_t* host, BOOL allowUI, HWND parentWindow, BOOL ignoreCertificateErrors,
                                  DWORD, DWORD) {
  if (!host || !*host) return ERROR_INVALID_PARAMETER;
  allowUI_ = allowUI;
  parentWindow_ = parentWindow;
  ignoreCertificateErrors_ = ignoreCertificateErrors;

  wchar_t hostName[INTERNET_MAX_HOST_NAME_LENGTH + 1];
  INTERNET_PORT port = kApplianceDefaultPort;
  if (DWORD error = SplitServerName(host, hostName, INTERNET_MAX_HOST_NAME_LENGTH + 1, &port)) return error;

  if (DWORD error = InternetAttemptConnect(0)) return error;
  DWORD state = 0;
  DWORD size = sizeof(state);
  if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, &size) ||
      !(state & INTERNET_STATE_CONNECTED)) {
    if (DWORD error = GetLastError()) return error;
  }

  if (!root_) {
    const wchar_t* agent = userAgent_.GetWide();
    root_.reset(InternetOpenW(agent ? agent : kWinINetUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root_) {
      DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      ReportError(error, "InternetOpen", TRUE);
      return error;
    }
  }

  // The server name compares with its port, so another port on the same host is another connection.
  if (!connection_ || lstrcmpiW(GetServer(), host) != 0) {
    if (DWORD error = static_cast<DWORD>(server_.SetWide(host))) return error;
    if (connection_) Close();
    connection_.reset(InternetConnectW(root_.get(), hostName, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0,
                                       reinterpret_cast<DWORD_PTR>(this)));
    if (!connection_) {
      DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      ReportError(error, "InternetConnect", TRUE);
      return error;
    }
  }

  if (HasProxy() && proxyCredential_) {
    const RQString& user = proxyCredential_->GetUserName();
    if (!user.IsEmpty()) {
      const wchar_t* name = user;
      InternetSetOptionW(connection_.get(), INTERNET_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(name),
                         static_cast<DWORD>(wcslen(name)));
      DWORD capacity = proxyCredential_->GetSecretSize() * 2;
      WipedBuffer<BYTE> secret(capacity + sizeof(wchar_t));
      if (!secret) return ERROR_OUTOFMEMORY;
      DWORD secretSize = capacity;
      const auto* password = reinterpret_cast<const wchar_t*>(secret.get());
      if (proxyCredential_->GetSecret(secret.get(), &secretSize, FALSE) == 0 && secretSize > 0 && password[0] != 0) {
        InternetSetOptionW(connection_.get(), INTERNET_OPTION_PROXY_PASSWORD, secret.get(),
                           static_cast<DWORD>(wcslen(password)));
      }
    }
  }
  return 0;
}

DWORD LPRPCTransportWinINet::OpenRequest(const wchar_t* path, const wchar_t* const* acceptTypes, DWORD_PTR context) {
  CloseRequest();
  request_.reset(HttpOpenRequestW(connection_.get(), L"POST", path, L"HTTP/1.1", nullptr,
                                  const_cast<const wchar_t**>(acceptTypes), kRequestFlags, context));
  if (!request_) return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  DWORD mask = kErrorMaskCombinedSecCert;
  if (!InternetSetOptionW(request_.get(), INTERNET_OPTION_ERROR_MASK, &mask, sizeof(mask)))
    return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  return 0;
}

DWORD LPRPCTransportWinINet::SetIgnoreCertificateFlags() {
  DWORD flags = 0;
  DWORD size = sizeof(flags);
  InternetQueryOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
  flags |= kIgnoreCertificateFlags;
  return InternetSetOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))
             ? 0
             : LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
}

// Sends the request; with headersFirst only its head (the body follows in SendCheckedBody, once the
// server's certificate has been checked).
DWORD LPRPCTransportWinINet::SendLoop(const void* body, DWORD length, bool headersFirst) {
  DWORD lastCleared = 0;
  bool lastSent = false;
  for (int attempt = 0; attempt < kMaxSendsPerExchange; ++attempt) {
    DWORD started = g_seams.tickCount();
    bool sent;
    if (headersFirst) {
      INTERNET_BUFFERSW buffers{};
      buffers.dwStructSize = sizeof(buffers);
      buffers.dwBufferTotal = length;
      sent = g_seams.sendRequestEx(request_.get(), &buffers, nullptr, 0, 0) != FALSE;
    } else {
      sent = g_seams.sendRequest(request_.get(), nullptr, 0, const_cast<void*>(body), length) != FALSE;
    }
    lastSent = sent;
    DWORD error = 0;
    if (!sent) {
      error = GetLastError();
      if (g_seams.tickCount() - started >= kSendTimeLimitMs) return ERROR_INTERNET_TIMEOUT;
      if (!error) error = ERROR_INTERNET_INTERNAL_ERROR;
    }

    bool toDialog = true;
    if (error == ERROR_INTERNET_OPERATION_CANCELLED || error == ERROR_INVALID_HANDLE) {
      error = ERROR_CANCELLED;
      toDialog = false;
    } else if (error == ERROR_CANCELLED || error == ERROR_INTERNET_TIMEOUT) {
      toDialog = false;
    } else if (IsCertificateError(error) && (policy_.enforced || IsServerTrusted() || ignoreCertificateErrors_)) {
      // Under the pin policy the certificate is judged by its hash once the handshake has gone through
      // (CheckServerCertificate), whatever its errors.
      if (SetIgnoreCertificateFlags() == 0) {
        lastCleared = error;
        error = 0;
        toDialog = false;
      }
    } else if (headersFirst && sent) {
      toDialog = false;  // no answer yet: the status is read after the body
    }

    if (allowUI_ && toDialog) {
      if (!parentWindow_ || !IsWindow(parentWindow_)) parentWindow_ = GetDesktopWindow();
      DWORD answer = 0;
      if (error != kIllegalMessage) {
        answer = g_seams.errorDialog(parentWindow_, request_.get(), error, kDialogFlags, nullptr);
      }
      if (answer == ERROR_INTERNET_FORCE_RETRY) {
        lastCleared = error;
        continue;
      }
      if (answer != 0) {
        error = answer;
      } else {
        DWORD before = error;
        error = AfterQuietDialog(error);
        if (before && !error) lastCleared = before;
      }
    }

    if (sent || error) return error;
  }
  // Every attempt was retried. After a send that went through, the response's status tells the outcome
  // (a challenge answered wrongly again and again ends as its status); otherwise the error that kept
  // coming back is the result rather than a loop without end.
  if (lastSent) return 0;
  return lastCleared ? lastCleared : ERROR_INTERNET_TIMEOUT;
}

DWORD LPRPCTransportWinINet::MapStatus() {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
    return LastErrorOr(ERROR_HTTP_HEADER_NOT_FOUND);
  switch (status) {
    case HTTP_STATUS_OK:
      return 0;
    case HTTP_STATUS_DENIED:
      return ERROR_INTERNET_LOGIN_FAILURE;  // 401 -> 12015
    case HTTP_STATUS_NOT_FOUND:
      return ERROR_INTERNET_ITEM_NOT_FOUND;  // 404 -> 12028
    case HTTP_STATUS_PROXY_AUTH_REQ:
      return allowUI_ ? ERROR_CANCELLED : ERROR_INTERNET_NO_DIRECT_ACCESS;  // 407 -> 1223 or 12023
    case HTTP_STATUS_SERVER_ERROR:
      return ERROR_INTERNET_EXTENDED_ERROR;  // 500 -> 12004
    default:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;  // 12152
  }
}

DWORD LPRPCTransportWinINet::ReadBody(Utf8Buffer* message) {
  // The announced length is checked against the cap before anything is allocated, and no more than it
  // is read, however much the server sends.
  wchar_t text[kLengthTextChars] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    const DWORD error = LastErrorOr(ERROR_HTTP_HEADER_NOT_FOUND);
    return error == ERROR_INSUFFICIENT_BUFFER ? ERROR_HTTP_INVALID_SERVER_RESPONSE : error;
  }
  uint32_t length = 0;
  switch (ReadAnnouncedLength(text, size / sizeof(wchar_t), &length)) {
    case ReplyLength::kFits: break;
    case ReplyLength::kTooLarge: return kReplyTooLarge;
    default: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  }
  Utf8Buffer body;
  uint8_t* data = body.Allocate(length);
  if (!data) return ERROR_OUTOFMEMORY;
  DWORD got = 0;
  while (got < length) {
    DWORD n = 0;
    if (!InternetReadFile(request_.get(), data + got, length - got, &n)) {
      DWORD error = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
      ReportError(error, "InternetReadFile", TRUE);
      return error;
    }
    if (n == 0) break;
    got += n;
  }
  body.Truncate(got);
  *message = std::move(body);
  return 0;
}

DWORD LPRPCTransportWinINet::CheckServerCertificate() {
  if (!policy_.enforced && !pinArmed_) return 0;
  ServerCertificateIdentity current;
  if (DWORD error = QueryServerCertificate(request_.get(), current)) return error;
  if (!PolicyAccepts(policy_, current)) {
    TraceRefusedCertificate(L"not listed by the appliance pin policy", current);
    return kCertificateRefused;
  }
  if (pinned_ && !SameCertificate(current, pin_)) {
    TraceRefusedCertificate(L"not the certificate of this logon session", current);
    return kCertificateRefused;
  }
  if (pinArmed_ && !pinned_ && current.hasInfo) {
    if (DWORD error = CopyIdentity(pin_, current)) return error;
    pinned_ = true;
  }
  return 0;
}

// A request refused after its head went out still owes the server the announced number of bytes: a
// kept-alive connection left short would carry the next request as this one's body. Zeros stand in for
// the body, and the answer is read and dropped.
void LPRPCTransportWinINet::FinishRefusedRequest(DWORD announced) {
  char zeros[kFileChunk] = {};
  while (announced > 0) {
    const DWORD piece = announced < kFileChunk ? announced : kFileChunk;
    DWORD written = 0;
    if (!InternetWriteFile(request_.get(), zeros, piece, &written)) return;
    announced -= piece;
  }
  HttpEndRequestW(request_.get(), nullptr, 0, 0);
}

DWORD LPRPCTransportWinINet::SendCheckedBody(const void* body, DWORD length) {
  if (DWORD error = CheckServerCertificate()) {
    if (error == kCertificateRefused) FinishRefusedRequest(length);
    return error;
  }
  if (length) {
    if (DWORD error = WritePart(body, length, "InternetWriteFile")) return error;
  }
  if (!HttpEndRequestW(request_.get(), nullptr, 0, 0)) {
    DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    ReportError(error, "HttpEndRequest", TRUE);
    return error;
  }
  return 0;
}

DWORD LPRPCTransportWinINet::Call(const wchar_t* path, Utf8Buffer* message) {
  if (!message || !path || !*path) return ERROR_INVALID_PARAMETER;
  if (!connection_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  static const wchar_t* const kAccept[] = {kLprpcContentType, nullptr};
  DWORD result = OpenRequest(path, kAccept, reinterpret_cast<DWORD_PTR>(this));
  if (!result &&
      !HttpAddRequestHeadersW(request_.get(), kLprpcContentTypeHeader, static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD))
    result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  // Under the pin policy, and once the session's pin is held, the certificate is checked before the
  // body goes, so that a server that is refused never receives it.
  policy_ = ReadCertificatePolicy();
  const bool headersFirst = policy_.enforced || pinned_;
  if (!result) result = SendLoop(message->GetData(), message->GetLength(), headersFirst);
  if (!result) result = headersFirst ? SendCheckedBody(message->GetData(), message->GetLength()) : CheckServerCertificate();
  if (!result) result = AfterRequest();
  if (!result) result = MapStatus();
  if (!result) result = ReadBody(message);
  CloseRequest();
  return result;
}

DWORD LPRPCTransportWinINet::WritePart(const void* bytes, DWORD length, const char* operationName) {
  DWORD written = 0;
  if (!InternetWriteFile(request_.get(), bytes, length, &written)) {
    DWORD error = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
    ReportError(error, operationName, TRUE);
    return error;
  }
  return 0;
}

DWORD LPRPCTransportWinINet::PostFile(const wchar_t* path, const wchar_t* cookie, const wchar_t* filePath) {
  if (!filePath || !*filePath || !path || !*path) return ERROR_INVALID_PARAMETER;
  if (!connection_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  // The cookie goes into a header line: a line break in it would add headers of its own.
  if (!cookie) cookie = L"";
  const size_t cookieChars = wcsnlen(cookie, kMaxUploadCookieChars + 1);
  if (cookieChars > kMaxUploadCookieChars || HasLineBreak(std::wstring_view(cookie, cookieChars)))
    return ERROR_INVALID_PARAMETER;
  DWORD result = OpenRequest(path, nullptr, 0);
  if (!result && !HttpAddRequestHeadersW(request_.get(), kMultipartContentTypeHeader, static_cast<DWORD>(-1),
                                         HTTP_ADDREQ_FLAG_ADD))
    result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  if (!result) {
    const size_t prefixChars = sizeof(kUploadCookieHeader) / sizeof(wchar_t) - 1;
    const size_t headerChars = prefixChars + cookieChars + 3;  // CR, LF, NUL
    SeamBuffer<wchar_t> header = AllocateBuffer<wchar_t>(headerChars);
    if (!header) {
      result = ERROR_OUTOFMEMORY;
    } else {
      wmemcpy(header.get(), kUploadCookieHeader, prefixChars);
      wmemcpy(header.get() + prefixChars, cookie, cookieChars);
      wmemcpy(header.get() + prefixChars + cookieChars, L"\r\n", 3);
      if (!HttpAddRequestHeadersW(request_.get(), header.get(), static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD))
        result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    }
  }
  if (result) {
    CloseRequest();
    return result;
  }

  UniqueFile file(
      CreateFileW(filePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    CloseRequest();
    return ERROR_INVALID_PARAMETER;
  }
  // The body's length is announced before it is sent: a log that grows meanwhile is sent as it was.
  LARGE_INTEGER fileSize{};
  const DWORD textBytes = sizeof(kMultipartHead) - 1 + sizeof(kMultipartTail) - 1;
  if (!GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart > static_cast<LONGLONG>(MAXDWORD - textBytes)) {
    CloseRequest();
    return ERROR_INVALID_PARAMETER;
  }
  DWORD remaining = static_cast<DWORD>(fileSize.QuadPart);

  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof(buffers);
  buffers.dwBufferTotal = remaining + textBytes;
  policy_ = ReadCertificatePolicy();
  bool sent = HttpSendRequestExW(request_.get(), &buffers, nullptr, 0, 0) != FALSE;
  if (!sent) {
    result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    // Under the pin policy a certificate error is no reason to stop: the hash decides, below.
    if (policy_.enforced && IsCertificateError(result) && SetIgnoreCertificateFlags() == 0) {
      sent = HttpSendRequestExW(request_.get(), &buffers, nullptr, 0, 0) != FALSE;
      result = sent ? 0 : LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    }
    if (!sent) ReportError(result, "HttpSendRequestEx", TRUE);
  }
  // The file goes only to a server whose certificate the policy and the session's pin accept.
  if (!result) {
    result = CheckServerCertificate();
    if (result == kCertificateRefused) FinishRefusedRequest(buffers.dwBufferTotal);
  }
  if (!result) result = WritePart(kMultipartHead, sizeof(kMultipartHead) - 1, "InternetWriteFile");
  char chunk[kFileChunk];
  while (!result && remaining > 0) {
    DWORD want = remaining < kFileChunk ? remaining : kFileChunk;
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, want, &got, nullptr) || got == 0) {
      // A file that shrank would leave the announced length unfilled.
      result = got == 0 && GetLastError() == 0 ? ERROR_HANDLE_EOF : LastErrorOr(ERROR_READ_FAULT);
      ReportError(result, "ReadFile returned", TRUE);
      break;
    }
    remaining -= got;
    result = WritePart(chunk, got, "InternetWriteFile");
  }
  if (!result) result = WritePart(kMultipartTail, sizeof(kMultipartTail) - 1, "InternetWriteFile");
  if (!result && !HttpEndRequestW(request_.get(), nullptr, 0, 0)) {
    result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    ReportError(result, "HttpEndRequest", TRUE);
  }
  if (!result) result = MapStatus();
  CloseRequest();
  return result;
}

DWORD LPRPCTransportWinINet::CaptureProxyCredential() {
  WipedBuffer<wchar_t> user;
  if (DWORD error = QueryStringOption(request_.get(), INTERNET_OPTION_PROXY_USERNAME, user)) return error;
  if (user.get()[0] == 0) return 0;
  WipedBuffer<wchar_t> password;
  if (DWORD error = QueryStringOption(request_.get(), INTERNET_OPTION_PROXY_PASSWORD, password)) return error;
  proxyCredential_.reset(new (std::nothrow) RQCredential(kCredentialTargetName, 0));
  if (!proxyCredential_) return ERROR_OUTOFMEMORY;
  // The size WinINet reports for a text counts characters, not bytes: taken as a byte count it kept half
  // the password. The secret is the text's UTF-16 bytes with its NUL, as SetUserAndPassword stores it.
  const DWORD passwordBytes = static_cast<DWORD>((wcslen(password.get()) + 1) * sizeof(wchar_t));
  return proxyCredential_->Set(user.get(), reinterpret_cast<const BYTE*>(password.get()), passwordBytes);
}

DWORD LPRPCTransportWinINet::CaptureServerCertificate() {
  // A proxy that refused the tunnel (407) leaves no secure connection and so no certificate to capture;
  // Wine's WinINet faults when it is asked for one then.
  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr) &&
      status == HTTP_STATUS_PROXY_AUTH_REQ) {
    return 0;
  }
  DWORD size = 0;
  if (!InternetQueryOptionW(request_.get(), INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT, nullptr, &size) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return 0;  // no certificate to capture (yet): the server simply stays untrusted
  }
  if (size < sizeof(INTERNET_CERTIFICATE_INFO)) size = sizeof(INTERNET_CERTIFICATE_INFO);
  SeamBuffer<BYTE> raw = AllocateBuffer<BYTE>(size);
  if (!raw) return ERROR_OUTOFMEMORY;
  auto* info = reinterpret_cast<INTERNET_CERTIFICATE_INFO*>(raw.get());
  DWORD result = 0;
  if (InternetQueryOptionW(request_.get(), INTERNET_OPTION_SECURITY_CERTIFICATE_STRUCT, info, &size)) {
    serverCertificate_.reset(new (std::nothrow) RQCertificateInfo());
    if (!serverCertificate_)
      result = ERROR_OUTOFMEMORY;
    else
      serverCertificate_->LoadFromInternetInfo(info);
    for (void* text : {static_cast<void*>(info->lpszSubjectInfo), static_cast<void*>(info->lpszIssuerInfo),
                       static_cast<void*>(info->lpszProtocolName), static_cast<void*>(info->lpszSignatureAlgName),
                       static_cast<void*>(info->lpszEncryptionAlgName)}) {
      if (text) GlobalFree(text);
    }
  }
  return result;
}

DWORD LPRPCTransportWinINet::AfterRequest() {
  if (!request_) return 0;
  if (!proxyInspected_) {
    proxyInspected_ = TRUE;
    if (HasProxy() && !proxyCredential_) {
      if (DWORD error = CaptureProxyCredential()) return error;
    }
  }
  if (!serverCertificate_) return CaptureServerCertificate();
  return 0;
}

BOOL LPRPCTransportWinINet::IsServerTrusted() {
  // Asked on a certificate error, which comes with a new handshake: the certificate captured before may
  // be another one than the server presents now, so it is captured again.
  if (request_) serverCertificate_.reset();
  AfterRequest();
  if (serverCertificate_ && trustedCertificate_) return serverCertificate_->Matches(trustedCertificate_.get()) ? TRUE : FALSE;
  return FALSE;
}

DWORD LPRPCTransportWinINet::ReportError(DWORD, const char*, BOOL extended) {
  if (!extended) return 0;
  DWORD code = 0;
  DWORD length = 0;
  InternetGetLastResponseInfoW(&code, nullptr, &length);
  SeamBuffer<wchar_t> text = AllocateBuffer<wchar_t>(length + 1);
  if (!text) return ERROR_OUTOFMEMORY;
  DWORD size = length + 1;
  InternetGetLastResponseInfoW(&code, text.get(), &size);
  return 0;
}

DWORD CreateTransport(LPRPCTransport** out, LogonAgent* owner) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = new (std::nothrow) LPRPCTransportWinINet(owner);
  return *out ? 0 : ERROR_OUTOFMEMORY;
}

}  // namespace kesi
