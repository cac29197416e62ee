// The install engine against the calls it cannot do without, in the same process and interleaved:
//
//   B1 "nothing to install": InstallComponentVer on the current component (installed once before the
//      timing), the cost every logon and page load pays. Reference: the calls the check makes, made bare:
//      the version file opened and read, the description file opened, its "Add.Code" section read, and
//      for each listed file its "InstallFile" value read and the file opened. The version-file path makes
//      no GetFileVersionInfoW call, so the reference has none either. What the engine adds is its lock,
//      its folder check and its log (a line per file looked for).
//   B2 full install of the component's signed CAB from the appliance (download, trust, extraction, move
//      aside, copy, commit, catalog), with an uninstall between runs that is not timed. Reference:
//      DownloadFile of the same CAB plus a bare ExtractCab of it into a temporary folder. Then the same
//      over the installed component, every file in place (moved aside, its backup deleted).
//
//   install_bench HOST:PORT CAB_PATH [B1_RUNS] [B2_RUNS]
//
// The appliance's certificate is self-signed: the bench pins it for its own process (AppliancePin.h, the
// probe's), so that the engine's download and the reference one both accept it through the pin policy.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "AppliancePin.h"
#include "BenchClock.h"
#include "CabExtract.h"
#include "Catalog.h"
#include "ComponentVersion.h"
#include "FileTransfer.h"
#include "Install.h"
#include "LogFile.h"
#include "LogFolder.h"
#include "ServerName.h"

namespace {

using kesi::bench::Now;

constexpr wchar_t kName[] = L"kesibench";
constexpr wchar_t kVersion[] = L"1,0,0,1";
constexpr wchar_t kFolderText[] = L"localdata:KESIInstallBench";
constexpr wchar_t kUserAgent[] = L"Velmora Interrogator";
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The catalogued description file of the bench component, or "".
std::wstring CataloguedInf() {
  wchar_t catalog[MAX_PATH];
  if (!kesi::install::CatalogPath(catalog)) return L"";
  wchar_t section[MAX_PATH] = {}, inf[MAX_PATH] = {};
  GetPrivateProfileStringW(L"Catalog", kName, L"", section, MAX_PATH, catalog);
  if (*section) GetPrivateProfileStringW(section, L"INF", L"", inf, MAX_PATH, catalog);
  return inf;
}

// The files "nothing to install" looks at: the description file, then each file its "Add.Code" lists.
std::vector<std::wstring> CheckedFiles(const std::wstring& inf) {
  const std::wstring folder = inf.substr(0, inf.find_last_of(L'\\') + 1);
  std::vector<std::wstring> files{inf};
  std::vector<wchar_t> keys(8192, L'\0');
  GetPrivateProfileStringW(L"Add.Code", nullptr, L"", keys.data(), static_cast<DWORD>(keys.size()), inf.c_str());
  for (const wchar_t* key = keys.data(); *key; key += wcslen(key) + 1) files.push_back(folder + key);
  return files;
}

// Opens path for reading and closes it again, as the check opens each file it looks for.
bool OpenAndClose(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// The reference of B1: the calls the check makes, made bare. The version file opened and read; the
// description file opened and its "Add.Code" section read; for each line, the "InstallFile" value of the
// section the line names, and the file opened.
bool BareCheck(const std::wstring& inf, const std::wstring& versionFile) {
  HANDLE file = CreateFileW(versionFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char text[64];
  DWORD got = 0;
  bool ok = ReadFile(file, text, sizeof(text), &got, nullptr) != FALSE;
  CloseHandle(file);
  uint16_t parts[4];
  ok = kesi::ParseVersionFileText(text, got, parts) && ok;
  ok = OpenAndClose(inf) && ok;
  const std::wstring folder = inf.substr(0, inf.find_last_of(L'\\') + 1);
  std::vector<wchar_t> section(4096, L'\0');
  GetPrivateProfileSectionW(L"Add.Code", section.data(), static_cast<DWORD>(section.size()), inf.c_str());
  for (const wchar_t* line = section.data(); *line; line += wcslen(line) + 1) {
    const wchar_t* equals = wcschr(line, L'=');
    const std::wstring key(line, equals ? static_cast<size_t>(equals - line) : wcslen(line));
    wchar_t target[MAX_PATH];
    GetPrivateProfileStringW(equals ? equals + 1 : key.c_str(), L"InstallFile", key.c_str(), target, MAX_PATH,
                             inf.c_str());
    ok = OpenAndClose(folder + target) && ok;
  }
  return ok;
}

// The lines one run added to the installer log (their count and mean length, empty lines included in the
// length), read from the log's growth across the run.
struct RunLines {
  int count = 0;
  size_t meanChars = 0;
};
template <class Run>
RunLines LinesOfOneRun(Run run) {
  wchar_t path[MAX_PATH];
  if (kesi::GetLogFolderFile(path, kesi::kInstallerLogName)) return {};
  auto size = [&path] {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0ul;
  };
  const DWORD before = size();
  run();
  const DWORD after = size();
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE || after <= before) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return {};
  }
  std::string bytes(after - before, '\0');
  DWORD got = 0;
  SetFilePointer(file, static_cast<LONG>(before), nullptr, FILE_BEGIN);
  ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  // Numbered messages carry their own line break, so each is followed by an empty line: count the others.
  RunLines lines;
  for (size_t i = 0; i < got; ++i)
    if (bytes[i] == '\n' && i > 0 && bytes[i - 1] != '\n' && !(bytes[i - 1] == '\r' && i > 1 && bytes[i - 2] == '\n'))
      ++lines.count;
  lines.meanChars = lines.count ? got / lines.count : 0;
  return lines;
}

// The log's share of a run: an open, as many lines of the same length and the close, on a log of its own.
void LogAlone(const std::wstring& path, const RunLines& lines) {
  kesi::LogFile log;
  if (log.Open(path.c_str(), kesi::kLogPathAsGiven, nullptr) != 0) return;
  // A line's date, time and tag come to 26 characters; like a numbered message, the text carries a line
  // break of its own besides the log's.
  const std::wstring text = std::wstring(lines.meanChars > 30 ? lines.meanChars - 30 : 1, L'x') + L"\r\n";
  for (int i = 0; i < lines.count; ++i) kesi::LogInfo(&log, L"%ls", text.c_str());
  log.Close();
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"kesi-install-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

std::wstring TempFolder(const wchar_t* name) { return TempPath(name) + L"\\"; }

void EmptyFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + data.cFileName).c_str());
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

// The reference of B2: the transfer and a bare extraction of the same CAB.
DWORD BareInstall(const std::wstring& url, const std::wstring& cab, const std::wstring& folder) {
  // As the engine downloads: no certificate problem ignored, no dialog.
  if (DWORD error = kesi::DownloadFile(nullptr, url.c_str(), cab.c_str(), 0, INTERNET_OPEN_TYPE_PRECONFIG, 0,
                                       kesi::kTransferNoDialogs, nullptr, nullptr, kUserAgent, nullptr, nullptr,
                                       nullptr, nullptr, nullptr))
    return error;
  return kesi::install::ExtractCab(cab.c_str(), folder.c_str());
}

struct FullInstalls {
  double engine = 0;     // median milliseconds
  double reference = 0;  // median milliseconds
  ULONGLONG cabBytes = 0;
};

// runs full installs of version, each against the transfer and bare extraction of the same CAB (the two
// take turns at going first). With uninstallInf the component is uninstalled before each run, untimed.
DWORD TimeFullInstalls(const std::wstring& url, const wchar_t* version, const std::wstring& uninstallInf, int runs,
                       FullInstalls* out) {
  const std::wstring scratch = TempFolder(L"bare");
  const std::wstring cab = TempFolder(L"cab");
  CreateDirectoryW(scratch.c_str(), nullptr);
  CreateDirectoryW(cab.c_str(), nullptr);
  const std::wstring cabFile = cab + kName + L".CAB";
  std::vector<double> engine, bare;
  DWORD error = 0;
  for (int i = 0; i < runs && !error; ++i) {
    if (!uninstallInf.empty() && (error = kesi::install::UninstallComponent(uninstallInf.c_str(), true, nullptr)))
      break;
    double t0 = 0, t1 = 0, t2 = 0, t3 = 0;
    DWORD reference = 0;
    if (i % 2) {
      t2 = Now();
      reference = BareInstall(url, cabFile, scratch);
      t3 = Now();
    }
    t0 = Now();
    error = kesi::install::InstallComponentVer(url.c_str(), version, kFolderText);
    t1 = Now();
    if (i % 2 == 0) {
      t2 = Now();
      reference = BareInstall(url, cabFile, scratch);
      t3 = Now();
    }
    if (!error) error = reference;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(cabFile.c_str(), GetFileExInfoStandard, &data))
      out->cabBytes = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    EmptyFolder(scratch);
    DeleteFileW(cabFile.c_str());
    engine.push_back((t1 - t0) * 1e3);
    bare.push_back((t3 - t2) * 1e3);
  }
  RemoveDirectoryW(scratch.c_str());
  RemoveDirectoryW(cab.c_str());
  if (error) return error;
  out->engine = Median(engine);
  out->reference = Median(bare);
  return 0;
}

int Fail(const char* what, DWORD error) {
  std::fprintf(stderr, "install_bench: %s failed with %lu\n", what, error);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: install_bench HOST:PORT CAB_PATH [B1_RUNS] [B2_RUNS]\n");
    return 2;
  }
  const std::wstring url = std::wstring(L"https://") + argv[1] + argv[2];
  int quickRuns = argc > 3 ? _wtoi(argv[3]) : 50;
  int fullRuns = argc > 4 ? _wtoi(argv[4]) : 10;
  if (quickRuns < 1) quickRuns = 50;
  if (fullRuns < 1) fullRuns = 10;
  wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH + 1];
  INTERNET_PORT port = 0;
  if (kesi::SplitServerName(argv[1], host, INTERNET_MAX_HOST_NAME_LENGTH + 1, &port)) return Fail("HOST:PORT", 87);
  kesi::probe::ProcessAppliancePin pin;
  if (DWORD error = pin.Pin(host, port)) return Fail("pinning the appliance's certificate", error);

  // A leftover of an interrupted run goes first, so that the first install is a full one.
  std::wstring inf = CataloguedInf();
  if (!inf.empty()) kesi::install::UninstallComponent(inf.c_str(), true, nullptr);
  if (DWORD error = kesi::install::InstallComponentVer(url.c_str(), kVersion, kFolderText))
    return Fail("the first install", error);
  inf = CataloguedInf();
  if (inf.empty()) return Fail("finding the installed component in the catalog", ERROR_NOT_FOUND);
  const std::vector<std::wstring> files = CheckedFiles(inf);
  const std::wstring versionFile = inf.substr(0, inf.size() - 4) + L".ver";
  if (!BareCheck(inf, versionFile)) return Fail("the bare check", GetLastError());

  // B1. The two take turns at going first.
  std::vector<double> engine, bare;
  for (int i = 0; i < quickRuns; ++i) {
    double t0 = 0, t1 = 0, t2 = 0, t3 = 0;
    DWORD result = 0;
    if (i % 2) {
      t2 = Now();
      BareCheck(inf, versionFile);
      t3 = Now();
    }
    t0 = Now();
    result = kesi::install::InstallComponentVer(url.c_str(), kVersion, kFolderText);
    t1 = Now();
    if (i % 2 == 0) {
      t2 = Now();
      BareCheck(inf, versionFile);
      t3 = Now();
    }
    if (result) return Fail("nothing to install", result);
    engine.push_back((t1 - t0) * 1e6);
    bare.push_back((t3 - t2) * 1e6);
  }
  const double quickEngine = Median(engine), quickBare = Median(bare);

  // Where the engine's time goes: the installer log alone, as many lines as one run writes.
  const RunLines lines = LinesOfOneRun([&] { kesi::install::InstallComponentVer(url.c_str(), kVersion, kFolderText); });
  const std::wstring logPath = TempPath(L"log.log");
  std::vector<double> logTimes;
  for (int i = 0; i < quickRuns && lines.count; ++i) {
    DeleteFileW(logPath.c_str());
    const double t0 = Now();
    LogAlone(logPath, lines);
    logTimes.push_back((Now() - t0) * 1e6);
  }
  DeleteFileW(logPath.c_str());
  // And the description file read once per listed file, as the check reads each file's "InstallFile".
  std::vector<double> profileTimes;
  for (int i = 0; i < quickRuns; ++i) {
    wchar_t value[MAX_PATH];
    const double t0 = Now();
    for (size_t f = 1; f < files.size(); ++f) {
      const std::wstring key = files[f].substr(files[f].find_last_of(L'\\') + 1);
      GetPrivateProfileStringW(key.c_str(), L"InstallFile", key.c_str(), value, MAX_PATH, inf.c_str());
    }
    profileTimes.push_back((Now() - t0) * 1e6);
  }
  std::printf("B1 nothing to install: InstallComponentVer on the current %zu-file component\n", files.size() - 1);
  std::printf("  engine     median %10.1f us over %d runs\n", quickEngine, quickRuns);
  std::printf("  reference  median %10.1f us (the check's own calls made bare: the version file read, %zu "
              "files opened, 1 GetPrivateProfileSectionW and %zu GetPrivateProfileStringW)\n",
              quickBare, files.size(), files.size() - 1);
  std::printf("  ratio %.2f (goal < 5)\n", quickBare > 0 ? quickEngine / quickBare : 0.0);
  if (!logTimes.empty())
    std::printf("  of the engine's time: the installer log's open, %d lines of about %zu characters and close, "
                "written alone: median %.1f us\n",
                lines.count, lines.meanChars, Median(logTimes));
  std::printf("  of the engine's time: %zu GetPrivateProfileStringW of \"InstallFile\", one per listed file, alone: "
              "median %.1f us\n",
              files.size() - 1, Median(profileTimes));

  // B2, and the same over the installed component: a version above the one its files carry makes every
  // run a full install in which each file is in place, so that moving aside and deleting the backups show.
  FullInstalls fresh, over;
  if (DWORD error = TimeFullInstalls(url, kVersion, inf, fullRuns, &fresh)) return Fail("B2", error);
  if (DWORD error = TimeFullInstalls(url, L"1,0,0,2", L"", fullRuns, &over)) return Fail("B2 over the files", error);
  kesi::install::UninstallComponent(inf.c_str(), true, nullptr);

  std::printf("B2 full install of the %zu-file signed CAB (%.1f MB) over HTTPS\n", files.size() - 1,
              fresh.cabBytes / 1e6);
  std::printf("  engine     median %10.1f ms over %d runs (download, trust, extract, copy, commit, catalog)\n",
              fresh.engine, fullRuns);
  std::printf("  reference  median %10.1f ms (DownloadFile + ExtractCab into a temporary folder)\n", fresh.reference);
  std::printf("  ratio %.2f (goal < 1.5)\n", fresh.reference > 0 ? fresh.engine / fresh.reference : 0.0);
  std::printf("  over the installed files (each moved aside, its backup deleted): engine median %.1f ms, "
              "reference %.1f ms, ratio %.2f\n",
              over.engine, over.reference, over.reference > 0 ? over.engine / over.reference : 0.0);
  return 0;
}
