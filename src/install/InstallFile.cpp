#include "InstallFile.h"

#include <cwchar>
#include <memory>
#include <new>

#include "Handles.h"
#include "InstallPath.h"
#include "InstallSystem.h"
#include "LastError.h"
#include "LogFile.h"
#include "LogFolder.h"
#include "NetworkStack.h"
#include "messages.h"

namespace kesi::install {
namespace {

constexpr DWORD kUnregistrationWaitMs = 5000;
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

bool SameText(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

bool EndsWith(const wchar_t* text, const wchar_t* tail) {
  const size_t length = wcslen(text), tailLength = wcslen(tail);
  return length >= tailLength && SameText(text + length - tailLength, tail);
}

const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  return name;
}

bool FirstIsYes(const wchar_t* text) { return text[0] == L'Y' || text[0] == L'y'; }

// Starts "\"path\" switch" hidden and waits at most waitMs: the exit code, timeoutError (the program is
// ended) or 160 when it cannot start.
DWORD RunRegistrationProgram(const wchar_t* path, const wchar_t* switchText, DWORD waitMs, DWORD timeoutError,
                             bool useExitCode) {
  std::wstring command = std::wstring(L"\"") + path + L"\" " + switchText;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(path, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return ERROR_BAD_ARGUMENTS;  // 160
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  const DWORD waited = WaitForSingleObject(process.get(), waitMs);
  if (waited != WAIT_OBJECT_0) {
    // A program that does not finish (a dialog nobody sees, a hang) is ended rather than left behind.
    TerminateProcess(process.get(), timeoutError);
    WaitForSingleObject(process.get(), 5000);
    return waited == WAIT_TIMEOUT ? timeoutError : LastErrorOr(timeoutError);
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return LastErrorOr(ERROR_INVALID_HANDLE);
  return useExitCode ? exitCode : ERROR_SUCCESS;
}

using RegistrationEntry = HRESULT(STDAPICALLTYPE*)();

// Calls a self-registration export of the library at path with COM initialised on the thread; the library
// is unloaded again before returning, so that a rollback can delete it.
DWORD CallRegistrationEntry(const wchar_t* path, const char* entryName, LogFile* log, HRESULT* result) {
  UniqueModule module(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) {
    const DWORD error = LastErrorOr(ERROR_MOD_NOT_FOUND);
    LogMsgWarning(log, MSG_LOAD_COMPONENT_FAILED, error, path);
    return error;
  }
  ComApartment com;
  if (!com.Usable()) {
    LogMsgWarning(log, MSG_COM_INITIALIZE_FAILED, static_cast<DWORD>(com.Result()));
    return static_cast<DWORD>(com.Result());
  }
  const auto entry = reinterpret_cast<RegistrationEntry>(GetProcAddress(module.get(), entryName));
  if (!entry) {
    const DWORD error = LastErrorOr(ERROR_PROC_NOT_FOUND);
    LogMsgWarning(log, MSG_NO_DLLREGISTERSERVER, path, error);
    return error;
  }
  *result = entry();
  return ERROR_SUCCESS;
}

// The PendingFileRenameOperations value as read, with its real size (it need not end in two NULs).
std::wstring ReadPendingRenames() {
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return std::wstring();
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key.get(), kPendingRenames, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
      return std::wstring();
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = bytes;
    const LONG status =
        RegQueryValueExW(key.get(), kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got);
    if (status == ERROR_MORE_DATA) continue;  // it grew in between
    if (status != ERROR_SUCCESS) return std::wstring();
    data.resize(got / sizeof(wchar_t));
    return data;
  }
  return std::wstring();
}

}  // namespace

bool IsPendingRename(const wchar_t* path) {
  const std::wstring list = ReadPendingRenames();
  const std::wstring wanted = std::wstring(L"\\??\\") + path;
  // Entries come in pairs (source, target), a deletion's target empty: every string is compared, and the
  // walk ends with the data, not at the first empty string.
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(L'\0', start);
    if (end == std::wstring::npos) end = list.size();
    const std::wstring entry = list.substr(start, end - start);
    if (!entry.empty() && (SameText(entry.c_str(), wanted.c_str()) || SameText(entry.c_str(), path))) return true;
    start = end + 1;
  }
  return false;
}

DWORD RegisterComponentFile(const wchar_t* path, LogFile* log) {
  DWORD result;
  if (IsProviderFile(path)) {
    result = InstallProvider(path, log);
  } else if (IsDriverFile(path)) {
    result = InstallDriver(path, log);
  } else if (EndsWith(path, L".exe")) {
    result = RunRegistrationProgram(path, L"/RegServer", CurrentInstallSystem().registrationWaitMs, ERROR_TIMEOUT,
                                    true);
  } else {
    HRESULT registered = S_OK;
    result = CallRegistrationEntry(path, "DllRegisterServer", log, &registered);
    if (!result && FAILED(registered)) result = ERROR_INVALID_DATA;  // 13
  }
  if (result) LogMsgWarning(log, MSG_REGISTRATION_FAILED, result, path);
  else LogMsgInfo(log, MSG_COMPONENT_REGISTERED, path);
  return result;
}

DWORD UnregisterComponentFile(const wchar_t* path, LogFile* log) {
  DWORD result = ERROR_SUCCESS;
  if (IsProviderFile(path)) {
    result = RemoveProvider(path, log);
  } else if (IsDriverFile(path)) {
    result = RemoveDriver(log);
  } else if (EndsWith(path, L".exe")) {
    result = RunRegistrationProgram(path, L"-UnregServer", kUnregistrationWaitMs, ERROR_GEN_FAILURE, false);
  } else if (EndsWith(path, L".dll")) {
    HRESULT unregistered = S_OK;
    result = CallRegistrationEntry(path, "DllUnregisterServer", log, &unregistered);
    if (!result && FAILED(unregistered)) result = static_cast<DWORD>(unregistered);
  }
  if (result) LogMsgWarning(log, MSG_UNREGISTER_FAILED, result, path);
  else LogMsgInfo(log, MSG_UNREGISTERED, path);
  return result;
}

DWORD DeleteComponentFile(const wchar_t* path, LogFile* log, bool* rebootRequired) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(path)) {
    LogMsgInfo(log, MSG_FILE_REMOVED, path);
    return ERROR_SUCCESS;
  }
  const DWORD error = LastErrorOr(ERROR_ACCESS_DENIED);
  if (error == ERROR_FILE_NOT_FOUND) {
    LogMsgInfo(log, MSG_FILE_REMOVED, path);
    return ERROR_SUCCESS;
  }
  // In use: out of the way under another name now, gone at the next restart.
  std::wstring aside;
  if (JoinInstallPath(&aside, {path, L".del"}) == 0) {
    if (MoveFileExW(path, aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      if (!IsPendingRename(aside.c_str())) {
        if (!MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
          const DWORD scheduleError = LastErrorOr(ERROR_ACCESS_DENIED);
          LogMsgWarning(log, MSG_REMOVE_FILE_FAILED, scheduleError, path);
          return scheduleError;
        }
        *rebootRequired = true;
      }
      LogMsgInfo(log, MSG_FILE_REMOVED_REBOOT, path);
      return ERROR_SUCCESS;
    }
    if (GetLastError() == ERROR_SHARING_VIOLATION && SameText(FileNamePart(path), kInstallerLogName) &&
        MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      LogMsgInfo(log, MSG_FILE_REMOVED_REBOOT, path);
      return ERROR_SUCCESS;
    }
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(path, attributes);
  LogMsgWarning(log, MSG_REMOVE_FILE_FAILED, error, path);
  return error;
}

DWORD RemoveComponentFolder(const wchar_t* path, bool* rebootRequired, bool* deferred) {
  *deferred = false;
  std::wstring folder(path);
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
  }
  if (RemoveDirectoryW(folder.c_str())) return ERROR_SUCCESS;
  const DWORD error = LastErrorOr(ERROR_ACCESS_DENIED);
  // A folder that still holds files is never removed at restart either: that stays a failure.
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return error;
  if (!MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return LastErrorOr(error);
  *deferred = true;
  *rebootRequired = true;
  return ERROR_SUCCESS;
}

// ----------------------------------------------------------------------------------------------------

DWORD CInstallFile::Init(const std::wstring& installFolder, const std::wstring& tempFolder, const wchar_t* key,
                         const wchar_t* sectionName, const wchar_t* descriptionPath) {
  wchar_t flag[8];
  GetPrivateProfileStringW(sectionName, L"RegisterServer", L"", flag, 8, descriptionPath);
  registerServer_ = FirstIsYes(flag);
  GetPrivateProfileStringW(sectionName, L"HandleLockedFile", L"", flag, 8, descriptionPath);
  handleLockedFile_ = FirstIsYes(flag);
  wchar_t target[kInstallPathChars + 1];
  const DWORD length = GetPrivateProfileStringW(sectionName, L"InstallFile", L"", target, kInstallPathChars + 1,
                                                descriptionPath);
  if (length >= kInstallPathChars) return ERROR_FILENAME_EXCED_RANGE;
  // Both name files below the install folder and come from the downloaded description.
  if (CheckInstallEntryName(key) != 0 || (*target && CheckInstallEntryName(target) != 0))
    return ERROR_INVALID_PARAMETER;
  const DWORD result = SetPaths(installFolder, tempFolder, key, *target ? target : nullptr);
  return result ? result : CheckTarget();
}

DWORD CInstallFile::InitFromPath(const std::wstring& installFolder, const std::wstring& filePath) {
  const wchar_t* name = FileNamePart(filePath.c_str());
  const std::wstring folder = filePath.substr(0, static_cast<size_t>(name - filePath.c_str()));
  DWORD result = SetPaths(installFolder, std::wstring(), name, nullptr);
  if (result) return result;
  if (!SameText(folder.c_str(), installFolder.c_str())) sourcePath_ = filePath;
  return CheckTarget();
}

DWORD CInstallFile::SetPaths(const std::wstring& installFolder, const std::wstring& tempFolder,
                             const wchar_t* fileName, const wchar_t* targetName) {
  if (wcslen(fileName) > 256) return ERROR_FILENAME_EXCED_RANGE;
  std::wstring source, target;
  if (!tempFolder.empty() && JoinInstallPath(&source, {tempFolder.c_str(), fileName}) != 0)
    return ERROR_FILENAME_EXCED_RANGE;
  if (JoinInstallPath(&target, {installFolder.c_str(), targetName ? targetName : fileName}) != 0)
    return ERROR_FILENAME_EXCED_RANGE;
  fileName_ = fileName;
  sourcePath_ = std::move(source);
  targetPath_ = std::move(target);
  return ERROR_SUCCESS;
}

// An existing target must be replaceable: opened for writing and deletion with no sharing. The read-only
// attribute is cleared for the test only and put back whatever it shows.
DWORD CInstallFile::CheckTarget() {
  const DWORD attributes = GetFileAttributesW(targetPath_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ERROR_SUCCESS;
  targetExisted_ = true;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(targetPath_.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  UniqueFile file(CreateFileW(targetPath_.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = file ? ERROR_SUCCESS : GetLastError();
  file.reset();
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(targetPath_.c_str(), attributes);
  if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  LogMsgWarning(log_, MSG_FILE_LOCKED, targetPath_.c_str());
  return handleLockedFile_ ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION;
}

DWORD CInstallFile::MoveAside(bool unregister, int tries) {
  if (!targetExisted_ || !backupPath_.empty()) return ERROR_SUCCESS;
  if (unregister && registerServer_) {
    const DWORD result = UnregisterComponentFile(targetPath_.c_str(), log_);
    if (result) return result;
  }
  if (tries < 1) tries = 1;
  for (int n = 0; n < tries; ++n) {
    std::wstring candidate;
    if (JoinInstallPath(&candidate, {targetPath_.c_str(), L".", std::to_wstring(n).c_str()}) != 0) break;
    if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    if (!MoveFileW(targetPath_.c_str(), candidate.c_str())) {
      LogMsgWarning(log_, MSG_RENAME_FAILED, static_cast<DWORD>(ERROR_GEN_FAILURE), targetPath_.c_str());
      if (unregister && registerServer_) RegisterComponentFile(targetPath_.c_str(), log_);
      return ERROR_GEN_FAILURE;  // 31
    }
    backupPath_ = std::move(candidate);
    LogMsgInfo(log_, MSG_FILE_RENAMED, backupPath_.c_str());
    return ERROR_SUCCESS;
  }
  LogMsgWarning(log_, MSG_RENAME_FAILED, static_cast<DWORD>(ERROR_NO_MORE_SEARCH_HANDLES), targetPath_.c_str());
  if (unregister && registerServer_) RegisterComponentFile(targetPath_.c_str(), log_);
  return ERROR_NO_MORE_SEARCH_HANDLES;  // 68
}

DWORD CInstallFile::InstallFile(bool* rebootRequired) {
  if (targetPath_.empty() || sourcePath_.empty()) return ERROR_INVALID_DATA;
  if (handleLockedFile_) {
    const DWORD result = MoveAside(false, 10);
    if (result) {
      LogMsgWarning(log_, MSG_INSTALL_FILE_FAILED, result, targetPath_.c_str());
      RollBack(rebootRequired);
      return result;
    }
  }
  DWORD result = ERROR_SUCCESS;
  copied_ = CopyFileW(sourcePath_.c_str(), targetPath_.c_str(), TRUE) != FALSE;
  if (!copied_) {
    result = LastErrorOr(ERROR_GEN_FAILURE);
    LogMsgWarning(log_, MSG_INSTALL_FILE_FAILED, result, targetPath_.c_str());
  } else {
    LogMsgInfo(log_, MSG_FILE_INSTALLED, targetPath_.c_str());
    if (registerServer_) result = RegisterComponentFile(targetPath_.c_str(), log_);
  }
  if (handleLockedFile_) {
    if (result) RollBack(rebootRequired);
    else DeleteBackup(rebootRequired);
  }
  return result;
}

DWORD CInstallFile::Remove(bool* rebootRequired) {
  if (fileName_.empty() || sourcePath_.empty()) return ERROR_INVALID_DATA;
  if (_wcsnicmp(fileName_.c_str(), L"file", 4) == 0) return DeleteComponentFile(sourcePath_.c_str(), log_, rebootRequired);
  if (_wcsnicmp(fileName_.c_str(), L"dir", 3) == 0) {
    bool deferred = false;
    const DWORD result = RemoveComponentFolder(sourcePath_.c_str(), rebootRequired, &deferred);
    LogMsgInfo(log_, MSG_REMOVING_DIRECTORY, sourcePath_.c_str(), deferred ? L"Yes" : L"No", result);
    return result;
  }
  LogMsgWarning(log_, MSG_UNRECOGNIZED_KEY, L"INF", L"Uninstall", fileName_.c_str());
  return ERROR_INVALID_DATA;
}

DWORD CInstallFile::DeleteBackup(bool* rebootRequired) {
  if (backupPath_.empty()) return ERROR_SUCCESS;
  const DWORD result = DeleteComponentFile(backupPath_.c_str(), log_, rebootRequired);
  if (!result) backupPath_.clear();
  return result;
}

DWORD CInstallFile::RollBack(bool* rebootRequired) {
  if (copied_) {
    // The new copy takes the registration it added with it, and is renamed out of the way when it cannot
    // be deleted, so that the old file can come back in any case.
    if (registerServer_) UnregisterComponentFile(targetPath_.c_str(), log_);
    const DWORD result = DeleteComponentFile(targetPath_.c_str(), log_, rebootRequired);
    LogMsgInfo(log_, MSG_REMOVING_NEW_FILE, targetPath_.c_str(), result);
    if (result) return result;
    copied_ = false;
  }
  if (backupPath_.empty()) return ERROR_SUCCESS;
  const DWORD result = MoveFileW(backupPath_.c_str(), targetPath_.c_str()) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
  LogMsgInfo(log_, MSG_ROLLING_BACK_OLD_FILE, targetPath_.c_str(), result);
  if (result) return result;
  backupPath_.clear();
  return registerServer_ ? RegisterComponentFile(targetPath_.c_str(), log_) : ERROR_SUCCESS;
}

}  // namespace kesi::install
