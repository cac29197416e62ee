#pragma once
// The loopback peers of the transfer and proxy tests: transfer_peer.py (HTTP, HTTPS, a silent port, an
// HTTP proxy that wants Basic credentials, optionally FTP), started for one test and stopped at its end,
// and the file helpers its cases use.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Handles.h"
#include "TestFiles.h"
#include "TestText.h"

namespace kesi::test {

// The credentials the peer's proxy wants.
constexpr wchar_t kProxyUser[] = L"proxyuser";
constexpr wchar_t kProxyPassword[] = L"proxy secret";

// Unix paths given by the build (the peer script, the Python interpreter, a folder for peer work) as
// Wine sees them: it maps the Unix root to drive Z:.
inline std::wstring UnixToWindows(const std::string& unix) {
  std::wstring w = L"Z:" + Widen(unix);
  for (auto& c : w) if (c == L'/') c = L'\\';
  return w;
}

inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

// A received file's bytes; "<missing>" when it is not there, so that an absent file never reads as empty.
inline std::string ReadAll(const std::wstring& path) { return PathExists(path) ? ReadWholeFile(path) : "<missing>"; }

// One peer process for one test. Wine starts Unix programs without giving a process handle, so the peer
// reports through files in its folder and stops when the test drops a "stop" file there.
class Peer {
 public:
  explicit Peer(bool ftp = false) {
    static std::atomic<int> counter{0};
    std::string unixDir = std::string(KESI_TRANSFER_WORK) + "/peer-" + std::to_string(GetCurrentProcessId()) + "-" +
                          std::to_string(GetTickCount()) + "-" + std::to_string(counter++);
    dir_ = UnixToWindows(unixDir);
    RemoveTree(dir_);
    CreateDirectoryW(UnixToWindows(KESI_TRANSFER_WORK).c_str(), nullptr);
    if (!CreateDirectoryW(dir_.c_str(), nullptr)) return;
    std::wstring command = UnixToWindows(KESI_PYTHON) + L" " + Widen(KESI_TRANSFER_PEER) + L" --dir " +
                           Widen(unixDir) + L" --certs " + Widen(KESI_TRANSFER_WORK) + L"/certs" +
                           (ftp ? L" --ftp" : L"");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    for (int i = 0; i < 600 && ports_.empty(); ++i) {
      std::istringstream ready(ReadAll(dir_ + L"\\ready.txt"));
      std::string line;
      while (std::getline(ready, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) ports_[line.substr(0, eq)] = std::stoi(line.substr(eq + 1));
      }
      if (ports_.empty()) Sleep(50);
    }
  }
  ~Peer() {
    if (ports_.empty()) {
      RemoveTree(dir_);
      return;
    }
    EXPECT_TRUE(WriteWholeFile(dir_ + L"\\stop", ""));
    for (int i = 0; i < 100 && GetFileAttributesW((dir_ + L"\\stopped").c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
      Sleep(50);
    RemoveTree(dir_);
  }
  bool ready() const { return !ports_.empty(); }
  std::wstring Url(const char* server, const std::wstring& path) const {
    const std::string name = server;
    std::wstring scheme = name == "http" || name == "silent" ? L"http" : name == "ftp" ? L"ftp" : L"https";
    auto it = ports_.find(server);
    return scheme + L"://127.0.0.1:" + std::to_wstring(it == ports_.end() ? 1 : it->second) + path;
  }
  std::wstring Path(const std::wstring& relative) const { return dir_ + L"\\" + relative; }
  int Port(const char* server) const {
    auto it = ports_.find(server);
    return it == ports_.end() ? 0 : it->second;
  }
  // The proxy's journal: one "METHOD TARGET auth=none|bad|USER" line per request it received.
  std::vector<std::string> ProxyJournal() const {
    std::vector<std::string> lines;
    const std::string text = ReadAll(Path(L"proxy.txt"));
    if (text == "<missing>") return lines;  // no request yet
    std::istringstream journal(text);
    for (std::string line; std::getline(journal, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::wstring dir_;
  std::map<std::string, int> ports_;
};

}  // namespace kesi::test
