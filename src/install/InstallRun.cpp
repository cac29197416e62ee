#include "InstallRun.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>

#include "CabExtract.h"
#include "Catalog.h"
#include "ComponentVersion.h"
#include "FileTransfer.h"
#include "FolderText.h"
#include "Handles.h"
#include "HostChecks.h"
#include "InstallPath.h"
#include "InstallSystem.h"
#include "InternetUrl.h"
#include "LastError.h"
#include "LogFolder.h"
#include "NetworkStack.h"
#include "SecureWipe.h"
#include "messages.h"

namespace kesi::install {
namespace {

constexpr wchar_t kTempPrefix[] = L"ks";  // the private temporary folder's name begins so
constexpr wchar_t kUserAgent[] = L"Velmora Interrogator";
constexpr DWORD kAddCodeChars = 4096;
constexpr DWORD kUninstallChars = 1024;
constexpr size_t kClassKeyChars = 80;
constexpr DWORD kServerPathBytes = 520;

// The module whose message table the log reads: the one that holds this code.
HMODULE MessageModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&MessageModule), &module);
  return module;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The shell folder a keyword names (empty when it cannot be obtained).
std::wstring ShellFolder(FolderBase base) {
  int csidl;
  switch (base) {
    case FolderBase::kLocal:
    case FolderBase::kLocalData: csidl = CSIDL_APPDATA; break;
    case FolderBase::kGlobal: csidl = CSIDL_COMMON_APPDATA; break;
    case FolderBase::kWindows: csidl = CSIDL_WINDOWS; break;
    case FolderBase::kSystem: csidl = CSIDL_SYSTEM; break;
    case FolderBase::kProgram: csidl = CSIDL_PROGRAM_FILES; break;
    default: return std::wstring();
  }
  wchar_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder))) return std::wstring();
  return folder;
}

// folderText resolved against baseFolder (for texts without a keyword); 13 or 206 as ResolveFolderText.
DWORD ResolveFolder(const wchar_t* folderText, const wchar_t* baseFolder, std::wstring* out) {
  const FolderTextParts parts = SplitFolderText(folderText);
  std::wstring base;
  if (parts.base == FolderBase::kCaller) base = baseFolder ? baseFolder : L"";
  else if (parts.base != FolderBase::kNone) base = ShellFolder(parts.base);
  return ResolveFolderText(parts, base.c_str(), out);
}

// The server path of a class's LocalServer32/InprocServer32 default value: quotes and arguments dropped,
// environment references expanded.
std::wstring ServerPath(const wchar_t* value) {
  std::wstring path(value);
  if (!path.empty() && path[0] == L'"') {
    const size_t close = path.find(L'"', 1);
    path = path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  } else if (!Exists(path)) {
    for (const wchar_t* marker : {L" /", L" -"}) {
      const size_t at = path.find(marker);
      if (at != std::wstring::npos) path.resize(at);
    }
  }
  wchar_t expanded[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH);
  if (length && length <= MAX_PATH) path = expanded;
  return path;
}

}  // namespace

CInstall::CInstall(bool windowsComponent) : windowsComponent_(windowsComponent) {}

CInstall::~CInstall() {
  DeleteTempFolder();
  log_.Close();
}

DWORD CInstall::OpenLog() {
  if (log_.IsOpen()) return ERROR_SUCCESS;
  return log_.Open(kInstallerLogName, 0, MessageModule());
}

DWORD CInstall::SetCabUrl(const wchar_t* url) {
  if (CheckCabUrl(url) != 0) return ERROR_INVALID_PARAMETER;
  ParsedUrl parsed;
  DWORD result = parsed.Parse(url);
  std::wstring name;
  if (!result) result = ComponentNameFromUrlPath(parsed.path(), &name);
  if (result) {
    LogMsgWarning(&log_, MSG_CAB_NAME_UNPARSABLE, url, result);
    return result;
  }
  cabUrl_ = url;
  name_ = std::move(name);
  return ERROR_SUCCESS;
}

DWORD CInstall::SetClassId(const wchar_t* classId) {
  classId_ = classId ? classId : L"";
  return ERROR_SUCCESS;
}

DWORD CInstall::ResolveInstallFolder(const wchar_t* folderText, std::wstring* folder) {
  DWORD result = ResolveFolder(folderText, nullptr, folder);
  if (!result) result = EnsureTrailingBackslash(folder);
  if (result) LogMsgWarning(&log_, MSG_INSTALL_DIRECTORY_ERROR, result, folder->c_str(), folderText);
  return result;
}

DWORD CInstall::CreateInstallFolder(const wchar_t* folderText) {
  // Each level from the root down; the root itself ("C:\", "\\server\share\") is never made.
  size_t start = 0;
  if (installFolder_.size() > 2 && installFolder_[1] == L':') start = 3;
  else if (installFolder_.compare(0, 2, L"\\\\") == 0) {
    start = installFolder_.find(L'\\', 2);
    start = start == std::wstring::npos ? installFolder_.size() : installFolder_.find(L'\\', start + 1);
    start = start == std::wstring::npos ? installFolder_.size() : start + 1;
  }
  for (size_t at = installFolder_.find(L'\\', start); at != std::wstring::npos; at = installFolder_.find(L'\\', at + 1)) {
    const std::wstring level = installFolder_.substr(0, at);
    if (CreateDirectoryW(level.c_str(), nullptr)) {
      folderCreated_ = true;
      LogMsgInfo(&log_, MSG_CREATING_DIRECTORY, level.c_str(), 0u);
      continue;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && (GetFileAttributesW(level.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) continue;
    LogMsgWarning(&log_, MSG_INSTALL_DIRECTORY_ERROR, error, installFolder_.c_str(), folderText);
    return error ? error : ERROR_PATH_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

DWORD CInstall::SetInstallFolder(const wchar_t* folderText, bool create) {
  std::wstring folder;
  const DWORD result = ResolveInstallFolder(folderText, &folder);
  if (result) return result;
  installFolder_ = std::move(folder);
  return create ? CreateInstallFolder(folderText) : ERROR_SUCCESS;
}

// One run at a time per install folder, across processes.
DWORD CInstall::LockInstallFolder() {
  return folderLock_.Acquire(L"Local\\kesi.install.", installFolder_.c_str(), CurrentInstallSystem().lockWaitMs);
}

bool CInstall::ProgramRunning(const wchar_t* fileName) {
  LONG found = 0;
  bool tableFull = false;
  if (CurrentInstallSystem().findProgram(fileName, &found, &tableFull) != ERROR_SUCCESS) return false;
  if (tableFull) LogMsgWarning(&log_, MSG_PROCESS_TABLE_FULL, kModuleNameTableBytes);
  if (found) LogMsgWarning(&log_, MSG_PROGRAM_RUNNING, fileName);
  return found != 0;
}

DWORD CInstall::Install(const wchar_t* version, const wchar_t* cabUrl, const wchar_t* folderText,
                        const wchar_t* classId) {
  DWORD result = OpenLog();
  if (result) return result;
  LogMsgInfo(&log_, MSG_BEGIN_FUNCTION, L"CInstall::Install", cabUrl ? cabUrl : L"");
  if (cabUrl && *cabUrl && (result = SetCabUrl(cabUrl)) != 0) return result;
  if (folderText && *folderText) {
    if ((result = ResolveInstallFolder(folderText, &installFolder_)) != 0) return result;
    // Another run on the same folder finishes first; nothing is created before the lock is held.
    if ((result = LockInstallFolder()) != 0) return result;
    if ((result = CreateInstallFolder(folderText)) != 0) return result;
  }
  if (classId && *classId) SetClassId(classId);
  if (!NeedsInstall(version)) return ERROR_SUCCESS;
  LogMsgInfo(&log_, MSG_INSTALLING_VERSION, version ? version : L"", name_.c_str());

  if ((result = DownloadAndExtract(nullptr)) != 0) return result;
  if ((result = ReadAddCode(nullptr)) != 0) return result;
  result = MoveExistingAside(false, false);
  if (!result) result = InstallFiles();
  if (result) {
    RollBack(false);
    return result;
  }
  DeleteBackups();
  const bool qolma = SameText(name_.c_str(), L"qolma");
  if (qolma) RemoveQolmaRemnantsBeforeCatalog();
  AddToCatalog();
  LogMsgInfo(&log_, MSG_COMPONENT_INSTALLED, cabUrl_.c_str());
  if (qolma) RemoveQolmaRemnantsAfterInstall();
  return ERROR_SUCCESS;
}

DWORD CInstall::Uninstall(const wchar_t* descriptionPath, bool removeFolder) {
  DWORD result = OpenLog();
  if (result) return result;
  LogMsgInfo(&log_, MSG_BEGIN_FUNCTION, L"CInstall::Uninstall", descriptionPath);
  const wchar_t* fileName = descriptionPath;
  for (const wchar_t* p = descriptionPath; *p; ++p)
    if (*p == L'\\' || *p == L'/') fileName = p + 1;
  installFolder_.assign(descriptionPath, static_cast<size_t>(fileName - descriptionPath));
  name_ = fileName;
  const size_t dot = name_.rfind(L'.');
  if (dot != std::wstring::npos) name_.resize(dot);

  if (installFolder_.empty()) result = ERROR_GEN_FAILURE;  // 31
  if (!result) result = LockInstallFolder();
  if (!result) result = ReadAddCode(descriptionPath);
  if (!result) result = ReadUninstallSection(descriptionPath);
  if (!result) result = MoveExistingAside(true, true);
  if (!result) result = DeleteBackups();
  if (!result) RemoveUninstallItems();
  if (!result && removeFolder) {
    bool deferred = false;
    result = RemoveComponentFolder(installFolder_.c_str(), &rebootRequired_, &deferred);
    if (result) LogMsgWarning(&log_, MSG_DIRECTORY_NOT_REMOVED, installFolder_.c_str());
  }
  if (!result) {
    CatalogRemove(descriptionPath);
    LogMsgInfo(&log_, MSG_COMPONENT_UNINSTALLED, name_.c_str());
    return ERROR_SUCCESS;
  }
  LogMsgWarning(&log_, MSG_UNINSTALL_FAILED, result, descriptionPath);
  RollBack(true);
  return result;
}

bool CInstall::NeedsInstall(const wchar_t* version) {
  if (!classId_.empty() ? CheckRegisteredVersion(version) : CheckVersionFile(version)) return true;
  std::wstring description;
  if (JoinInstallPath(&description, {installFolder_.c_str(), name_.c_str(), L".inf"}) != 0) return true;
  {
    UniqueFile file(CreateFileW(description.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file) {
      LogMsgInfo(&log_, MSG_CATALOG_MISSING, description.c_str());
      return true;
    }
  }
  std::unique_ptr<wchar_t[]> section(new wchar_t[kAddCodeChars]());
  GetPrivateProfileSectionW(L"Add.Code", section.get(), kAddCodeChars, description.c_str());
  bool passed = true;
  for (const wchar_t* line = section.get(); *line && passed; line += wcslen(line) + 1) {
    const wchar_t* equals = wcschr(line, L'=');
    const std::wstring key(line, equals ? static_cast<size_t>(equals - line) : wcslen(line));
    // The target's name is in the section the line's value names, as ReadAddCode reads it.
    wchar_t target[kInstallPathChars];
    GetPrivateProfileStringW(equals ? equals + 1 : key.c_str(), L"InstallFile", key.c_str(), target,
                             kInstallPathChars, description.c_str());
    LogMsgInfo(&log_, MSG_CHECKING_FOR_FILE, target);
    std::wstring path;
    UniqueFile file;
    if (JoinInstallPath(&path, {installFolder_.c_str(), target}) == 0)
      file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
      LogMsgWarning(&log_, MSG_CATALOG_FILE_MISSING, target, installFolder_.c_str());
      passed = false;
    }
  }
  if (!passed) {
    LogMsgWarning(&log_, MSG_INSTALLATION_CORRUPTED, name_.c_str(), version ? version : L"");
    return true;
  }
  LogMsgInfo(&log_, MSG_COMPONENT_CURRENT, name_.c_str(), version ? version : L"");
  return false;
}

bool CInstall::CheckVersionFile(const wchar_t* version) {
  if (installFolder_.empty() || name_.empty()) {
    LogMsgWarning(&log_, MSG_COMPONENT_VERSION_FAILED, static_cast<DWORD>(ERROR_INVALID_DATA), name_.c_str());
    return true;
  }
  uint16_t wanted[4], installed[4];
  if (!ParseVersionFileText(version, wanted)) return true;
  std::wstring path;
  if (JoinInstallPath(&path, {installFolder_.c_str(), name_.c_str(), L".ver"}) != 0) return true;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr));
  if (!file) return true;
  char text[128];
  DWORD got = 0;
  if (!ReadFile(file.get(), text, sizeof text, &got, nullptr) || !ParseVersionFileText(text, got, installed))
    return true;
  if (CompareVersionParts(wanted, installed) > 0) return true;
  LogMsgInfo(&log_, MSG_INSTALLED_VERSION_CURRENT, path.c_str());
  return false;
}

bool CInstall::CheckRegisteredVersion(const wchar_t* version) {
  struct Place {
    HKEY root;
    const wchar_t* prefix;
    const wchar_t* server;
  } const places[] = {
      {HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\", L"\\LocalServer32"},
      {HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\", L"\\InprocServer32"},
      {HKEY_CLASSES_ROOT, L"CLSID\\", L"\\LocalServer32"},
      {HKEY_CLASSES_ROOT, L"CLSID\\", L"\\InprocServer32"},
  };
  UniqueKey key;
  for (const Place& place : places) {
    const std::wstring path = place.prefix + classId_ + place.server;
    if (path.size() > kClassKeyChars) {
      // A class id that does not fit the key path is no class this engine registered.
      LogMsgWarning(&log_, MSG_REGISTRY_OPEN_FAILED, static_cast<DWORD>(ERROR_INVALID_PARAMETER), path.c_str());
      return true;
    }
    const LONG status = RegOpenKeyExW(place.root, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_SUCCESS) break;
    if (status != ERROR_FILE_NOT_FOUND) {
      LogMsgWarning(&log_, MSG_REGISTRY_OPEN_FAILED, static_cast<DWORD>(status), path.c_str());
      return true;
    }
  }
  if (!key) return true;
  wchar_t value[kServerPathBytes / sizeof(wchar_t) + 1] = {};
  DWORD bytes = kServerPathBytes, type = 0;
  LONG status = RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
  if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) status = ERROR_INVALID_DATA;
  std::wstring server = status == ERROR_SUCCESS ? ServerPath(value) : std::wstring();
  DWORD error = static_cast<DWORD>(status);
  uint16_t installed[4] = {};
  if (!error) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(server.c_str(), &ignored);
    std::unique_ptr<BYTE[]> info(size ? new (std::nothrow) BYTE[size] : nullptr);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!info || !GetFileVersionInfoW(server.c_str(), 0, size, info.get()) ||
        !VerQueryValueW(info.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof(VS_FIXEDFILEINFO))
      error = LastErrorOr(ERROR_RESOURCE_TYPE_NOT_FOUND);
    else
      FileVersionParts(fixed->dwFileVersionMS, fixed->dwFileVersionLS, installed);
  }
  if (error) {
    LogMsgWarning(&log_, MSG_COMPONENT_VERSION_FAILED, error, server.empty() ? classId_.c_str() : server.c_str());
    return true;
  }
  uint16_t wanted[4];
  ParseCommaVersion(version, wanted);
  if (CompareVersionParts(wanted, installed) > 0) return true;
  LogMsgInfo(&log_, MSG_INSTALLED_VERSION_CURRENT, name_.c_str());
  return false;
}

DWORD CInstall::CreateTempFolder() {
  if (!tempFolder_.empty()) return ERROR_SUCCESS;
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  std::wstring folder;
  if (length && length < MAX_PATH) {
    if (wchar_t* unique = _wtempnam(temp, kTempPrefix)) {
      folder = unique;
      free(unique);
    }
  }
  if (folder.empty() || EnsureTrailingBackslash(&folder) != 0 || !CreateDirectoryW(folder.c_str(), nullptr)) {
    LogMsgWarning(&log_, MSG_TEMP_DIRECTORY_FAILED, static_cast<DWORD>(ERROR_GEN_FAILURE), folder.c_str());
    return ERROR_GEN_FAILURE;  // 31
  }
  tempFolder_ = std::move(folder);
  return ERROR_SUCCESS;
}

DWORD CInstall::DeleteTempFolder() {
  if (tempFolder_.empty()) return ERROR_SUCCESS;
  std::wstring folder = tempFolder_;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  const size_t slash = folder.rfind(L'\\');
  const std::wstring last = folder.substr(slash == std::wstring::npos ? 0 : slash + 1);
  // Only a folder this engine made is ever emptied.
  if (_wcsnicmp(last.c_str(), kTempPrefix, wcslen(kTempPrefix)) != 0) return ERROR_SUCCESS;
  DWORD result = ERROR_SUCCESS;
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"\\*.*").c_str(), &found));
  if (search) {
    do {
      if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L"..")) continue;
      const std::wstring path = folder + L"\\" + found.cFileName;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(path.c_str()) && !result) result = LastErrorOr(ERROR_ACCESS_DENIED);
    } while (FindNextFileW(search.get(), &found));
  }
  search.reset();
  if (!RemoveDirectoryW(folder.c_str()) && !result) result = LastErrorOr(ERROR_ACCESS_DENIED);
  if (!result) tempFolder_.clear();
  return result;
}

DWORD CInstall::DownloadAndExtract(const wchar_t* url) {
  DWORD result;
  if (url && *url && (result = SetCabUrl(url)) != 0) return result;
  if (cabUrl_.empty() || name_.empty()) return ERROR_INVALID_DATA;
  if ((result = CreateTempFolder()) != 0) return result;
  std::wstring cabPath;
  if (JoinInstallPath(&cabPath, {tempFolder_.c_str(), name_.c_str(), L".CAB"}) != 0) return ERROR_FILENAME_EXCED_RANGE;

  std::wstring cookie;
  if ((result = CopyInstallCookie(&cookie)) != 0) return result;
  result = DownloadFile(nullptr, cabUrl_.c_str(), cabPath.c_str(), 0, INTERNET_OPEN_TYPE_PRECONFIG, 0,
                        kTransferNoDialogs, nullptr, nullptr, kUserAgent, cookie.empty() ? nullptr : cookie.c_str(),
                        nullptr, nullptr, nullptr, nullptr);
  if (!cookie.empty()) SecureWipe(&cookie[0], cookie.size() * sizeof(wchar_t));
  if (result) {
    LogMsgWarning(&log_, MSG_DOWNLOAD_FAILED, result, name_.c_str(), cabPath.c_str());
    return result;
  }
  LogMsgInfo(&log_, MSG_DOWNLOADING, cabUrl_.c_str(), cabPath.c_str());

  const wchar_t* publisher = windowsComponent_ ? L"Microsoft Windows Publisher" : L"Velmora Corporation";
  const LONG trust = CurrentInstallSystem().verifyTrust(cabPath.c_str(), publisher);
  if (trust != 0) {
    LogMsgWarning(&log_, MSG_COMPONENT_NOT_TRUSTED, cabUrl_.c_str(), static_cast<DWORD>(trust));
    return static_cast<DWORD>(trust);
  }
  LogMsgInfo(&log_, MSG_CAB_TRUSTED, cabUrl_.c_str());

  LogMsgInfo(&log_, MSG_DECOMPRESSING_CAB, tempFolder_.c_str());
  result = ExtractCab(cabPath.c_str(), tempFolder_.c_str());
  if (result) LogMsgWarning(&log_, MSG_CAB_DECOMPRESSION_FAILED, result, cabPath.c_str());
  return result;
}

DWORD CInstall::ReadAddCode(const wchar_t* descriptionPath) {
  std::wstring description;
  if (descriptionPath && *descriptionPath) description = descriptionPath;
  else if (JoinInstallPath(&description, {tempFolder_.c_str(), name_.c_str(), L".inf"}) != 0)
    return ERROR_FILENAME_EXCED_RANGE;
  std::unique_ptr<wchar_t[]> section(new wchar_t[kAddCodeChars]());
  const DWORD length = GetPrivateProfileSectionW(L"Add.Code", section.get(), kAddCodeChars, description.c_str());
  if (length >= kAddCodeChars - 2) return ERROR_MORE_DATA;  // 234
  if (length == 0) {
    LogMsgWarning(&log_, MSG_INF_NOT_FOUND, cabUrl_.empty() ? description.c_str() : cabUrl_.c_str());
    return ERROR_FILE_NOT_FOUND;
  }
  auto own = std::make_unique<CInstallFile>(&log_);
  DWORD result = own->InitFromPath(installFolder_, description);
  if (result) return result;
  files_.insert(files_.begin(), std::move(own));

  for (wchar_t* line = section.get(); *line;) {
    wchar_t* next = line + wcslen(line) + 1;
    wchar_t* equals = wcschr(line, L'=');
    if (!equals) return ERROR_INVALID_PARAMETER;
    *equals = L'\0';
    auto file = std::make_unique<CInstallFile>(&log_);
    result = file->Init(installFolder_, tempFolder_, line, equals + 1, description.c_str());
    if (result == ERROR_INVALID_PARAMETER)
      LogMsgWarning(&log_, MSG_CAB_DECOMPRESSION_FAILED, result, cabUrl_.empty() ? description.c_str() : cabUrl_.c_str());
    if (result) return result;
    (file->HandlesLockedFile() ? lockedFiles_ : files_).push_back(std::move(file));
    line = next;
  }
  return ERROR_SUCCESS;
}

DWORD CInstall::ReadUninstallSection(const wchar_t* descriptionPath) {
  wchar_t section[kUninstallChars] = {};
  const DWORD length = GetPrivateProfileSectionW(L"Uninstall", section, kUninstallChars, descriptionPath);
  if (length >= kUninstallChars - 2) return ERROR_MORE_DATA;
  DWORD result = ERROR_SUCCESS;
  for (wchar_t* line = section; *line;) {
    wchar_t* next = line + wcslen(line) + 1;
    wchar_t* equals = wcschr(line, L'=');
    if (equals && equals[1]) {
      *equals = L'\0';
      std::wstring path;
      const DWORD one = ResolveFolder(equals + 1, installFolder_.c_str(), &path);
      if (one) {
        if (!result) result = one;
      } else {
        auto item = std::make_unique<CInstallFile>(&log_);
        item->SetFileName(line);
        item->SetPath(path);
        uninstallItems_.push_back(std::move(item));
      }
    }
    line = next;
  }
  return result;
}

DWORD CInstall::AddToCatalog() {
  std::wstring description;
  if (JoinInstallPath(&description, {installFolder_.c_str(), name_.c_str(), L".inf"}) != 0)
    return ERROR_FILENAME_EXCED_RANGE;
  return CatalogRecordInstall(name_.c_str(), description.c_str(), folderCreated_);
}

DWORD CInstall::MoveExistingAside(bool unregister, bool includeLocked) {
  DWORD result;
  if (includeLocked)
    for (auto& file : lockedFiles_)
      if ((result = file->MoveAside(unregister, 10)) != 0) return result;
  for (auto& file : files_)
    if ((result = file->MoveAside(unregister, 10)) != 0) return result;
  return ERROR_SUCCESS;
}

DWORD CInstall::InstallFiles() {
  DWORD result;
  for (auto* list : {&lockedFiles_, &files_})
    for (auto& file : *list)
      if ((result = file->InstallFile(&rebootRequired_)) != 0) return result;
  return ERROR_SUCCESS;
}

DWORD CInstall::RemoveUninstallItems() {
  DWORD result = ERROR_SUCCESS;
  for (auto& item : uninstallItems_) {
    const DWORD one = item->Remove(&rebootRequired_);
    if (one && !result) result = one;
  }
  return result;
}

DWORD CInstall::DeleteBackups() {
  DWORD result = ERROR_SUCCESS;
  for (auto* list : {&lockedFiles_, &files_}) {
    for (auto& file : *list) {
      const DWORD one = file->DeleteBackup(&rebootRequired_);
      if (one && !result) result = one;
    }
  }
  return result;
}

DWORD CInstall::RollBack(bool includeLocked) {
  LogMsgWarning(&log_, MSG_ROLLING_BACK);
  DWORD result = ERROR_SUCCESS;
  for (auto* list : {&files_, &lockedFiles_}) {
    if (list == &lockedFiles_ && !includeLocked) break;
    for (auto& file : *list) {
      const DWORD one = file->RollBack(&rebootRequired_);
      if (one && !result) result = one;
    }
  }
  return result;
}

void CInstall::RemoveQolmaRemnantsBeforeCatalog() {
  std::wstring folder;
  if (ResolveFolder(L"localdata:QOLMA", nullptr, &folder) != 0) return;
  std::wstring path;
  if (JoinInstallPath(&path, {folder.c_str(), L"\\korsp.dll"}) == 0 && Exists(path)) {
    UnregisterComponentFile(path.c_str(), &log_);
    DeleteComponentFile(path.c_str(), &log_, &rebootRequired_);
  }
  if (JoinInstallPath(&path, {folder.c_str(), L"\\kororder.dll"}) == 0 && Exists(path))
    DeleteComponentFile(path.c_str(), &log_, &rebootRequired_);
}

void CInstall::RemoveQolmaRemnantsAfterInstall() {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length && length < MAX_PATH) {
    std::wstring path;
    if (JoinInstallPath(&path, {system, L"\\lwsp.dll"}) == 0 && Exists(path)) {
      UnregisterComponentFile(path.c_str(), &log_);
      DeleteComponentFile(path.c_str(), &log_, &rebootRequired_);
    }
    for (const wchar_t* name : {L"\\lwnlsp.ver", L"\\lwnlsp.inf"})
      if (JoinInstallPath(&path, {system, name}) == 0 && Exists(path))
        DeleteComponentFile(path.c_str(), &log_, &rebootRequired_);
  }
  std::wstring folder;
  if (ResolveFolder(L"local:Application Data\\Velmora\\Lumenway", nullptr, &folder) != 0 || !Exists(folder)) return;
  // The shell's list of names ends in a second NUL.
  folder.push_back(L'\0');
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = folder.c_str();
  operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
  SHFileOperationW(&operation);
}

}  // namespace kesi::install
