#include "SimulatorClient.h"

#include <wininet.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "Handles.h"
#include "TestText.h"

namespace kesi::test {

namespace {

// The number after "key": in a JSON text, or -1.
int JsonNumber(const std::string& json, const char* key) {
  std::string needle = std::string("\"") + key + "\":";
  size_t at = json.find(needle);
  if (at == std::string::npos) return -1;
  return std::atoi(json.c_str() + at + needle.size() + (json[at + needle.size()] == ' ' ? 1 : 0));
}

// The non-empty lines of a text.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
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

void Appliance::ExpectProblem(const std::string& fragment) { expected_.push_back(fragment); }

void Appliance::Stop() {
  if (id_ <= 0) return;
  CheckProblems();
  ControlRequest(L"DELETE", L"/instances/" + std::to_wstring(id_));
  id_ = 0;
}

void Appliance::CheckProblems() {
  ControlReply journal = Get("journal.txt");
  if (journal.status != 200) {
    ADD_FAILURE() << "the journal of the appliance on port " << port_ << " could not be read: status "
                  << journal.status << ", error " << journal.error;
    return;
  }
  std::vector<bool> seen(expected_.size(), false);
  std::string unexpected;
  for (const std::string& line : Lines(journal.body)) {
    bool lineExpected = true;
    for (const std::string& problem : Problems(line)) {
      bool matched = false;
      for (size_t i = 0; i < expected_.size(); ++i) {
        if (problem.find(expected_[i]) != std::string::npos) seen[i] = matched = true;
      }
      lineExpected = lineExpected && matched;
    }
    if (!lineExpected) unexpected += "\n  " + line;
  }
  if (!unexpected.empty())
    ADD_FAILURE() << "the appliance on port " << port_ << " journalled problems in requests:" << unexpected;
  for (size_t i = 0; i < expected_.size(); ++i) {
    if (!seen[i])
      ADD_FAILURE() << "the appliance on port " << port_ << " journalled no problem containing \"" << expected_[i]
                    << "\"";
  }
}

std::wstring Appliance::Server() const { return L"127.0.0.1:" + std::to_wstring(port_); }

ControlReply Appliance::Get(const std::string& resource) {
  return ControlRequest(L"GET", L"/instances/" + std::to_wstring(id_) + L"/" + Widen(resource));
}

std::string Appliance::SwitchCertificate(const std::string& kind) {
  ControlReply reply = ControlRequest(L"POST", L"/instances/" + std::to_wstring(id_) + L"/certificate",
                                      "{\"kind\": \"" + kind + "\"}");
  if (reply.status == 200) return {};
  return "switching the certificate answered " + std::to_string(reply.status) + ": " + reply.body;
}

std::string Appliance::CertificateSha256() {
  const std::string body = Get("").body;
  const std::string key = "\"certificate_sha256\": \"";
  size_t at = body.find(key);
  if (at == std::string::npos || body.size() < at + key.size() + 64) return {};
  return body.substr(at + key.size(), 64);
}

std::vector<std::string> Appliance::Journal() { return Lines(Get("journal.txt").body); }

std::vector<std::string> Appliance::Calls(int procedure) {
  std::vector<std::string> calls;
  std::string key = " proc=" + std::to_string(procedure) + " ";
  for (const std::string& line : Journal()) {
    if (line.find(key) != std::string::npos) calls.push_back(line);
  }
  return calls;
}

std::vector<double> Appliance::CallTimes(int procedure) {
  // Each entry of the JSON journal begins with its "time" key; "procedure" is a key of logon calls only.
  const std::string body = Get("journal").body;
  const std::string timeKey = "\"time\": ";
  const std::string procedureKey = "\"procedure\": ";
  std::vector<double> times;
  size_t at = body.find(timeKey);
  while (at != std::string::npos) {
    const size_t next = body.find(timeKey, at + timeKey.size());
    const double time = std::strtod(body.c_str() + at + timeKey.size(), nullptr);
    const size_t key = body.find(procedureKey, at);
    if (key != std::string::npos && key < next && std::atoi(body.c_str() + key + procedureKey.size()) == procedure)
      times.push_back(time);
    at = next;
  }
  return times;
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

std::vector<std::string> Appliance::Problems(const std::string& line) {
  std::vector<std::string> problems;
  // The last field of a line: a JSON array of ASCII strings.
  size_t at = line.rfind(" problems=[");
  if (at == std::string::npos) return problems;
  at += 11;
  while (at < line.size() && line[at] == '"') {
    std::string text;
    for (++at; at < line.size() && line[at] != '"'; ++at) {
      if (line[at] == '\\' && at + 1 < line.size()) text += line[at++];
      text += line[at];
    }
    problems.push_back(text);
    at += 1;  // the closing quote
    if (at < line.size() && line[at] == ',') ++at;
  }
  return problems;
}

}  // namespace kesi::test
