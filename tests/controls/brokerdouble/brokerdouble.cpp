// A stand-in for the broker program: it connects to "\\.\Pipe\RQKESIPipe" as the broker does, records the
// bytes of each command it reads and answers as its control file says. Everything lives in the folder
// named by the environment variable KESI_BROKER_DOUBLE (the test's own folder, inherited through the
// library that starts the double):
//   control.txt   one line: ["gate"] ACTION, where ACTION is
//                   "reply R1 R2 ..."  one connection per listed result, each answered "Ri" and a NUL
//                   "raw HEX"          one connection, answered with the bytes HEX
//                   "hang"             one connection, never answered
//                   "exit N"           exit with code N without connecting
//                 and "gate" first makes the double wait for the file "go" before it connects.
//   received.bin  every byte read from the pipe, commands one after the other
//   pids.txt      the process id of each double started, one a line (the tests end what is left)
// A connection that ends before a command was read (the library refused the client) is made again. The
// double gives up after 30 s without a connection, so a failed test leaves nothing behind.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring g_folder;

std::string ReadText(const wchar_t* name) {
  std::string text;
  HANDLE file = CreateFileW((g_folder + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char block[4096];
  DWORD got = 0;
  while (ReadFile(file, block, sizeof block, &got, nullptr) && got) text.append(block, got);
  CloseHandle(file);
  return text;
}

void Append(const wchar_t* name, const void* bytes, DWORD size) {
  HANDLE file = CreateFileW((g_folder + name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (size) WriteFile(file, bytes, size, &written, nullptr);
  CloseHandle(file);
}

// Connects to an instance of the pipe, trying until the deadline passes.
HANDLE Connect(ULONGLONG deadline) {
  while (GetTickCount64() < deadline) {
    if (!WaitNamedPipeW(L"\\\\.\\Pipe\\RQKESIPipe", 200)) {
      Sleep(10);
      continue;
    }
    HANDLE pipe = CreateFileW(L"\\\\.\\Pipe\\RQKESIPipe", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) continue;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return pipe;
  }
  return INVALID_HANDLE_VALUE;
}

// Reads one message whole (however long), appending it to *bytes. False when the read fails.
bool ReadMessage(HANDLE pipe, std::string* bytes) {
  char block[65536];
  for (;;) {
    DWORD got = 0;
    const BOOL ok = ReadFile(pipe, block, sizeof block, &got, nullptr);
    bytes->append(block, got);
    if (ok) return true;
    if (GetLastError() != ERROR_MORE_DATA) return false;
  }
}

// Reads one command (the length message, then text messages up to that length) and records it. False
// when the connection ended before the length came.
bool ReadCommand(HANDLE pipe) {
  std::string bytes;
  if (!ReadMessage(pipe, &bytes) || bytes.empty()) return false;
  if (bytes.size() >= 4) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t length = p[0] | p[1] << 8 | p[2] << 16 | static_cast<size_t>(p[3]) << 24;
    while (bytes.size() - 4 < length && ReadMessage(pipe, &bytes)) {
    }
  }
  Append(L"received.bin", bytes.data(), static_cast<DWORD>(bytes.size()));
  return true;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t folder[MAX_PATH];
  if (!GetEnvironmentVariableW(L"KESI_BROKER_DOUBLE", folder, MAX_PATH)) return 2;
  g_folder = std::wstring(folder) + L"\\";
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  Append(L"pids.txt", pid.data(), static_cast<DWORD>(pid.size()));

  std::vector<std::string> words;
  std::string control = ReadText(L"control.txt");
  for (size_t at = 0; at < control.size();) {
    const size_t end = control.find_first_of(" \r\n", at);
    if (end != at) words.push_back(control.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? control.size() : end + 1;
  }
  size_t next = 0;
  if (next < words.size() && words[next] == "gate") {
    ++next;
    const ULONGLONG until = GetTickCount64() + 30000;
    while (GetFileAttributesW((g_folder + L"go").c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < until) Sleep(10);
  }
  if (next >= words.size()) return 3;
  const std::string action = words[next++];
  if (action == "exit") return next < words.size() ? atoi(words[next].c_str()) : 0;

  std::vector<std::string> replies;
  if (action == "reply") {
    for (; next < words.size(); ++next) replies.push_back(words[next] + std::string(1, '\0'));
  } else if (action == "raw") {
    replies.push_back(next < words.size() ? FromHex(words[next]) : std::string());
  } else if (action == "hang") {
    replies.push_back(std::string());
  } else {
    return 3;
  }

  for (const std::string& reply : replies) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
      pipe = Connect(GetTickCount64() + 30000);
      if (pipe == INVALID_HANDLE_VALUE) return 4;
      if (ReadCommand(pipe)) break;
      CloseHandle(pipe);
    }
    if (action == "hang") {
      Sleep(60000);
      return 5;
    }
    DWORD written = 0;
    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
    FlushFileBuffers(pipe);
    CloseHandle(pipe);
  }
  return 0;
}
