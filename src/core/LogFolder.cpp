#include "LogFolder.h"

#include <shlobj.h>

#include <cwchar>

#include "LogFileIo.h"

namespace kesi {
namespace {

constexpr wchar_t kLogSubfolder1[] = L"\\Velmora";
constexpr wchar_t kLogSubfolder2[] = L"\\LogFiles";

DWORD CreateFolder(const wchar_t* path) {
  if (CreateDirectoryW(path, nullptr)) return ERROR_SUCCESS;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

}  // namespace

DWORD PrepareLogFolder(wchar_t* folder, wchar_t* logFolder, bool perUser) {
  if (!folder || !logFolder) return ERROR_INVALID_PARAMETER;
  int which = (perUser ? CSIDL_APPDATA : CSIDL_COMMON_APPDATA) | CSIDL_FLAG_CREATE;
  HRESULT hr = SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  wcscpy(logFolder, folder);
  if (!AppendPath(logFolder, kLogSubfolder1)) return ERROR_FILENAME_EXCED_RANGE;
  if (DWORD error = CreateFolder(logFolder)) return error;
  if (!AppendPath(logFolder, kLogSubfolder2)) return ERROR_FILENAME_EXCED_RANGE;
  return CreateFolder(logFolder);
}

DWORD GetLogFolder(wchar_t* folder) {
  if (!folder) return ERROR_INVALID_PARAMETER;
  wchar_t appData[MAX_PATH];
  return PrepareLogFolder(appData, folder, true);
}

DWORD GetLogFolderFile(wchar_t* path, const wchar_t* name) {
  if (!path || !name) return ERROR_INVALID_PARAMETER;
  if (DWORD error = GetLogFolder(path)) return error;
  if (!AppendPath(path, L"\\") || !AppendPath(path, name)) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

DWORD GetBootstrapperLogPath(wchar_t* path) { return GetLogFolderFile(path, kBootstrapperLogName); }

DWORD GetInitLogPath(wchar_t* path) { return GetLogFolderFile(path, kInitLogName); }

}  // namespace kesi
