#include "SimulatorClient.h"

#include <wininet.h>

#include <cstdlib>

#include "Handles.h"

namespace kesi::test {

namespace {

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The number after "key": in a JSON text, or -1.
int JsonNumber(const std::string& json, const char* key) {
  std::string needle = std::string("\"") + key + "\":";
  size_t at = json.find(needle);
  if (at == std::string::npos) return -1;
  return std::atoi(json.c_str() + at + needle.size() + (json[at + needle.size()] == ' ' ? 1 : 0));
}

}  // namespace

ControlReply ControlRequest(const wchar_t* method, const std::wstring& path, const std::string& body) {
  ControlReply reply;
  char address[64] = {};
  if (!GetEnvironmentVariableA("KESI_SIM_CONTROL", address, sizeof(address))) {
    reply.error = ERROR_ENVVAR_NOT_FOUND;
    return reply;
  }
  std::string text(address);
  size_t colon = text.rfind(':');
  std::wstring host = Widen(text.substr(0, colon));
  auto port = static_cast<INTERNET_PORT>(std::atoi(text.c_str() + colon + 1));

  UniqueInternet root(InternetOpenW(L"kesi-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  UniqueInternet connection(
      root ? InternetConnectW(root.get(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0) : nullptr);
  UniqueInternet request(connection ? HttpOpenRequestW(connection.get(), method, path.c_str(), L"HTTP/1.1", nullptr,
                                                       nullptr, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                                    : nullptr);
  if (!request ||
      !HttpSendRequestW(request.get(), body.empty() ? nullptr : L"Content-Type: application/json\r\n",
                        static_cast<DWORD>(-1), const_cast<char*>(body.data()), static_cast<DWORD>(body.size()))) {
    reply.error = GetLastError();
    return reply;
  }
  DWORD size = sizeof(reply.status);
  HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &reply.status, &size, nullptr);
  char chunk[4096];
  DWORD got = 0;
  while (InternetReadFile(request.get(), chunk, sizeof(chunk), &got) && got) reply.body.append(chunk, got);
  return reply;
}

Appliance::Appliance(const std::string& scenario) {
  ControlReply reply = ControlRequest(L"POST", L"/instances", scenario);
  if (reply.status != 201) {
    error_ = "control server: status " + std::to_string(reply.status) + ", error " + std::to_string(reply.error) + " " +
             reply.body;
    return;
  }
  id_ = JsonNumber(reply.body, "id");
  port_ = JsonNumber(reply.body, "port");
  if (id_ <= 0 || port_ <= 0) error_ = "control server: unexpected answer " + reply.body;
}

Appliance::~Appliance() { Stop(); }

void Appliance::Stop() {
  if (id_ > 0) ControlRequest(L"DELETE", L"/instances/" + std::to_wstring(id_));
  id_ = 0;
}

std::wstring Appliance::Server() const { return L"127.0.0.1:" + std::to_wstring(port_); }

ControlReply Appliance::Get(const std::string& resource) {
  return ControlRequest(L"GET", L"/instances/" + std::to_wstring(id_) + L"/" + Widen(resource));
}

std::vector<std::string> Appliance::Journal() {
  std::vector<std::string> lines;
  std::string text = Get("journal.txt").body;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> Appliance::Calls(int procedure) {
  std::vector<std::string> calls;
  std::string key = " proc=" + std::to_string(procedure) + " ";
  for (const std::string& line : Journal()) {
    if (line.find(key) != std::string::npos) calls.push_back(line);
  }
  return calls;
}

std::string Appliance::Args(const std::string& line) {
  size_t at = line.find(" args=");
  if (at == std::string::npos) return {};
  at += 6;
  // The JSON has no blanks between its tokens, but texts may hold some: the field ends where the next
  // field (always ctype= on a logon call) begins.
  size_t end = line.find(" ctype=", at);
  if (end == std::string::npos) end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace kesi::test
