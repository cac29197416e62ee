#pragma once
// File transfer over WinINet: download by HTTP(S) GET, upload by HTTP(S) PUT, FTP get and put, a plain
// copy for "file:" URLs, and a POST of a memory buffer that reads back the reply's "Location: " header.
// Every call runs on the caller's thread; WinINet's callback thread only records completions.
// Results are Win32 or WinINet error codes, 0 on success; nothing is logged here (callers log).
#include <windows.h>
#include <wininet.h>

namespace kesi {

// The step a transfer is in; handed to the progress function and named in traces.
enum TransferOperation : DWORD {
  eInternetCloseInternet = 1,
  eInternetCloseRequest = 2,
  eInternetCloseConnection = 3,
  eInternetOpenUrl = 4,
  eInternetConnect = 5,
  eHttpOpenRequest = 6,
  eHttpSendRequest = 7,
  eHttpQueryInfo = 8,
  eInternetErrorDlg = 9,
  eInternetQueryDataAvailable = 10,  // traced as eUnknownOperation
  eInternetReadFile = 11,
  eFileCopyEx = 12,
  eInternetWriteFile = 13,
  eFtpOpenFile = 14,
};

enum TransferDirection : DWORD { kTransferDownload = 0, kTransferUpload = 1 };

// TransferRequest::options bits.
constexpr DWORD kTransferNoDialogs = 0x00000001;  // never show WinINet's error dialog
constexpr DWORD kTransferTrace = 0xF0000000;      // any of these: trace each status callback to the debugger

// Called with the current step, the caller's context, the size the peer announced (0 when unknown) and
// the bytes moved so far; returns false to cancel the transfer (which then ends with 1223). It may be
// called on WinINet's callback thread, but never twice at once.
using TransferProgressFn = bool (*)(DWORD operation, void* context, ULONGLONG totalBytes,
                                    ULONGLONG doneBytes);

// One transfer. The caller fills the first block; the last block reports how far it went.
struct TransferRequest {
  HWND ownerWindow = nullptr;        // parent of WinINet's error dialogs; the desktop window when null
  const wchar_t* url = nullptr;      // source (download) or target (upload)
  const wchar_t* localPath = nullptr;  // destination (download) or source (upload)
  // An HTTP(S) or FTP download may go to a file the caller holds open instead of localPath (which is then
  // not used): the data is written at the handle's position, and the handle stays the caller's. Any other
  // transfer with a handle gives 87.
  HANDLE localFile = nullptr;
  DWORD direction = kTransferDownload;
  DWORD allowedSecurityFlags = 0;    // SECURITY_FLAG_IGNORE_* problems that may be ignored on a retry
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  DWORD requestFlags = 0;            // INTERNET_FLAG_*; INTERNET_FLAG_NO_COOKIES sends cookies as a header
  DWORD options = 0;                 // kTransferNoDialogs, kTransferTrace
  TransferProgressFn progress = nullptr;
  void* progressContext = nullptr;
  const wchar_t* userAgent = nullptr;
  const wchar_t* cookies = nullptr;  // "name=value; name2=value2"
  const wchar_t* proxyName = nullptr;  // used with INTERNET_OPEN_TYPE_PROXY only
  const wchar_t* user = nullptr;     // given to the connect call; proxy credentials after a 407
  const wchar_t* password = nullptr;
  const wchar_t* serverUser = nullptr;  // server credentials after a 401
  const wchar_t* serverPassword = nullptr;
  bool waitWithoutLimit = false;     // wait for pending WinINet calls without the time-out

  DWORD operation = 0;               // the step reached
  ULONGLONG totalBytes = 0;          // size announced by the server (or FTP), 0 when unknown
  ULONGLONG doneBytes = 0;           // bytes moved
  DWORD lastError = 0;               // the result
};

// Runs one transfer: HTTP and HTTPS by GET or PUT, FTP by get or put, "file:" by a copy. An empty URL
// gives 12005, an empty local path 123, a scheme that is none of these 12006, cookies with a CR or LF 87
// (before anything is sent); cookies stored for an HTTPS URL are marked secure. A "file:" URL copies local
// files only: one with a host other than "localhost", or whose path is a network or device path
// (LocalPath.h), gives 53 (ERROR_BAD_NETPATH) without a file call. Under the appliance pin policy
// (CertificatePolicy.h) an HTTPS server whose certificate is not listed gives 12169 before any body goes
// or is read. HTTP 404 gives 12028, other
// answers of 400 or more 12029, a pending step that does not finish in time 10060, a cancel 1223, an HTTP
// body that ends before its announced Content-Length 38 (ERROR_HANDLE_EOF; what arrived stays in the
// local file). Memory shortage gives 14.
DWORD RunTransfer(TransferRequest& request);

// Posts bodyLength bytes of body to request.url as PostBuffer describes (87 also for extraHeaders that
// are not "Name: value" lines joined by CR LF), with the request's owner
// window, security flags, access type, request flags, options, progress function, user agent, cookies
// and wait mode; its local path, direction, proxy name and credentials are not used (a post connects
// with the URL's own credentials). Fills the request's last block as RunTransfer does.
DWORD PostTransfer(TransferRequest& request, const void* body, DWORD bodyLength, const wchar_t* extraHeaders,
                   wchar_t* locationOut, DWORD locationSize);

// The positional entries below are kept for outside callers; code in this tree fills a TransferRequest.

// Downloads url to localPath (direction 0, limited waits).
DWORD DownloadFile(HWND ownerWindow, const wchar_t* url, const wchar_t* localPath,
                   DWORD allowedSecurityFlags, DWORD accessType, DWORD requestFlags, DWORD options,
                   TransferProgressFn progress, void* progressContext, const wchar_t* userAgent,
                   const wchar_t* cookies, const wchar_t* proxyName, const wchar_t* user,
                   const wchar_t* password, const wchar_t* serverUser,
                   const wchar_t* serverPassword = nullptr);

// Uploads localPath to url (direction 1, limited waits).
DWORD UploadFile(HWND ownerWindow, const wchar_t* url, const wchar_t* localPath,
                 DWORD allowedSecurityFlags, DWORD accessType, DWORD requestFlags, DWORD options,
                 TransferProgressFn progress, void* progressContext, const wchar_t* userAgent,
                 const wchar_t* cookies, const wchar_t* proxyName, const wchar_t* user,
                 const wchar_t* password, const wchar_t* serverUser,
                 const wchar_t* serverPassword = nullptr);

// Posts bodyLength bytes of body to an HTTP or HTTPS url (any other scheme gives 12006) and, when
// locationOut is given, copies the value of the reply's "Location: " header into it: at most
// locationSize - 1 characters and a terminating NUL (locationSize counts characters; an empty text when
// the reply has no such header). The reply body is read and dropped. Cookies are stored for the URL, or
// sent as one "Cookie: " header with INTERNET_FLAG_NO_COOKIES; extraHeaders ("Name: value\r\n" lines) are
// added as they are. Returns the same codes as RunTransfer, and 4336 (ERROR_MESSAGE_EXCEEDS_MAX_SIZE) for a
// reply body or header block beyond kMaxReplyBytes (ReplyLimit.h).
DWORD PostBuffer(HWND ownerWindow, const wchar_t* url, const void* body, DWORD bodyLength,
                 const wchar_t* cookies, const wchar_t* extraHeaders, wchar_t* locationOut,
                 DWORD locationSize, DWORD allowedSecurityFlags, DWORD accessType, DWORD requestFlags,
                 DWORD options, TransferProgressFn progress, void* progressContext,
                 const wchar_t* userAgent);

// The trace line of one status callback: "<operation>: <INTERNET_STATUS_ name>\n" for a known status,
// else "<operation>: Status <number>\n". Writes at most size - 1 characters and a NUL.
void FormatTransferTrace(DWORD operation, DWORD status, wchar_t* out, size_t size);

// Seams for tests. Each setter returns the previous value; the defaults are InternetErrorDlg and 1000 ms.
using TransferErrorDialogFn = DWORD(WINAPI*)(HWND window, HINTERNET request, DWORD error, DWORD flags,
                                             LPVOID* data);
TransferErrorDialogFn SetTransferErrorDialog(TransferErrorDialogFn dialog);
// Length of one wait for a pending WinINet call; a step fails with 10060 after 31 such waits.
DWORD SetTransferWaitSlice(DWORD milliseconds);

}  // namespace kesi
