// One logon exchange (procedure 1) through the logon agent, against a bare WinINet exchange of the same
// bytes on a connection of its own; both on loopback against the same appliance, interleaved.
//   logon_bench HOST:PORT [CALLS]
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "LPRPC.h"
#include "LogonAgent.h"

using namespace kesi;

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The same request as the transport makes, without the agent: open, send (certificate errors ignored
// from the start), read the announced length.
class BareExchange {
 public:
  bool Open(const wchar_t* host, INTERNET_PORT port) {
    root_ = InternetOpenW(L"logon_bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    connection_ = root_ ? InternetConnectW(root_, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0) : nullptr;
    return connection_ != nullptr;
  }
  ~BareExchange() {
    if (connection_) InternetCloseHandle(connection_);
    if (root_) InternetCloseHandle(root_);
  }
  bool Run(const kesi::Utf8Buffer& call) {
    static const wchar_t* accept[] = {L"application/lprpc; version=1.0", nullptr};
    HINTERNET request = HttpOpenRequestW(connection_, L"POST", L"/__api__/__logon__", L"HTTP/1.1", nullptr, accept,
                                         kesi::kRequestFlags, 0);
    if (!request) return false;
    DWORD flags = kesi::kIgnoreCertificateFlags;
    InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    HttpAddRequestHeadersW(request, L"Content-Type: application/lprpc; version=1.0\r\n", static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_ADD);
    bool ok = HttpSendRequestW(request, nullptr, 0, const_cast<uint8_t*>(call.GetData()), call.GetLength()) != FALSE;
    DWORD length = 0, size = sizeof(length);
    ok = ok && HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr);
    std::vector<char> body(length + 1);
    DWORD got = 0, n = 0;
    while (ok && got < length && InternetReadFile(request, body.data() + got, length - got, &n) && n) got += n;
    InternetCloseHandle(request);
    return ok && got == length;
  }

 private:
  HINTERNET root_ = nullptr;
  HINTERNET connection_ = nullptr;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: logon_bench HOST:PORT [CALLS]\n");
    return 2;
  }
  int calls = argc > 2 ? _wtoi(argv[2]) : 50;
  if (calls < 1) calls = 50;
  wchar_t host[256];
  INTERNET_PORT port = 0;
  if (kesi::SplitServerName(argv[1], host, 256, &port) != 0) {
    std::fprintf(stderr, "logon_bench: bad server name\n");
    return 2;
  }

  kesi::LogonAgent* agent = new kesi::LogonAgent();
  DWORD result = agent->Connect(argv[1], nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0);
  if (result) {
    std::fprintf(stderr, "logon_bench: logon failed with %lu\n", result);
    agent->Release();
    return 1;
  }
  kesi::LPRPCStructure parameters;
  parameters.AddInteger(kesi::kAnnouncedVersion);
  kesi::Utf8Buffer call;
  kesi::BuildCall(kesi::kProcNewSession, &parameters, call);
  BareExchange bare;
  if (!bare.Open(host, port) || !bare.Run(call)) {
    std::fprintf(stderr, "logon_bench: the bare exchange failed (%lu)\n", GetLastError());
    agent->Release();
    return 1;
  }

  std::vector<double> agentTimes, bareTimes;
  for (int i = 0; i < calls; ++i) {
    // The two take turns at going first, so that neither always meets the server just after the other.
    LARGE_INTEGER t0, t1, t2, t3;
    bool ok = true;
    if (i % 2) {
      QueryPerformanceCounter(&t2);
      ok = bare.Run(call);
      QueryPerformanceCounter(&t3);
    }
    QueryPerformanceCounter(&t0);
    result = agent->NewSession();
    QueryPerformanceCounter(&t1);
    if (i % 2 == 0) {
      QueryPerformanceCounter(&t2);
      ok = bare.Run(call);
      QueryPerformanceCounter(&t3);
    }
    if (result || !ok) {
      std::fprintf(stderr, "logon_bench: call %d failed (agent %lu, bare %d)\n", i, result, ok ? 1 : 0);
      agent->Release();
      return 1;
    }
    agentTimes.push_back(Milliseconds(t0, t1));
    bareTimes.push_back(Milliseconds(t2, t3));
  }
  agent->Release();
  double agentMedian = Median(agentTimes), bareMedian = Median(bareTimes);
  std::printf("logon exchange (agent NewSession): median %.3f ms over %d calls\n", agentMedian, calls);
  std::printf("bare WinINet exchange, same bytes: median %.3f ms\n", bareMedian);
  std::printf("ratio agent/bare: %.2f\n", bareMedian > 0 ? agentMedian / bareMedian : 0.0);
  return 0;
}
