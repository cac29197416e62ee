// File transfer against real peers on loopback: transfer_peer.py (HTTP, HTTPS with a self-signed and an
// expired certificate, a port that never answers) and Debian's vsftpd, started by each test and stopped
// at its end.
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FileTransfer.h"
#include "Handles.h"
#include "InternetUrl.h"
#include "LoopbackShare.h"
#include "TestText.h"
#include "TransferPeer.h"

using namespace kesi;
using kesi::test::Pattern;
using kesi::test::TempFile;
using kesi::test::Peer;
using kesi::test::ReadAll;
using kesi::test::Widen;
using kesi::test::WriteWholeFile;

namespace {

constexpr DWORD kSelfSigned = SECURITY_FLAG_IGNORE_UNKNOWN_CA;

// A request with its own copy of the URL (TransferRequest only points at texts).
struct Job {
  Job(std::wstring u, const TempFile& local, DWORD direction = kTransferDownload) : url(std::move(u)) {
    r.url = url.c_str();
    r.localPath = local.Path();
    r.direction = direction;
    r.allowedSecurityFlags = kSelfSigned;
    r.options = kTransferNoDialogs;
    r.userAgent = L"Velmora Interrogator";
  }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  DWORD Run() { return RunTransfer(r); }

  std::wstring url;
  TransferRequest r;
};

// Records progress calls and fails the test's expectation if two ever overlap.
struct ProgressLog {
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> calls{0};
  std::atomic<ULONGLONG> lastDone{0};
  int cancelAfterBytes = -1;  // answer false once this many bytes have moved
  static bool Callback(DWORD operation, void* context, ULONGLONG total, ULONGLONG done) {
    auto* log = static_cast<ProgressLog*>(context);
    if (log->inside.fetch_add(1) != 0) log->overlapped = true;
    Sleep(0);
    log->calls++;
    log->lastDone = done;
    bool go = log->cancelAfterBytes < 0 || done < static_cast<ULONGLONG>(log->cancelAfterBytes);
    log->inside--;
    return go;
  }
};

class FileTransfer : public ::testing::Test {
 protected:
  void TearDown() override {
    SetTransferErrorDialog(nullptr);
    SetTransferWaitSlice(1000);
  }
};

// Download and upload over both schemes move the bytes exactly, report the sizes, and never run the
// progress function twice at once (it is called from WinINet's thread too).
TEST_F(FileTransfer, DownloadAndUploadOverHttpAndHttps) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  for (const char* server : {"http", "https"}) {
    SCOPED_TRACE(server);
    const size_t size = 300000;
    TempFile local("");
    ProgressLog log;
    Job downJob(peer.Url(server, L"/data/" + std::to_wstring(size)), local);
    TransferRequest& down = downJob.r;
    down.progress = &ProgressLog::Callback;
    down.progressContext = &log;
    ASSERT_EQ(0u, RunTransfer(down));
    EXPECT_EQ(Pattern(size), ReadAll(local.Path()));
    EXPECT_EQ(size, down.totalBytes);
    EXPECT_EQ(size, down.doneBytes);
    EXPECT_GT(log.calls.load(), 0);
    EXPECT_FALSE(log.overlapped.load());

    TempFile source("");
    std::string data = Pattern(70001);
    data[5] = 'x';
    ASSERT_TRUE(WriteWholeFile(source.Path(), data));
    std::wstring name = L"up-" + Widen(server);
    Job upJob(peer.Url(server, L"/upload/" + name), source, kTransferUpload);
    TransferRequest& up = upJob.r;
    ASSERT_EQ(0u, RunTransfer(up));
    EXPECT_EQ(data, ReadAll(peer.Path(L"uploads\\" + name)));
    EXPECT_EQ(data.size(), up.doneBytes);
  }
  // The download entry fixes the direction and gives the same result.
  TempFile local("");
  EXPECT_EQ(0u, DownloadFile(nullptr, peer.Url("https", L"/data/1000").c_str(), local.Path(), kSelfSigned,
                             INTERNET_OPEN_TYPE_PRECONFIG, 0, kTransferNoDialogs, nullptr, nullptr, L"agent",
                             nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(Pattern(1000), ReadAll(local.Path()));
}

TEST_F(FileTransfer, HttpStatusAndArgumentErrors) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  struct Case {
    const char* name;
    std::wstring url;
    const wchar_t* serverUser;
    DWORD expected;
  } cases[] = {
      {"404", peer.Url("http", L"/status/404"), nullptr, ERROR_INTERNET_ITEM_NOT_FOUND},
      {"500", peer.Url("http", L"/status/500"), nullptr, ERROR_INTERNET_CANNOT_CONNECT},
      {"403", peer.Url("https", L"/status/403"), nullptr, ERROR_INTERNET_CANNOT_CONNECT},
      {"401 without credentials", peer.Url("http", L"/auth/10"), nullptr, ERROR_INTERNET_INCORRECT_PASSWORD},
      {"401 answered once", peer.Url("http", L"/auth/10"), L"alice", 0},
      {"body cut short", peer.Url("http", L"/short/5000"), nullptr, ERROR_HANDLE_EOF},
      {"empty url", L"", nullptr, ERROR_INTERNET_INVALID_URL},
      {"unknown scheme", L"gopher://127.0.0.1/x", nullptr, ERROR_INTERNET_UNRECOGNIZED_SCHEME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile local("");
    Job rJob(c.url, local);
    TransferRequest& r = rJob.r;
    r.serverUser = c.serverUser;
    r.serverPassword = L"secret";
    EXPECT_EQ(c.expected, RunTransfer(r));
    if (!c.expected) {
      EXPECT_EQ(Pattern(10), ReadAll(local.Path()));
    }
  }
  TempFile unused("");
  Job noPath(peer.Url("http", L"/data/1"), unused);
  noPath.r.localPath = L"";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), noPath.Run());
}

DWORD WINAPI ConsentingDialog(HWND, HINTERNET, DWORD error, DWORD, LPVOID*) {
  return ERROR_SUCCESS;
}
DWORD WINAPI RefusingDialog(HWND, HINTERNET, DWORD, DWORD, LPVOID*) { return ERROR_CANCELLED; }
std::atomic<int> g_dialogCalls{0};
std::atomic<DWORD> g_dialogError{0};
DWORD WINAPI CountingConsent(HWND window, HINTERNET request, DWORD error, DWORD flags, LPVOID* data) {
  g_dialogCalls++;
  g_dialogError = error;
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(static_cast<DWORD>(FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                               FLAGS_ERROR_UI_FLAGS_GENERATE_DATA),
            flags);
  return ERROR_SUCCESS;
}

// Certificate problems pass only when the caller allows their flag, or when the error dialog consents.
// WinINet remembers per server what the process accepted, so the cases run in this order and a case that
// needs a server nobody accepted yet has its own (https-b, expired-b).
TEST_F(FileTransfer, CertificateProblemsNeedAllowedFlagsOrConsent) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  struct Case {
    const char* name;
    const char* server;
    DWORD allowed;
    DWORD options;
    TransferErrorDialogFn dialog;
    DWORD expected;
  } cases[] = {
      {"self-signed, not allowed", "https", 0, kTransferNoDialogs, nullptr, ERROR_INTERNET_INVALID_CA},
      {"self-signed, allowed", "https", kSelfSigned, kTransferNoDialogs, nullptr, 0},
      {"expired, only the CA allowed", "expired", kSelfSigned, kTransferNoDialogs, nullptr,
       ERROR_INTERNET_SEC_CERT_DATE_INVALID},
      {"expired, dialog refuses", "expired", kSelfSigned, 0, &RefusingDialog, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
      {"expired, both allowed", "expired", kSelfSigned | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID,
       kTransferNoDialogs, nullptr, 0},
      {"expired, dialog consents", "expired-b", 0, 0, &ConsentingDialog, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetTransferErrorDialog(c.dialog ? c.dialog : &RefusingDialog);
    TempFile local("");
    Job rJob(peer.Url(c.server, L"/data/5000"), local);
    TransferRequest& r = rJob.r;
    r.allowedSecurityFlags = c.allowed;
    r.options = c.options;
    EXPECT_EQ(c.expected, RunTransfer(r));
    if (!c.expected) {
      EXPECT_EQ(Pattern(5000), ReadAll(local.Path()));
    }
  }
  // The dialog sees the send error, with the filter-for-errors flags and a real window.
  g_dialogCalls = 0;
  SetTransferErrorDialog(&CountingConsent);
  TempFile local("");
  Job rJob(peer.Url("https-b", L"/data/10"), local);
    TransferRequest& r = rJob.r;
  r.allowedSecurityFlags = 0;
  r.options = 0;
  EXPECT_EQ(0u, RunTransfer(r));
  EXPECT_EQ(1, g_dialogCalls.load());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_CA), g_dialogError.load());
}

// Through a proxy that answers 407 until Basic credentials come: the transfer answers the challenge with
// the user and password it was given and gets the file; without them, or with a wrong password, it ends
// with 12014. The proxy's journal shows what reached it: requests without credentials (WinINet sends
// one more of them before it answers the challenge), then the given ones, and no others.
TEST_F(FileTransfer, ProxyChallengeIsAnsweredWithTheGivenCredentials) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  const std::wstring proxy = L"127.0.0.1:" + std::to_wstring(peer.Port("proxy"));
  const std::wstring url = peer.Url("http", L"/data/1000");
  const std::string request = "GET " + test::Narrow(url) + " auth=";
  struct Case {
    const char* name;
    const wchar_t* user;
    const wchar_t* password;
    DWORD expected;
    const char* last;  // the proxy's auth= of the last request; those before it carry none
  } cases[] = {
      {"no credentials", nullptr, nullptr, ERROR_INTERNET_INCORRECT_PASSWORD, "none"},
      {"wrong password", test::kProxyUser, L"guess", ERROR_INTERNET_INCORRECT_PASSWORD, "bad"},
      {"credentials given", test::kProxyUser, test::kProxyPassword, 0, "proxyuser"},
  };
  size_t journalled = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile local("");
    Job job(url, local);
    job.r.accessType = INTERNET_OPEN_TYPE_PROXY;
    job.r.proxyName = proxy.c_str();
    job.r.user = c.user;
    job.r.password = c.password;
    EXPECT_EQ(c.expected, job.Run());
    if (!c.expected) {
      EXPECT_EQ(Pattern(1000), ReadAll(local.Path()));
    }
    const std::vector<std::string> journal = peer.ProxyJournal();
    ASSERT_LT(journalled, journal.size());
    for (size_t i = journalled; i + 1 < journal.size(); ++i) EXPECT_EQ(request + "none", journal[i]);
    EXPECT_EQ(request + c.last, journal.back());
    journalled = journal.size();
  }
}

// A step that stays pending ends with 10060 after 31 waits; the slice is shortened for the test.
TEST_F(FileTransfer, ServerThatNeverAnswersTimesOut) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  SetTransferWaitSlice(100);
  TempFile local("");
  ProgressLog log;
  Job rJob(peer.Url("silent", L"/data/10"), local);
    TransferRequest& r = rJob.r;
  r.progress = &ProgressLog::Callback;
  r.progressContext = &log;
  DWORD start = GetTickCount();
  EXPECT_EQ(static_cast<DWORD>(WSAETIMEDOUT), RunTransfer(r));
  EXPECT_GE(GetTickCount() - start, 3000u);  // not before the 31 waits
  EXPECT_EQ(static_cast<DWORD>(eHttpSendRequest), r.operation);
  // Each wait that timed out consulted the progress function.
  EXPECT_GE(log.calls.load(), 30);
}

// A progress function that answers false ends every kind of network transfer with 1223, leaving the
// local file as far as it was written. (Wine's CopyFileExW never calls its progress routine, so a
// "file:" copy cannot be cancelled here.)
TEST_F(FileTransfer, ProgressFunctionCancels) {
  Peer peer(true);
  ASSERT_TRUE(peer.ready());
  TempFile bigLocal("");
  ASSERT_TRUE(WriteWholeFile(bigLocal.Path(), Pattern(2000000)));
  struct Case {
    const char* name;
    std::wstring url;
    DWORD direction;
  } cases[] = {
      {"http download", peer.Url("http", L"/data/2000000"), kTransferDownload},
      {"https upload", peer.Url("https", L"/upload/cancelled"), kTransferUpload},
      {"ftp download", peer.Url("ftp", L"/get.bin"), kTransferDownload},
      {"ftp upload", peer.Url("ftp", L"/cancelled.bin"), kTransferUpload},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile target("");
    const TempFile& local = c.direction == kTransferUpload ? bigLocal : target;
    ProgressLog log;
    log.cancelAfterBytes = 1;
    Job rJob(c.url, local, c.direction);
    TransferRequest& r = rJob.r;
    r.progress = &ProgressLog::Callback;
    r.progressContext = &log;
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), RunTransfer(r));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), r.lastError);
    if (c.direction == kTransferDownload) {
      EXPECT_LT(ReadAll(target.Path()).size(), r.totalBytes ? r.totalBytes : 1);
    }
  }
}

// Without INTERNET_FLAG_NO_COOKIES every pair goes into WinINet's store for the URL (and WinINet sends
// them); with it the store is left alone and the string travels unchanged as one Cookie header.
TEST_F(FileTransfer, CookiesTravelThroughTheStoreOrAsAHeader) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  const wchar_t* cookies = L" FARLINK_ID = abc123 ; quoted=\"y=z\";last=1";

  TempFile stored("");
  std::wstring storeUrl = peer.Url("http", L"/cookies");
  Job store(storeUrl, stored);
  store.r.cookies = cookies;
  ASSERT_EQ(0u, store.Run());
  std::string sent = ReadAll(stored.Path());
  EXPECT_NE(std::string::npos, sent.find("FARLINK_ID=abc123")) << sent;
  EXPECT_NE(std::string::npos, sent.find("quoted=\"y=z\"")) << sent;
  EXPECT_NE(std::string::npos, sent.find("last=1")) << sent;
  wchar_t jar[512];
  DWORD size = 512;
  ASSERT_TRUE(InternetGetCookieW(storeUrl.c_str(), L"FARLINK_ID", jar, &size));

  TempFile header("");
  std::wstring headerUrl = peer.Url("https", L"/cookies");
  Job asHeader(headerUrl, header);
  asHeader.r.cookies = L"session=only-in-header; b=2";
  asHeader.r.requestFlags = INTERNET_FLAG_NO_COOKIES;
  ASSERT_EQ(0u, asHeader.Run());
  EXPECT_EQ("session=only-in-header; b=2", ReadAll(header.Path()));
  // Cookies belong to the host, whatever the port: the store holds the first request's pairs only.
  size = 512;
  if (InternetGetCookieW(headerUrl.c_str(), nullptr, jar, &size)) {
    EXPECT_EQ(nullptr, wcsstr(jar, L"session"));
  }
}

// Cookie and header texts that would break their header line are refused before any step is taken; a
// cookie stored for an HTTPS URL is marked secure and still travels as it was given.
TEST_F(FileTransfer, CookiesAndHeadersStayInTheirLines) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  TempFile target("");
  const struct {
    const char* name;
    const wchar_t* cookies;
    const wchar_t* extraHeaders;  // posts only
  } refused[] = {{"cookie with CR LF", L"a=1\r\nX-Injected: 1", nullptr},
                 {"cookie with LF", L"a=1\nX-Injected: 1", nullptr},
                 {"header without a name", L"a=1", L"X-Velmora-MAC: 1\r\n: 2\r\n"},
                 {"headers then a body", L"", L"X-Velmora-MAC: 1\r\n\r\nbody"}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    if (!c.extraHeaders) {
      Job job(peer.Url("http", L"/cookies"), target);
      job.r.cookies = c.cookies;
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), job.Run());
      EXPECT_EQ(0u, job.r.operation);
    }
    TransferRequest post;
    const std::wstring url = peer.Url("http", L"/post");
    post.url = url.c_str();
    post.cookies = c.cookies;
    post.options = kTransferNoDialogs;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), PostTransfer(post, "x", 1, c.extraHeaders, nullptr, 0));
    EXPECT_EQ(0u, post.operation);
  }

  Job secure(peer.Url("https", L"/cookies"), target);
  secure.r.cookies = L"tls_only=1";
  ASSERT_EQ(0u, secure.Run());
  const std::string sent = ReadAll(target.Path());
  EXPECT_NE(std::string::npos, sent.find("tls_only=1")) << sent;
  EXPECT_EQ(std::string::npos, sent.find("secure")) << sent;
}

TEST_F(FileTransfer, FtpGetAndPut) {
  Peer peer(true);
  ASSERT_TRUE(peer.ready());
  TempFile local("");
  Job getJob(peer.Url("ftp", L"/get.bin"), local);
    TransferRequest& get = getJob.r;
  ASSERT_EQ(0u, RunTransfer(get));
  EXPECT_EQ(Pattern(100000), ReadAll(local.Path()));
  EXPECT_EQ(100000u, get.doneBytes);

  TempFile source("");
  std::string data = "uploaded over ftp\r\n" + Pattern(50000);
  ASSERT_TRUE(WriteWholeFile(source.Path(), data));
  Job putJob(peer.Url("ftp", L"/put.bin"), source, kTransferUpload);
    TransferRequest& put = putJob.r;
  ASSERT_EQ(0u, RunTransfer(put));
  EXPECT_EQ(data, ReadAll(peer.Path(L"ftp\\put.bin")));

  TempFile missing("");
  Job absentJob(peer.Url("ftp", L"/absent.bin"), missing);
    TransferRequest& absent = absentJob.r;
  EXPECT_NE(0u, RunTransfer(absent));
}

TEST_F(FileTransfer, FileUrlsAreCopied) {
  TempFile source(""), target("");
  ASSERT_TRUE(WriteWholeFile(source.Path(), Pattern(40000)));
  std::wstring forward = source.Path();
  for (auto& c : forward) if (c == L'\\') c = L'/';
  for (const std::wstring& url : {L"file:///" + forward, L"file://" + std::wstring(source.Path())}) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    DeleteFileW(target.Path());
    Job rJob(url, target);
    TransferRequest& r = rJob.r;
    ASSERT_EQ(0u, RunTransfer(r));
    EXPECT_EQ(Pattern(40000), ReadAll(target.Path()));
    EXPECT_EQ(40000u, r.doneBytes);
  }
  Job missingJob(L"file:///C:/no/such/file.bin", target);
    TransferRequest& missing = missingJob.r;
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), RunTransfer(missing));
}

// A "file:" URL names a local file: one that names a host, or whose path is a network or device path, is
// refused with 53 before any file call. Under Wine the share is what "\\127.0.0.1\NAME" reaches, so a
// copy that looked would succeed; the target is left as it was.
TEST_F(FileTransfer, FileUrlsToOtherMachinesAreRefused) {
  kesi::test::LoopbackShare share(L"kesi-transfer");
  if (share.Available()) {
    ASSERT_TRUE(WriteWholeFile(share.Folder() + L"\\probe.bin", Pattern(100)));
  }
  TempFile source(""), target("");
  ASSERT_TRUE(WriteWholeFile(source.Path(), Pattern(100)));
  std::wstring forward = source.Path();
  for (auto& c : forward) if (c == L'\\') c = L'/';
  const std::wstring name = share.Name();
  struct Case {
    std::wstring url;
    DWORD code;
  } cases[] = {
      {L"file://localhost/" + forward, 0},
      {L"file://127.0.0.1/" + name + L"/probe.bin", ERROR_BAD_NETPATH},
      {L"file://host@SSL@443/DavWWWRoot/probe.bin", ERROR_BAD_NETPATH},
      {L"file:////127.0.0.1/" + name + L"/probe.bin", ERROR_BAD_NETPATH},
      {L"file://localhost//127.0.0.1/" + name + L"/probe.bin", ERROR_BAD_NETPATH},
      {L"file:///\\\\127.0.0.1\\" + name + L"\\probe.bin", ERROR_BAD_NETPATH},
      {L"file:////?/UNC/127.0.0.1/" + name + L"/probe.bin", ERROR_BAD_NETPATH},
      {L"file:////?/" + forward, ERROR_BAD_NETPATH},
      {L"file:////./" + forward, ERROR_BAD_NETPATH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url.begin(), c.url.end()));
    ASSERT_TRUE(WriteWholeFile(target.Path(), "before"));
    Job job(c.url, target);
    EXPECT_EQ(c.code, job.Run());
    EXPECT_EQ(c.code ? std::string("before") : Pattern(100), ReadAll(target.Path()));
  }
}

// A download can go to a file the caller holds open: the data lands at the handle's position, the handle
// stays open, and the local path is not used. Other transfers refuse a handle with 87.
TEST_F(FileTransfer, DownloadIntoAnOpenHandle) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  TempFile held(""), unused("");
  kesi::UniqueFile file(CreateFileW(held.Path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.get(), "head:", 5, &written, nullptr));
  Job job(peer.Url("https", L"/data/70000"), unused);
  job.r.localPath = nullptr;
  job.r.localFile = file.get();
  ASSERT_EQ(0u, job.Run());
  EXPECT_EQ(70000u, job.r.doneBytes);
  file.reset();
  EXPECT_EQ("head:" + Pattern(70000), ReadAll(held.Path()));

  kesi::UniqueFile other(CreateFileW(unused.Path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(other);
  for (std::wstring url : {L"file:///" + std::wstring(held.Path()), peer.Url("https", L"/upload/held.bin")}) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    Job refused(url, unused, url[0] == L'f' ? kTransferDownload : kTransferUpload);
    refused.r.localFile = other.get();
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), refused.Run());
  }
}

// The post sends body, headers and cookies, drops the reply body and reads back "Location: ".
TEST_F(FileTransfer, PostReadsBackTheLocation) {
  Peer peer;
  ASSERT_TRUE(peer.ready());
  std::string body = "<epcData>" + std::string(5000, 'r') + "</epcData>";
  for (const char* server : {"http", "https"}) {
    SCOPED_TRACE(server);
    wchar_t location[64];
    const std::wstring url = peer.Url(server, L"/post?location=/postauth/zone.html");
    TransferRequest request;
    request.url = url.c_str();
    request.cookies = L"FARLINK_ID=abc";
    request.allowedSecurityFlags = kSelfSigned;
    request.options = kTransferNoDialogs;
    request.userAgent = L"Velmora Interrogator";
    request.user = L"caller's";
    ASSERT_EQ(0u, PostTransfer(request, body.data(), static_cast<DWORD>(body.size()), L"X-Velmora-MAC: 0011aa\r\n",
                               location, 64));
    EXPECT_EQ(0u, request.lastError);
    EXPECT_STREQ(L"caller's", request.user);  // the URL's own credentials were the transfer's only
    EXPECT_STREQ(L"/postauth/zone.html", location);
    EXPECT_EQ(body, ReadAll(peer.Path(L"uploads\\post.bin")));
    std::string headers = ReadAll(peer.Path(L"uploads\\post-headers.txt"));
    EXPECT_NE(std::string::npos, headers.find("X-Velmora-MAC: 0011aa")) << headers;
    EXPECT_NE(std::string::npos, headers.find("FARLINK_ID=abc")) << headers;
    EXPECT_NE(std::string::npos, headers.find("User-Agent: Velmora Interrogator")) << headers;
  }

  // locationSize counts characters: a short buffer gets locationSize - 1 of them and a NUL, nothing more.
  wchar_t small[12];
  wmemset(small, L'#', 12);
  ASSERT_EQ(0u, PostBuffer(nullptr, peer.Url("http", L"/post?location=/a/very/long/location").c_str(), "x", 1,
                           nullptr, nullptr, small, 8, 0, INTERNET_OPEN_TYPE_PRECONFIG, 0, kTransferNoDialogs,
                           nullptr, nullptr, L"agent"));
  EXPECT_STREQ(L"/a/very", small);
  EXPECT_EQ(L'#', small[8]);

  // No Location header: an empty text.
  wchar_t none[16];
  wmemset(none, L'#', 16);
  ASSERT_EQ(0u, PostBuffer(nullptr, peer.Url("http", L"/post").c_str(), "x", 1, nullptr, nullptr, none, 16, 0,
                           INTERNET_OPEN_TYPE_PRECONFIG, 0, kTransferNoDialogs, nullptr, nullptr, L"agent"));
  EXPECT_STREQ(L"", none);

  struct Case {
    const char* name;
    std::wstring url;
    DWORD expected;
  } cases[] = {
      {"ftp scheme", peer.Url("ftp", L"/post"), ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"file scheme", L"file:///C:/post", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"404", peer.Url("http", L"/nowhere"), ERROR_INTERNET_ITEM_NOT_FOUND},
      {"certificate not allowed", peer.Url("https-c", L"/post"), ERROR_INTERNET_INVALID_CA},
      {"reply body of the cap", peer.Url("http", L"/post?size=4194304"), 0},
      {"reply body over the cap", peer.Url("http", L"/post?size=4194305"), ERROR_MESSAGE_EXCEEDS_MAX_SIZE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wchar_t out[16];
    EXPECT_EQ(c.expected, PostBuffer(nullptr, c.url.c_str(), "x", 1, nullptr, nullptr, out, 16, 0,
                                     INTERNET_OPEN_TYPE_PRECONFIG, 0, kTransferNoDialogs, nullptr, nullptr, L"agent"));
  }
}

TEST(InternetUrl, ParseSchemesAndCredentials) {
  ParsedUrl url;
  ASSERT_EQ(0u, url.Parse(L"https://user:pw@appliance.example:8443/postauth/pkg.cab?v=2#top"));
  EXPECT_EQ(INTERNET_SCHEME_HTTPS, url.scheme());
  EXPECT_STREQ(L"https", url.schemeName());
  EXPECT_STREQ(L"appliance.example", url.host());
  EXPECT_EQ(8443, url.port());
  EXPECT_STREQ(L"user", url.user());
  EXPECT_STREQ(L"pw", url.password());
  EXPECT_STREQ(L"/postauth/pkg.cab", url.path());
  EXPECT_STREQ(L"?v=2#top", url.extra());

  ASSERT_EQ(0u, url.Parse(L"http://host/"));
  EXPECT_EQ(80, url.port());
  EXPECT_STREQ(L"", url.user());
  EXPECT_NE(0u, url.Parse(L"not a url"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), url.Parse(nullptr));

  struct Case {
    const wchar_t* url;
    DWORD supported;
    INTERNET_SCHEME scheme;
  } cases[] = {
      {L"http://h/x", 0, INTERNET_SCHEME_HTTP},
      {L"HTTPS://h/x", 0, INTERNET_SCHEME_HTTPS},
      {L"file:///C:/x", 0, INTERNET_SCHEME_FILE},
      {L"ftp://h/x", ERROR_NOT_SUPPORTED, INTERNET_SCHEME_FTP},
      {L"mailto:someone@example.com", ERROR_NOT_SUPPORTED, INTERNET_SCHEME_MAILTO},
      {L"kesi://h/x", ERROR_INTERNET_UNRECOGNIZED_SCHEME, INTERNET_SCHEME_UNKNOWN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.url).size());
    EXPECT_EQ(c.supported, IsUrlSchemeSupported(c.url)) << std::string(c.url, c.url + wcslen(c.url));
    EXPECT_EQ(c.scheme, GetUrlScheme(c.url)) << std::string(c.url, c.url + wcslen(c.url));
  }

  wchar_t clean[128];
  DWORD size = 128;
  ASSERT_EQ(0u, UrlWithoutCredentials(L"https://user:pw@host:8443/a/b.cab?v=2", clean, &size));
  EXPECT_STREQ(L"https://host:8443/a/b.cab?v=2", clean);
  EXPECT_EQ(wcslen(clean), size);
  wchar_t tiny[8];
  size = 8;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), UrlWithoutCredentials(L"https://u:p@host/a/b.cab", tiny, &size));
  EXPECT_GE(size, static_cast<DWORD>(wcslen(L"https://host/a/b.cab") + 1));
}

TEST(InternetUrl, TraceLines) {
  wchar_t line[128];
  FormatTransferTrace(eHttpSendRequest, INTERNET_STATUS_REQUEST_SENT, line, 128);
  EXPECT_STREQ(L"eHttpSendRequest: INTERNET_STATUS_REQUEST_SENT\n", line);
  FormatTransferTrace(eInternetQueryDataAvailable, 999, line, 128);
  EXPECT_STREQ(L"eUnknownOperation: Status 999\n", line);
}

}  // namespace
