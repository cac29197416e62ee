// kesiprobe install / uninstall: one component install or uninstall through the product's install engine,
// reported as the engine recorded it (the lines the run added to "KESInstaller.log"), followed by the
// component catalog as it stands afterwards.
//
// The engine downloads the CAB itself, verifying the appliance's certificate and showing no dialog. With
// --insecure the probe first accepts the certificate the appliance presents, whatever its problems, for
// its own process (AppliancePin.h), so that a self-signed appliance can serve the component.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "AppliancePin.h"
#include "Catalog.h"
#include "Handles.h"
#include "Install.h"
#include "LineCipher.h"
#include "LogFolder.h"
#include "Probe.h"
#include "ServerName.h"

namespace kesi::probe {

namespace {

// The catalog is read whole for the report, beyond the engine's own 1,024-character limit.
constexpr DWORD kCatalogReadChars = 32768;

// ---- the installer log ------------------------------------------------------------------------------

// The size of the installer log before a run: the run's own lines start there.
ULONGLONG LogSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring FromAnsi(const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
  return text;
}

// Prints the lines written to the log since it had `from` bytes, deciphering ciphered lines. Another
// process may write to the same log meanwhile; its lines show as well. A log that was restarted (it
// reached its size limit) is shown from its beginning.
void PrintLogSince(const wchar_t* path, ULONGLONG from) {
  Print(stdout, std::wstring(L"installer log ") + path + L", the lines of this run:\n");
  UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Print(stdout, L"  (the log cannot be read: error " + std::to_wstring(GetLastError()) + L")\n");
    return;
  }
  LARGE_INTEGER size{};
  GetFileSizeEx(file.get(), &size);
  if (static_cast<ULONGLONG>(size.QuadPart) < from) {
    Print(stdout, L"  (the log was restarted during the run; shown from its beginning)\n");
    from = 0;
  }
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(from);
  SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN);
  std::string bytes;
  char buffer[8192];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);

  size_t shown = 0;
  for (size_t start = 0; start < bytes.size();) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (kesi::LooksCiphered(line.c_str(), line.size())) {
      char* plain = nullptr;
      if (kesi::DecryptLine(line.c_str(), &plain)) {
        line = plain;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
      }
      std::free(plain);
    }
    if (line.empty()) continue;
    Print(stdout, L"  " + FromAnsi(line) + L"\n");
    ++shown;
  }
  if (!shown) Print(stdout, L"  (no lines)\n");
}

// ---- the catalog ------------------------------------------------------------------------------------

struct CatalogEntry {
  std::wstring name;
  std::wstring inf;
  std::wstring removeDir;
};

std::wstring ReadValue(const wchar_t* section, const wchar_t* key, const wchar_t* path) {
  wchar_t value[MAX_PATH] = {};
  GetPrivateProfileStringW(section, key, L"", value, MAX_PATH, path);
  return value;
}

// The entries of the catalog at path, in file order.
std::vector<CatalogEntry> ReadCatalog(const wchar_t* path) {
  std::vector<CatalogEntry> entries;
  std::vector<wchar_t> section(kCatalogReadChars, L'\0');
  GetPrivateProfileSectionW(L"Catalog", section.data(), kCatalogReadChars, path);
  for (const wchar_t* line = section.data(); *line; line += wcslen(line) + 1) {
    const wchar_t* equals = wcschr(line, L'=');
    CatalogEntry entry;
    entry.name = equals ? std::wstring(line, equals) : std::wstring(line);
    const std::wstring sectionName = equals ? std::wstring(equals + 1) : std::wstring();
    if (!sectionName.empty()) {
      entry.inf = ReadValue(sectionName.c_str(), L"INF", path);
      entry.removeDir = ReadValue(sectionName.c_str(), L"RemoveDIR", path);
    }
    entries.push_back(entry);
  }
  return entries;
}

void PrintCatalog() {
  wchar_t path[MAX_PATH];
  if (!kesi::install::CatalogPath(path)) {
    Print(stdout, L"catalog: its path cannot be formed\n");
    return;
  }
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    Print(stdout, std::wstring(L"catalog ") + path + L": no file (no component catalogued)\n");
    return;
  }
  const std::vector<CatalogEntry> entries = ReadCatalog(path);
  Print(stdout, std::wstring(L"catalog ") + path + L": " +
                    (entries.empty() ? std::wstring(L"empty") : std::to_wstring(entries.size()) +
                                                                       (entries.size() == 1 ? L" entry" : L" entries")) +
                    L"\n");
  for (const CatalogEntry& entry : entries)
    Print(stdout, L"  " + entry.name + L"  INF=" + entry.inf + L"  RemoveDIR=" + entry.removeDir + L"\n");
}

// True when the catalog lists infPath (compared without regard to case) with a "RemoveDIR" of yes.
bool CatalogRemovesFolder(const wchar_t* infPath, bool* listed) {
  *listed = false;
  wchar_t path[MAX_PATH];
  if (!kesi::install::CatalogPath(path)) return false;
  for (const CatalogEntry& entry : ReadCatalog(path)) {
    if (_wcsicmp(entry.inf.c_str(), infPath) != 0) continue;
    *listed = true;
    return !entry.removeDir.empty() && (entry.removeDir[0] == L'Y' || entry.removeDir[0] == L'y');
  }
  return false;
}

// The install folder of a description file, and whether it still exists (with how many entries).
void PrintFolder(const wchar_t* infPath) {
  std::wstring folder = infPath;
  size_t slash = folder.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return;
  folder.resize(slash + 1);
  WIN32_FIND_DATAW data;
  UniqueFind find(FindFirstFileW((folder + L"*").c_str(), &data));
  if (!find) {
    Print(stdout, L"install folder " + folder + L": gone\n");
    return;
  }
  size_t count = 0;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) ++count;
  } while (FindNextFileW(find.get(), &data));
  Print(stdout, L"install folder " + folder + L": " + std::to_wstring(count) + (count == 1 ? L" entry" : L" entries") +
                    L"\n");
}

bool LogPath(wchar_t (&path)[MAX_PATH]) { return kesi::GetLogFolderFile(path, kesi::kInstallerLogName) == 0; }

}  // namespace

// ---- install ----------------------------------------------------------------------------------------

int RunInstall(int argc, wchar_t** argv) {
  const wchar_t* appliance = nullptr;
  const wchar_t* cab = nullptr;
  const wchar_t* version = nullptr;
  const wchar_t* folder = nullptr;
  BOOL ignoreCertificateErrors = FALSE;
  for (int i = 0; i < argc; ++i) {
    std::wstring option = argv[i];
    if (option == L"--appliance" && i + 1 < argc) {
      appliance = argv[++i];
    } else if (option == L"--cab" && i + 1 < argc) {
      cab = argv[++i];
    } else if (option == L"--version" && i + 1 < argc) {
      version = argv[++i];
    } else if (option == L"--folder" && i + 1 < argc) {
      folder = argv[++i];
    } else if (!ParseCertificateOption(option, &ignoreCertificateErrors)) {
      return UsageError(L"install: unexpected \"" + option + L"\"");
    }
  }
  if (!appliance || !*appliance || !cab || !*cab || !version || !*version || !folder || !*folder)
    return UsageError(L"install: --appliance, --cab, --version and --folder are required");

  wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH + 1];
  INTERNET_PORT port = 0;
  if (kesi::SplitServerName(appliance, host, INTERNET_MAX_HOST_NAME_LENGTH + 1, &port))
    return UsageError(L"install: --appliance HOST[:PORT] is not a server name");
  std::wstring url = std::wstring(L"https://") + appliance + (cab[0] == L'/' ? L"" : L"/") + cab;
  PrintCertificateMode(ignoreCertificateErrors);
  ProcessAppliancePin pin;
  if (ignoreCertificateErrors) {
    if (DWORD error = pin.Pin(host, port)) return Failed(L"install", L"reading the appliance's certificate", error);
    Print(stdout, L"the appliance's certificate is accepted for this run: sha256=" + pin.Sha256() + L"\n");
  }
  Print(stdout, L"install " + url + L" version " + version + L" into \"" + folder + L"\"\n");

  wchar_t log[MAX_PATH];
  const bool haveLog = LogPath(log);
  const ULONGLONG before = haveLog ? LogSize(log) : 0;
  const DWORD result = kesi::install::InstallComponentVer(url.c_str(), version, folder);

  if (haveLog) PrintLogSince(log, before);
  PrintCatalog();
  if (result) return Failed(L"install", L"the install", result);
  Print(stdout, L"result 0\n");
  return 0;
}

// ---- uninstall --------------------------------------------------------------------------------------

int RunUninstall(int argc, wchar_t** argv) {
  const wchar_t* inf = nullptr;
  int removeFolder = -1;  // -1: as the catalog says
  for (int i = 0; i < argc; ++i) {
    std::wstring option = argv[i];
    if (option == L"--inf" && i + 1 < argc) {
      inf = argv[++i];
    } else if (option == L"--remove-folder" || option == L"--keep-folder") {
      removeFolder = option == L"--remove-folder";
    } else {
      return UsageError(L"uninstall: unexpected \"" + option + L"\"");
    }
  }
  if (!inf || !*inf) return UsageError(L"uninstall: --inf PATH is required");

  std::wstring why = L"(as asked)";
  if (removeFolder < 0) {
    bool listed = false;
    removeFolder = CatalogRemovesFolder(inf, &listed);
    why = listed ? (removeFolder ? L"(the catalog's RemoveDIR is yes)" : L"(the catalog's RemoveDIR is no)")
                 : L"(not in the catalog)";
  }
  Print(stdout, std::wstring(L"uninstall ") + inf + (removeFolder ? L", removing its folder " : L", keeping its folder ") +
                    why + L"\n");

  wchar_t log[MAX_PATH];
  const bool haveLog = LogPath(log);
  const ULONGLONG before = haveLog ? LogSize(log) : 0;
  BYTE rebootNeeded = 0;
  const DWORD result = kesi::install::UninstallComponent(inf, removeFolder != 0, &rebootNeeded);

  if (haveLog) PrintLogSince(log, before);
  PrintCatalog();
  PrintFolder(inf);
  if (result) return Failed(L"uninstall", L"the uninstall", result);
  Print(stdout, std::wstring(L"result 0, reboot needed: ") + (rebootNeeded ? L"yes" : L"no") + L"\n");
  return 0;
}

}  // namespace kesi::probe
