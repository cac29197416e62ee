#include "FileTransfer.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "CertificatePolicy.h"
#include "CookieList.h"
#include "Handles.h"
#include "InternetUrl.h"
#include "LastError.h"
#include "LocalPath.h"
#include "ReplyLimit.h"

namespace kesi {
namespace {

std::atomic<TransferErrorDialogFn> g_errorDialog{&InternetErrorDlg};
std::atomic<DWORD> g_waitSlice{1000};

constexpr int kMaxWaits = 31;                // waits of one slice before a pending step times out
constexpr DWORD kReadBufferSize = 8192;      // first size of the read buffer
constexpr DWORD kMaxReadBufferSize = 1 << 20;  // the buffer grows to what is available, up to this
constexpr DWORD kPostPieceSize = 1024;       // pieces of a posted body
constexpr DWORD kPostDrainSize = 1023;       // pieces of a post reply that is read and dropped
constexpr DWORD kHeaderBufferChars = 1024;   // first size of the raw-header buffer of a post
// A post's reply body or header block beyond kMaxReplyBytes (ReplyLimit.h); the same code as the logon
// transport's (LogonAgent.h).
// Sends of one transfer's request. Certificate consents, 12032 answers and credential answers all
// resend; this bounds them together so that a peer that keeps asking cannot hold the caller for ever.
constexpr int kMaxSendsPerTransfer = 10;
// What a consent in WinINet's error dialog allows: revocation, unknown CA, wrong name, expired.
constexpr DWORD kDialogConsentFlags = 0x3180;
// Under the pin policy every certificate error is passed over on a resend: the hash decides.
constexpr DWORD kPolicyIgnoreFlags = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                     SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

const wchar_t* kAcceptTypes[] = {L"image/gif",
                                 L"image/x-xbitmap",
                                 L"image/jpeg",
                                 L"image/pjpeg",
                                 L"application/octet-stream",
                                 L"application/vnd.ms-excel",
                                 L"application/msword",
                                 L"application/vnd.ms-powerpoint",
                                 L"*/*",
                                 nullptr};

// The SECURITY_FLAG_IGNORE_* flag that lets a resend pass the given send error, or 0.
DWORD SecurityFlagFor(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_INVALID_CA: return SECURITY_FLAG_IGNORE_UNKNOWN_CA;                // 12045
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return SECURITY_FLAG_IGNORE_CERT_CN_INVALID;  // 12038
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;  // 12037
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR: return SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;  // 12040
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR: return SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;  // 12039
    case ERROR_INTERNET_SEC_CERT_NO_REV:       // 12056
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:   // 12057
      return SECURITY_FLAG_IGNORE_REVOCATION;
    default: return 0;
  }
}

// Send errors about the server's certificate itself (not about redirects).
bool IsCertificateError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_ERRORS:   // 12055
    case ERROR_INTERNET_SEC_INVALID_CERT:  // 12169
      return true;
    default: return false;
  }
}

// Send errors for which a consent in the error dialog allows kDialogConsentFlags.
bool IsConsentError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
    case ERROR_INTERNET_MIXED_SECURITY:  // 12043
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
      return true;
    default: return false;
  }
}

// What the status callback may touch. It lives on the heap and is reference counted because WinINet
// may still call back, or finish a pending read into the buffer, after the transfer gave up on a step
// (time-out, cancel): the caller holds one reference, and every Internet handle whose context it is
// holds one until WinINet reports that handle closing.
class TransferState {
 public:
  // A new state holding the caller's reference; null when memory or the event cannot be had.
  static ComPtr<TransferState> Create(DWORD options, TransferProgressFn progress, void* context) {
    std::unique_ptr<TransferState> state(new (std::nothrow) TransferState(options, progress, context));
    if (!state) return {};
    state->event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    state->buffer_.reset(new (std::nothrow) BYTE[kReadBufferSize]);
    if (!state->event_ || !state->buffer_) return {};
    state->bufferSize_ = kReadBufferSize;
    ComPtr<TransferState> held;
    held.attach(state.release());
    return held;
  }

  void AddRef() { refs_.fetch_add(1); }
  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }
  DWORD_PTR context() { return reinterpret_cast<DWORD_PTR>(this); }

  // Calls the progress function unless another thread is in it. Returns false once the transfer is
  // cancelled; the cancel also wakes the caller's wait.
  bool Report() {
    if (enabled_.load() && !busy_.exchange(true)) {
      if (enabled_.load() &&
          !progress_(operation.load(), progressContext_, totalBytes.load(), doneBytes.load())) {
        enabled_ = false;
        cancelled_ = true;
        SetEvent(event_.get());
      }
      busy_ = false;
    }
    return !cancelled_.load();
  }
  bool cancelled() const { return cancelled_.load(); }

  // After this returns the progress function is never called again (the caller's context may go).
  void Detach() {
    enabled_ = false;
    while (busy_.load()) Sleep(1);
  }

  // Called before a WinINet call that may answer "pending". With acceptCreated, the wait also ends when
  // WinINet reports the new handle, and the call's own completion, when it comes, is ignored.
  void Arm(bool acceptCreated = false) {
    ResetEvent(event_.get());
    asyncError_ = 0;
    asyncResult_ = 0;
    createdHandle_ = nullptr;
    acceptCreated_ = acceptCreated;
  }
  HANDLE event() const { return event_.get(); }
  DWORD asyncError() const { return asyncError_; }
  DWORD_PTR asyncResult() const { return asyncResult_; }
  HINTERNET createdHandle() const { return createdHandle_.load(); }

  // Grows the read buffer to at least size bytes (bounded); false when memory runs out.
  bool ReserveBuffer(DWORD size) {
    if (size > kMaxReadBufferSize) size = kMaxReadBufferSize;
    if (size <= bufferSize_) return true;
    std::unique_ptr<BYTE[]> bigger(new (std::nothrow) BYTE[size]);
    if (!bigger) return false;
    buffer_ = std::move(bigger);
    bufferSize_ = size;
    return true;
  }
  BYTE* buffer() { return buffer_.get(); }
  DWORD bufferSize() const { return bufferSize_; }

  static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD infoLength);

  std::atomic<DWORD> operation{0};
  std::atomic<ULONGLONG> totalBytes{0};
  std::atomic<ULONGLONG> doneBytes{0};
  DWORD bytes = 0;  // the count a pending read or write fills in
  INTERNET_BUFFERSW sendBuffers{};  // read by a pending HttpSendRequestExW

 private:
  TransferState(DWORD options, TransferProgressFn progress, void* context)
      : options_(options), progress_(progress), progressContext_(context), enabled_(progress != nullptr) {}

  void Trace(DWORD status) {
    wchar_t line[128];
    FormatTransferTrace(operation.load(), status, line, 128);
    OutputDebugStringW(line);
  }

  std::atomic<LONG> refs_{1};
  const DWORD options_;
  const TransferProgressFn progress_;
  void* const progressContext_;
  std::atomic<bool> enabled_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> cancelled_{false};
  UniqueHandle event_;
  // Written by the callback thread before it sets the event, read by the caller after the wait.
  DWORD asyncError_ = 0;
  DWORD_PTR asyncResult_ = 0;
  std::atomic<HINTERNET> createdHandle_{nullptr};
  std::atomic<bool> acceptCreated_{false};
  std::atomic<bool> ignoreCompletion_{false};
  std::unique_ptr<BYTE[]> buffer_;
  DWORD bufferSize_ = 0;
};

void CALLBACK TransferState::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                            DWORD infoLength) {
  auto* state = reinterpret_cast<TransferState*>(context);
  if (!state) return;
  if (state->options_ & kTransferTrace) state->Trace(status);
  state->Report();
  switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED:
      if (info && infoLength >= sizeof(INTERNET_ASYNC_RESULT)) {
        auto made = static_cast<INTERNET_ASYNC_RESULT*>(info)->dwResult;
        state->createdHandle_ = reinterpret_cast<HINTERNET>(made);
        if (made && state->acceptCreated_.exchange(false)) {
          state->ignoreCompletion_ = true;
          state->asyncResult_ = made;
          state->asyncError_ = 0;
          SetEvent(state->event_.get());
        }
      }
      break;
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      if (state->ignoreCompletion_.exchange(false)) break;
      auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
      state->asyncResult_ = result ? result->dwResult : 0;
      state->asyncError_ = !result ? ERROR_INTERNET_INTERNAL_ERROR
                           : result->dwResult ? 0
                           : result->dwError ? result->dwError
                                             : ERROR_INTERNET_INTERNAL_ERROR;
      SetEvent(state->event_.get());
      break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING:
      state->Release();  // the handle's reference: WinINet sends nothing more for it
      break;
    default:
      break;
  }
}

// One transfer or post: the handles, the waits and the steps shared by HTTP, FTP and file copies.
class Transfer {
 public:
  Transfer(TransferRequest& request, TransferState* state) : request_(request), state_(state) {}
  ~Transfer() { CloseAll(); }

  DWORD Run();
  DWORD Post(const BYTE* body, DWORD bodyLength, const wchar_t* extraHeaders, wchar_t* locationOut,
             DWORD locationSize);
  void CloseAll();

 private:
  void Step(DWORD operation) {
    request_.operation = operation;
    state_->operation = operation;
  }
  DWORD WaitPending();
  DWORD Complete(BOOL ok);
  template <typename Open>
  DWORD OpenHandle(UniqueInternet& handle, Open open, bool acceptCreated = false);
  void CloseHandle(UniqueInternet& handle, DWORD operation);

  DWORD OpenSession(const wchar_t* agent, DWORD access, const wchar_t* proxy, DWORD flags);
  // The pin policy against the certificate of the request's connection (HTTPS only): 0, or
  // kCertificateRefused (traced), which ends the transfer.
  DWORD CheckCertificate();
  // Sends zeros for the announced body of a refused request and drops the answer, so that a kept-alive
  // connection does not carry the next request as this one's body.
  void FinishRefused(ULONGLONG announced);
  DWORD StoreCookies();
  DWORD OpenHttpRequest(const wchar_t* verb, DWORD flags);
  template <typename SendOnce>
  DWORD SendWithRetries(SendOnce sendOnce);
  DWORD SendBody(HANDLE file, const BYTE* body, DWORD length);
  DWORD ReceiveToFile(HANDLE file);
  DWORD RunHttp();
  DWORD RunFtp();
  DWORD RunCopy();
  DWORD ReadLocation(wchar_t* locationOut, DWORD locationSize);
  static DWORD CALLBACK CopyProgress(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER,
                                     DWORD, DWORD, HANDLE, HANDLE, LPVOID context);

  TransferRequest& request_;
  TransferState* state_;
  ParsedUrl url_;
  UniqueInternet session_;
  UniqueInternet connection_;
  UniqueInternet handle_;  // the HTTP request or the FTP file
  bool async_ = false;          // the session was opened with INTERNET_FLAG_ASYNC
  CertificatePolicy policy_;    // read when the transfer starts
  bool refused_ = false;        // CheckCertificate refused the server
};

DWORD Transfer::WaitPending() {
  const DWORD slice = request_.waitWithoutLimit ? INFINITE : g_waitSlice.load();
  for (int waits = 0;;) {
    DWORD waited = WaitForSingleObject(state_->event(), slice);
    if (state_->cancelled()) return ERROR_CANCELLED;
    if (waited == WAIT_OBJECT_0) return state_->asyncError();
    if (waited != WAIT_TIMEOUT) return LastErrorOr(ERROR_INVALID_HANDLE);
    if (!state_->Report()) return ERROR_CANCELLED;
    if (++waits >= kMaxWaits) return WSAETIMEDOUT;
  }
}

// The result of a WinINet call made after Arm(): its own error, or the pending call's once it completes.
DWORD Transfer::Complete(BOOL ok) {
  DWORD error = ok ? ERROR_SUCCESS : LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  if (error == ERROR_IO_PENDING) error = WaitPending();
  if (!error && state_->cancelled()) error = ERROR_CANCELLED;
  return error;
}

// Makes a handle whose context is the state; the handle holds a reference to it until WinINet closes it.
template <typename Open>
DWORD Transfer::OpenHandle(UniqueInternet& handle, Open open, bool acceptCreated) {
  state_->AddRef();
  state_->Arm(acceptCreated);
  SetLastError(ERROR_SUCCESS);
  HINTERNET made = open();
  if (made) {
    handle.reset(made);
    return ERROR_SUCCESS;
  }
  DWORD error = GetLastError();
  // Wine's asynchronous FtpOpenFileW answers null without setting the error and delivers the handle
  // with the completion, as a pending call does.
  if (error == ERROR_IO_PENDING || (error == ERROR_SUCCESS && async_)) {
    error = WaitPending();
    if (error == WSAETIMEDOUT || error == ERROR_CANCELLED) return error;  // it may still come and close
    made = state_->asyncResult() ? reinterpret_cast<HINTERNET>(state_->asyncResult()) : state_->createdHandle();
    if (!error && made) {
      handle.reset(made);
      return ERROR_SUCCESS;
    }
    if (!error) error = ERROR_INTERNET_INTERNAL_ERROR;
  }
  if (!error) error = ERROR_INTERNET_INTERNAL_ERROR;
  state_->Release();
  return error;
}

void Transfer::CloseHandle(UniqueInternet& handle, DWORD operation) {
  if (!handle) return;
  Step(operation);
  handle.reset();
}

void Transfer::CloseAll() {
  CloseHandle(handle_, eInternetCloseRequest);
  CloseHandle(connection_, eInternetCloseConnection);
  CloseHandle(session_, eInternetCloseInternet);
}

DWORD Transfer::OpenSession(const wchar_t* agent, DWORD access, const wchar_t* proxy, DWORD flags) {
  Step(eInternetOpenUrl);
  session_.reset(InternetOpenW(agent, access, access == INTERNET_OPEN_TYPE_PROXY ? proxy : nullptr, nullptr, flags));
  if (!session_) return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  async_ = (flags & INTERNET_FLAG_ASYNC) != 0;
  if (InternetSetStatusCallbackW(session_.get(), &TransferState::StatusCallback) == INTERNET_INVALID_STATUS_CALLBACK)
    return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  return ERROR_SUCCESS;
}

DWORD Transfer::CheckCertificate() {
  if (!policy_.enforced || url_.scheme() != INTERNET_SCHEME_HTTPS) return ERROR_SUCCESS;
  ServerCertificateIdentity current;
  if (DWORD error = QueryServerCertificate(handle_.get(), current)) return error;
  if (PolicyAccepts(policy_, current)) return ERROR_SUCCESS;
  TraceRefusedCertificate(L"not listed by the appliance pin policy", current);
  refused_ = true;
  return kCertificateRefused;
}

void Transfer::FinishRefused(ULONGLONG announced) {
  memset(state_->buffer(), 0, state_->bufferSize());
  while (announced > 0) {
    const DWORD piece = static_cast<DWORD>(announced < state_->bufferSize() ? announced : state_->bufferSize());
    state_->bytes = 0;
    state_->Arm();
    if (Complete(InternetWriteFile(handle_.get(), state_->buffer(), piece, &state_->bytes))) return;
    announced -= piece;
  }
  state_->Arm();
  Complete(HttpEndRequestW(handle_.get(), nullptr, 0, state_->context()));
}

// Stores each cookie pair for the URL in WinINet's cookie store. With INTERNET_FLAG_NO_COOKIES WinINet
// neither reads nor writes that store, and the cookie string travels as a header instead (see
// OpenHttpRequest).
DWORD Transfer::StoreCookies() {
  if (!request_.cookies || !*request_.cookies || (request_.requestFlags & INTERNET_FLAG_NO_COOKIES))
    return ERROR_SUCCESS;
  try {
    // A cookie set for an HTTPS URL is a secure one: WinINet must not send it over plain HTTP.
    const bool secure = url_.scheme() == INTERNET_SCHEME_HTTPS;
    for (const CookiePair& pair : SplitCookies(request_.cookies)) {
      const std::wstring value = secure ? pair.second + L"; secure" : pair.second;
      if (!InternetSetCookieW(request_.url, pair.first.c_str(), value.c_str()))
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    }
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

DWORD Transfer::OpenHttpRequest(const wchar_t* verb, DWORD flags) {
  const bool secure = url_.scheme() == INTERNET_SCHEME_HTTPS;
  Step(eInternetConnect);
  DWORD error = OpenHandle(connection_, [&] {
    return InternetConnectW(session_.get(), url_.host(), url_.port(), *request_.user ? request_.user : nullptr,
                            *request_.password ? request_.password : nullptr, INTERNET_SERVICE_HTTP, 0,
                            state_->context());
  });
  if (error) return error;

  // The object is the path with the query (not the fragment): a URL's query selects what it names.
  std::wstring object;
  try {
    object = url_.path();
    if (!*url_.path()) object = L"/";
    const wchar_t* extra = url_.extra();
    if (*extra == L'?') object.append(extra, wcscspn(extra, L"#"));
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  Step(eHttpOpenRequest);
  error = OpenHandle(handle_, [&] {
    return HttpOpenRequestW(connection_.get(), verb, object.c_str(), L"HTTP/1.1", nullptr, kAcceptTypes,
                            flags | (secure ? INTERNET_FLAG_SECURE : 0), state_->context());
  });
  if (error) return error;

  if ((request_.requestFlags & INTERNET_FLAG_NO_COOKIES) && *request_.cookies) {
    try {
      std::wstring header = std::wstring(L"Cookie: ") + request_.cookies + L"\r\n";
      if (!HttpAddRequestHeadersW(handle_.get(), header.c_str(), static_cast<DWORD>(-1L),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    } catch (const std::bad_alloc&) {
      return ERROR_OUTOFMEMORY;
    }
  }
  return ERROR_SUCCESS;
}

// Sends the request until it is answered or fails for good: certificate problems that the caller allows
// are ignored on a resend, WinINet's error dialog may consent or ask for a retry, and a 401 or 407 is
// answered once with the credentials given. Then maps the HTTP status.
template <typename SendOnce>
DWORD Transfer::SendWithRetries(SendOnce sendOnce) {
  bool serverCredentialsUsed = false;
  bool proxyCredentialsUsed = false;
  for (int attempt = 1;; ++attempt) {
    Step(eHttpSendRequest);
    DWORD error = sendOnce();
    if (error == ERROR_CANCELLED || error == WSAETIMEDOUT || state_->cancelled() || refused_) return error;
    const bool lastAttempt = attempt >= kMaxSendsPerTransfer;

    if (error && policy_.enforced && IsCertificateError(error) && !lastAttempt) {
      DWORD flags = 0, size = sizeof(flags);
      InternetQueryOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
      if ((flags & kPolicyIgnoreFlags) != kPolicyIgnoreFlags) {
        flags |= kPolicyIgnoreFlags;
        if (InternetSetOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) continue;
      }
      return error;
    }

    if (error) {
      DWORD flag = SecurityFlagFor(error);
      DWORD flags = 0, size = sizeof(flags);
      if (flag && (request_.allowedSecurityFlags & flag) && !lastAttempt &&
          InternetQueryOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size) && !(flags & flag)) {
        flags |= flag;
        if (InternetSetOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) continue;
      }
      if ((request_.options & kTransferNoDialogs) || lastAttempt) return error;

      Step(eInternetErrorDlg);
      HWND parent = request_.ownerWindow && IsWindow(request_.ownerWindow) ? request_.ownerWindow : GetDesktopWindow();
      DWORD answer = g_errorDialog.load()(parent, handle_.get(), error,
                                          FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                              FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                          nullptr);
      if (answer == ERROR_INTERNET_FORCE_RETRY) continue;
      if (answer == ERROR_SUCCESS && IsConsentError(error)) {
        flags = 0;
        size = sizeof(flags);
        InternetQueryOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
        flags |= kDialogConsentFlags;
        if (InternetSetOptionW(handle_.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) continue;
      }
      return error;
    }

    Step(eHttpQueryInfo);
    DWORD status = 0, size = sizeof(status);
    if (!HttpQueryInfoW(handle_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    if (status == HTTP_STATUS_DENIED) {
      if (serverCredentialsUsed || lastAttempt || !request_.serverUser || !*request_.serverUser)
        return ERROR_INTERNET_INCORRECT_PASSWORD;
      serverCredentialsUsed = true;
      const wchar_t* secret = request_.serverPassword ? request_.serverPassword : L"";
      if (!InternetSetOptionW(handle_.get(), INTERNET_OPTION_USERNAME, const_cast<wchar_t*>(request_.serverUser),
                              static_cast<DWORD>(wcslen(request_.serverUser))) ||
          !InternetSetOptionW(handle_.get(), INTERNET_OPTION_PASSWORD, const_cast<wchar_t*>(secret),
                              static_cast<DWORD>(wcslen(secret))))
        return LastErrorOr(ERROR_INTERNET_INCORRECT_PASSWORD);
      continue;
    }
    if (status == HTTP_STATUS_PROXY_AUTH_REQ) {
      if (proxyCredentialsUsed || lastAttempt || !*request_.user || !*request_.password)
        return ERROR_INTERNET_INCORRECT_PASSWORD;
      proxyCredentialsUsed = true;
      if (!InternetSetOptionW(handle_.get(), INTERNET_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(request_.user),
                              static_cast<DWORD>(wcslen(request_.user))) ||
          !InternetSetOptionW(handle_.get(), INTERNET_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(request_.password),
                              static_cast<DWORD>(wcslen(request_.password))))
        return LastErrorOr(ERROR_INTERNET_INCORRECT_PASSWORD);
      continue;
    }
    if (status == HTTP_STATUS_NOT_FOUND) return ERROR_INTERNET_ITEM_NOT_FOUND;
    if (status >= 400) return ERROR_INTERNET_CANNOT_CONNECT;
    return ERROR_SUCCESS;
  }
}

// One send of a request with a body: the local file (from its start) or a memory block.
DWORD Transfer::SendBody(HANDLE file, const BYTE* body, DWORD length) {
  ULONGLONG total = length;
  if (file) {
    LARGE_INTEGER size{}, zero{};
    if (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, zero, nullptr, FILE_BEGIN))
      return LastErrorOr(ERROR_READ_FAULT);
    if (static_cast<ULONGLONG>(size.QuadPart) > 0xFFFFFFFFull) return ERROR_FILE_TOO_LARGE;
    total = static_cast<ULONGLONG>(size.QuadPart);
  }
  request_.totalBytes = total;
  state_->totalBytes = total;
  state_->doneBytes = 0;

  state_->sendBuffers = INTERNET_BUFFERSW{};
  state_->sendBuffers.dwStructSize = sizeof(INTERNET_BUFFERSW);
  state_->sendBuffers.dwBufferTotal = static_cast<DWORD>(total);
  state_->Arm();
  DWORD error = Complete(HttpSendRequestExW(handle_.get(), &state_->sendBuffers, nullptr, 0, state_->context()));
  if (error) return error;
  // Nothing of the body goes to a server that the pin policy refuses.
  if (DWORD refused = CheckCertificate()) {
    if (refused == kCertificateRefused) FinishRefused(total);
    return refused;
  }

  ULONGLONG done = 0;
  while (done < total) {
    DWORD piece = 0;
    if (file) {
      if (!ReadFile(file, state_->buffer(), state_->bufferSize(), &piece, nullptr))
        return LastErrorOr(ERROR_READ_FAULT);
      if (piece == 0) return ERROR_HANDLE_EOF;  // the file shrank while it was sent
    } else {
      piece = static_cast<DWORD>(total - done < kPostPieceSize ? total - done : kPostPieceSize);
      memcpy(state_->buffer(), body + done, piece);
    }
    Step(eInternetWriteFile);
    state_->bytes = 0;
    state_->Arm();
    error = Complete(InternetWriteFile(handle_.get(), state_->buffer(), piece, &state_->bytes));
    if (error) return error;
    done += piece;
    state_->doneBytes = done;
    if (!state_->Report()) return ERROR_CANCELLED;
  }
  request_.doneBytes = done;

  Step(eHttpSendRequest);
  state_->Arm();
  return Complete(HttpEndRequestW(handle_.get(), nullptr, 0, state_->context()));
}

// Reads what the request or FTP file delivers into file (or drops it when file is null), until a read
// returns nothing.
DWORD Transfer::ReceiveToFile(HANDLE file) {
  for (;;) {
    Step(eInternetQueryDataAvailable);
    state_->bytes = 0;
    state_->Arm();
    DWORD available = state_->bufferSize();
    if (InternetQueryDataAvailable(handle_.get(), &state_->bytes, 0, 0)) {
      if (state_->bytes) available = state_->bytes;
    } else if (DWORD error = Complete(FALSE)) {
      return error;
    }
    if (file && !state_->ReserveBuffer(available)) return ERROR_OUTOFMEMORY;
    DWORD want = file ? state_->bufferSize() : kPostDrainSize;
    if (available < want) want = available;

    Step(eInternetReadFile);
    state_->bytes = 0;
    state_->Arm();
    if (DWORD error = Complete(InternetReadFile(handle_.get(), state_->buffer(), want, &state_->bytes))) return error;
    DWORD got = state_->bytes;
    if (got == 0) return ERROR_SUCCESS;

    ULONGLONG done = state_->doneBytes.load() + got;
    state_->doneBytes = done;
    request_.doneBytes = done;
    if (!state_->Report()) return ERROR_CANCELLED;
    // A post's reply is not wanted, but a peer that never stops sending would hold the caller for ever.
    if (!file && CheckReceived(done) != ReplyLength::kFits) return kReplyTooLarge;
    if (file) {
      DWORD written = 0;
      if (!WriteFile(file, state_->buffer(), got, &written, nullptr) || written != got)
        return LastErrorOr(ERROR_WRITE_FAULT);
    }
  }
}

DWORD Transfer::RunHttp() {
  if (DWORD error = InternetAttemptConnect(0)) return error;
  if (DWORD error = OpenSession(request_.userAgent, request_.accessType, request_.proxyName, INTERNET_FLAG_ASYNC))
    return error;
  if (DWORD error = StoreCookies()) return error;
  const bool upload = request_.direction == kTransferUpload;
  if (DWORD error = OpenHttpRequest(upload ? L"PUT" : L"GET",
                                    request_.requestFlags | INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION))
    return error;

  if (upload) {
    UniqueFile file(CreateFileW(request_.localPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastErrorOr(ERROR_FILE_NOT_FOUND);
    return SendWithRetries([&] { return SendBody(file.get(), nullptr, 0); });
  }

  DWORD error = SendWithRetries([&] {
    state_->Arm();
    DWORD sent = Complete(HttpSendRequestW(handle_.get(), nullptr, 0, nullptr, 0));
    return sent ? sent : CheckCertificate();
  });
  if (error) return error;

  ULONGLONG announced = 0;
  if (!request_.totalBytes) {
    Step(eHttpQueryInfo);
    wchar_t length[32];
    DWORD size = sizeof(length);
    if (HttpQueryInfoW(handle_.get(), HTTP_QUERY_CONTENT_LENGTH, length, &size, nullptr))
      request_.totalBytes = announced = _wcstoui64(length, nullptr, 10);
  }
  state_->totalBytes = request_.totalBytes;
  state_->doneBytes = 0;
  UniqueFile file;
  if (!request_.localFile) {
    file.reset(CreateFileW(request_.localPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastErrorOr(ERROR_CANNOT_MAKE);
  }
  if (DWORD error = ReceiveToFile(request_.localFile ? request_.localFile : file.get())) return error;
  // WinINet ends the read quietly when the peer closes early: a body shorter than its announced length is
  // a broken download, not a file.
  if (announced && state_->doneBytes.load() != announced) return ERROR_HANDLE_EOF;
  return ERROR_SUCCESS;
}

DWORD Transfer::RunFtp() {
  if (DWORD error = OpenSession(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, INTERNET_FLAG_ASYNC)) return error;
  Step(eInternetConnect);
  DWORD error = OpenHandle(connection_, [&] {
    return InternetConnectW(session_.get(), url_.host(), url_.port(), *url_.user() ? url_.user() : nullptr,
                            *url_.password() ? url_.password() : nullptr, INTERNET_SERVICE_FTP,
                            INTERNET_FLAG_PASSIVE, state_->context());
  });
  if (error) return error;

  const bool upload = request_.direction == kTransferUpload;
  UniqueFile file(upload ? CreateFileW(request_.localPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)
                         : INVALID_HANDLE_VALUE);
  if (upload && !file) return LastErrorOr(ERROR_FILE_NOT_FOUND);

  const wchar_t* path = url_.path();
  while (*path == L'/') ++path;
  // Wine completes an asynchronous open for writing only when the data connection closes, after the
  // upload; the handle it reports at creation is ready for writing, so an upload goes on with that.
  Step(eFtpOpenFile);
  error = OpenHandle(
      handle_,
      [&] {
        return FtpOpenFileW(connection_.get(), path, upload ? GENERIC_WRITE : GENERIC_READ,
                            FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, state_->context());
      },
      upload);
  if (error) return error;

  if (!upload) {
    DWORD high = 0;
    DWORD low = FtpGetFileSize(handle_.get(), &high);
    if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR)
      request_.totalBytes = (static_cast<ULONGLONG>(high) << 32) | low;
    state_->totalBytes = request_.totalBytes;
    state_->doneBytes = 0;
    if (request_.localFile) return ReceiveToFile(request_.localFile);
    file.reset(CreateFileW(request_.localPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastErrorOr(ERROR_CANNOT_MAKE);
    return ReceiveToFile(file.get());
  }

  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size)) request_.totalBytes = static_cast<ULONGLONG>(size.QuadPart);
  state_->totalBytes = request_.totalBytes;
  state_->doneBytes = 0;
  for (;;) {
    DWORD piece = 0;
    if (!ReadFile(file.get(), state_->buffer(), state_->bufferSize(), &piece, nullptr))
      return LastErrorOr(ERROR_READ_FAULT);
    if (piece == 0) break;
    Step(eInternetWriteFile);
    state_->bytes = 0;
    state_->Arm();
    if (DWORD werror = Complete(InternetWriteFile(handle_.get(), state_->buffer(), piece, &state_->bytes))) return werror;
    ULONGLONG done = state_->doneBytes.load() + piece;
    state_->doneBytes = done;
    request_.doneBytes = done;
    if (!state_->Report()) return ERROR_CANCELLED;
  }
  // Closing the file handle finishes the upload on the server.
  CloseHandle(handle_, eInternetCloseRequest);
  return ERROR_SUCCESS;
}

DWORD CALLBACK Transfer::CopyProgress(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER,
                                      DWORD, DWORD, HANDLE, HANDLE, LPVOID context) {
  auto* self = static_cast<Transfer*>(context);
  self->request_.totalBytes = static_cast<ULONGLONG>(total.QuadPart);
  self->request_.doneBytes = static_cast<ULONGLONG>(done.QuadPart);
  self->state_->totalBytes = static_cast<ULONGLONG>(total.QuadPart);
  self->state_->doneBytes = static_cast<ULONGLONG>(done.QuadPart);
  return self->state_->Report() ? PROGRESS_CONTINUE : PROGRESS_CANCEL;
}

// "file:" URLs: a local copy. WinINet gives the path as it stands after "file://"; "file:///C:/x" style
// paths lose the slash before the drive, and forward slashes become backslashes.
// A host other than "localhost", or a path that reaches another machine or the device namespace, is
// refused before any file call: the URL comes from the appliance, and opening a share would sign on to
// the host it names with the user's network credentials.
DWORD Transfer::RunCopy() {
  if (*url_.host() && _wcsicmp(url_.host(), L"localhost") != 0) return ERROR_BAD_NETPATH;
  std::wstring source;
  try {
    const wchar_t* path = url_.path();
    if (path[0] == L'/' && iswalpha(path[1]) && (path[2] == L':' || path[2] == L'|')) ++path;
    source += path;
    for (auto& c : source) {
      if (c == L'/') c = L'\\';
    }
    if (source.size() > 1 && source[1] == L'|') source[1] = L':';
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (ClassifyLocalPath(source.c_str()) != PathKind::kLocal) return ERROR_BAD_NETPATH;
  Step(eFileCopyEx);
  if (CopyFileExW(source.c_str(), request_.localPath, &Transfer::CopyProgress, this, nullptr, 0)) {
    // Not every CopyFileExW calls its progress routine (Wine's does not); the sizes are known anyway.
    WIN32_FILE_ATTRIBUTE_DATA copied;
    if (!request_.doneBytes && GetFileAttributesExW(request_.localPath, GetFileExInfoStandard, &copied)) {
      request_.totalBytes = request_.doneBytes = (static_cast<ULONGLONG>(copied.nFileSizeHigh) << 32) | copied.nFileSizeLow;
    }
    return ERROR_SUCCESS;
  }
  return state_->cancelled() ? ERROR_CANCELLED : LastErrorOr(ERROR_CANNOT_COPY);
}

DWORD Transfer::Run() {
  if (DWORD error = url_.Parse(request_.url)) return error;
  policy_ = ReadCertificatePolicy();
  const bool fileDownload = request_.direction == kTransferDownload &&
                            (url_.scheme() == INTERNET_SCHEME_HTTP || url_.scheme() == INTERNET_SCHEME_HTTPS ||
                             url_.scheme() == INTERNET_SCHEME_FTP);
  if (request_.localFile && !fileDownload) return ERROR_INVALID_PARAMETER;
  switch (url_.scheme()) {
    case INTERNET_SCHEME_HTTP:
    case INTERNET_SCHEME_HTTPS: return RunHttp();
    case INTERNET_SCHEME_FILE: return RunCopy();
    case INTERNET_SCHEME_FTP: return RunFtp();
    default: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
}

// Copies the value of the first "Location: " line of the raw reply headers (at most locationSize - 1
// characters).
DWORD Transfer::ReadLocation(wchar_t* locationOut, DWORD locationSize) {
  Step(eHttpQueryInfo);
  DWORD chars = kHeaderBufferChars;
  std::unique_ptr<wchar_t[]> headers(new (std::nothrow) wchar_t[chars]);
  if (!headers) return ERROR_OUTOFMEMORY;
  DWORD bytes = chars * sizeof(wchar_t);
  if (!HttpQueryInfoW(handle_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, headers.get(), &bytes, nullptr)) {
    DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    if (CheckReceived(bytes) != ReplyLength::kFits) return kReplyTooLarge;
    chars = (bytes / sizeof(wchar_t) + 1) * 2;
    headers.reset(new (std::nothrow) wchar_t[chars]);
    if (!headers) return ERROR_OUTOFMEMORY;
    bytes = chars * sizeof(wchar_t);
    if (!HttpQueryInfoW(handle_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, headers.get(), &bytes, nullptr))
      return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
  }
  headers[chars - 1] = L'\0';

  for (const wchar_t* line = headers.get(); *line;) {
    size_t length = wcscspn(line, L"\r\n");
    if (length >= 10 && _wcsnicmp(line, L"Location: ", 10) == 0) {
      size_t copy = length - 10;
      if (copy > locationSize - 1) copy = locationSize - 1;
      wmemcpy(locationOut, line + 10, copy);
      locationOut[copy] = L'\0';
      break;
    }
    line += length;
    while (*line == L'\r' || *line == L'\n') ++line;
  }
  return ERROR_SUCCESS;
}

DWORD Transfer::Post(const BYTE* body, DWORD bodyLength, const wchar_t* extraHeaders, wchar_t* locationOut,
                     DWORD locationSize) {
  if (DWORD error = url_.Parse(request_.url)) return error;
  if (url_.scheme() != INTERNET_SCHEME_HTTP && url_.scheme() != INTERNET_SCHEME_HTTPS)
    return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  policy_ = ReadCertificatePolicy();
  request_.user = url_.user();  // a post connects with the URL's own credentials
  request_.password = url_.password();
  if (DWORD error = OpenSession(request_.userAgent, request_.accessType, nullptr, 0)) return error;
  if (DWORD error = StoreCookies()) return error;
  if (DWORD error = OpenHttpRequest(L"POST", request_.requestFlags | INTERNET_FLAG_NO_CACHE_WRITE)) return error;
  if (extraHeaders && *extraHeaders &&
      !HttpAddRequestHeadersW(handle_.get(), extraHeaders, static_cast<DWORD>(-1L), HTTP_ADDREQ_FLAG_ADD))
    return LastErrorOr(ERROR_INVALID_PARAMETER);

  if (DWORD error = SendWithRetries([&] { return SendBody(nullptr, body, bodyLength); })) return error;
  state_->doneBytes = 0;
  if (DWORD error = ReceiveToFile(nullptr)) return error;
  return locationOut ? ReadLocation(locationOut, locationSize) : ERROR_SUCCESS;
}

// The caller's view of a result: every form of "cancelled" is 1223.
DWORD FinalResult(DWORD error, const TransferState& state) {
  if (error == ERROR_INTERNET_OPERATION_CANCELLED || error == ERROR_INVALID_FUNCTION || state.cancelled())
    return ERROR_CANCELLED;
  return error;
}

// Runs body(transfer) with a fresh state and tears everything down before returning.
template <typename Body>
DWORD WithTransfer(TransferRequest& request, Body body) {
  ComPtr<TransferState> state = TransferState::Create(request.options, request.progress, request.progressContext);
  if (!state) return request.lastError = ERROR_OUTOFMEMORY;
  DWORD error;
  {
    Transfer transfer(request, state.get());
    error = body(transfer);
    const DWORD reached = request.operation;  // the caller learns the step that ended it, not the closing
    transfer.CloseAll();
    request.operation = reached;
  }
  error = FinalResult(error, *state.get());
  state->Detach();
  request.lastError = error;
  return error;
}

// DownloadFile and UploadFile: one transfer in the given direction, with limited waits.
DWORD TransferFile(DWORD direction, HWND ownerWindow, const wchar_t* url, const wchar_t* localPath,
                   DWORD allowedSecurityFlags, DWORD accessType, DWORD requestFlags, DWORD options,
                   TransferProgressFn progress, void* progressContext, const wchar_t* userAgent,
                   const wchar_t* cookies, const wchar_t* proxyName, const wchar_t* user,
                   const wchar_t* password, const wchar_t* serverUser, const wchar_t* serverPassword) {
  TransferRequest request;
  request.ownerWindow = ownerWindow;
  request.url = url;
  request.localPath = localPath;
  request.direction = direction;
  request.allowedSecurityFlags = allowedSecurityFlags;
  request.accessType = accessType;
  request.requestFlags = requestFlags;
  request.options = options;
  request.progress = progress;
  request.progressContext = progressContext;
  request.userAgent = userAgent;
  request.cookies = cookies;
  request.proxyName = proxyName;
  request.user = user;
  request.password = password;
  request.serverUser = serverUser;
  request.serverPassword = serverPassword;
  request.waitWithoutLimit = false;
  return RunTransfer(request);
}

}  // namespace

DWORD RunTransfer(TransferRequest& request) {
  request.operation = 0;
  request.totalBytes = request.doneBytes = 0;
  if (!request.url || !*request.url) return request.lastError = ERROR_INTERNET_INVALID_URL;
  if (!request.localFile && (!request.localPath || !*request.localPath)) return request.lastError = ERROR_INVALID_NAME;
  // Absent texts are empty texts from here on.
  if (!request.user) request.user = L"";
  if (!request.password) request.password = L"";
  if (!request.cookies) request.cookies = L"";
  // The cookie text ends up in a header: a line break in it would start one of its own.
  if (HasLineBreak(request.cookies)) return request.lastError = ERROR_INVALID_PARAMETER;
  try {
    return WithTransfer(request, [](Transfer& t) { return t.Run(); });
  } catch (...) {
    return request.lastError = ERROR_INTERNAL_ERROR;
  }
}

DWORD DownloadFile(HWND ownerWindow, const wchar_t* url, const wchar_t* localPath, DWORD allowedSecurityFlags,
                   DWORD accessType, DWORD requestFlags, DWORD options, TransferProgressFn progress,
                   void* progressContext, const wchar_t* userAgent, const wchar_t* cookies,
                   const wchar_t* proxyName, const wchar_t* user, const wchar_t* password,
                   const wchar_t* serverUser, const wchar_t* serverPassword) {
  return TransferFile(kTransferDownload, ownerWindow, url, localPath, allowedSecurityFlags, accessType,
                      requestFlags, options, progress, progressContext, userAgent, cookies, proxyName, user,
                      password, serverUser, serverPassword);
}

DWORD UploadFile(HWND ownerWindow, const wchar_t* url, const wchar_t* localPath, DWORD allowedSecurityFlags,
                 DWORD accessType, DWORD requestFlags, DWORD options, TransferProgressFn progress,
                 void* progressContext, const wchar_t* userAgent, const wchar_t* cookies,
                 const wchar_t* proxyName, const wchar_t* user, const wchar_t* password,
                 const wchar_t* serverUser, const wchar_t* serverPassword) {
  return TransferFile(kTransferUpload, ownerWindow, url, localPath, allowedSecurityFlags, accessType,
                      requestFlags, options, progress, progressContext, userAgent, cookies, proxyName, user,
                      password, serverUser, serverPassword);
}

DWORD PostTransfer(TransferRequest& request, const void* body, DWORD bodyLength, const wchar_t* extraHeaders,
                   wchar_t* locationOut, DWORD locationSize) {
  request.operation = 0;
  request.totalBytes = request.doneBytes = 0;
  if (locationOut) {
    if (!locationSize) return request.lastError = ERROR_INVALID_PARAMETER;
    wmemset(locationOut, L'\0', locationSize);
  }
  if (!request.url || !*request.url) return request.lastError = ERROR_INTERNET_INVALID_URL;
  if (!body && bodyLength) return request.lastError = ERROR_INVALID_PARAMETER;
  if (!request.cookies) request.cookies = L"";
  if (HasLineBreak(request.cookies) || (extraHeaders && !IsHeaderBlock(extraHeaders)))
    return request.lastError = ERROR_INVALID_PARAMETER;
  // The post points the credentials at the URL's own, which end with the transfer.
  const wchar_t* const user = request.user;
  const wchar_t* const password = request.password;
  DWORD error;
  try {
    error = WithTransfer(request, [&](Transfer& t) {
      return t.Post(static_cast<const BYTE*>(body), bodyLength, extraHeaders, locationOut, locationSize);
    });
  } catch (...) {
    error = request.lastError = ERROR_INTERNAL_ERROR;
  }
  request.user = user;
  request.password = password;
  return error;
}

DWORD PostBuffer(HWND ownerWindow, const wchar_t* url, const void* body, DWORD bodyLength, const wchar_t* cookies,
                 const wchar_t* extraHeaders, wchar_t* locationOut, DWORD locationSize,
                 DWORD allowedSecurityFlags, DWORD accessType, DWORD requestFlags, DWORD options,
                 TransferProgressFn progress, void* progressContext, const wchar_t* userAgent) {
  TransferRequest request;
  request.ownerWindow = ownerWindow;
  request.url = url;
  request.allowedSecurityFlags = allowedSecurityFlags;
  request.accessType = accessType;
  request.requestFlags = requestFlags;
  request.options = options;
  request.progress = progress;
  request.progressContext = progressContext;
  request.userAgent = userAgent;
  request.cookies = cookies;
  return PostTransfer(request, body, bodyLength, extraHeaders, locationOut, locationSize);
}

TransferErrorDialogFn SetTransferErrorDialog(TransferErrorDialogFn dialog) {
  return g_errorDialog.exchange(dialog ? dialog : &InternetErrorDlg);
}

DWORD SetTransferWaitSlice(DWORD milliseconds) { return g_waitSlice.exchange(milliseconds); }

}  // namespace kesi
