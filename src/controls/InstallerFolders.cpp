#include "InstallerFolders.h"

#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <memory>

#include "Handles.h"
#include "InstallSystem.h"
#include "LastError.h"

namespace kesi::controls {
namespace {

constexpr wchar_t kVelmoraFolder[] = L"Velmora\\";
// FOLDERID_InternetCache: the browser's Temporary Internet Files.
constexpr GUID kInternetCacheFolder = {0x352481E8, 0x33BE, 0x4251, {0xBA, 0x85, 0x60, 0x07, 0xCA, 0xED, 0xCF, 0x9D}};

using IsProtectedModeFn = HRESULT(WINAPI*)(BOOL* protectedMode);
using WriteableFolderFn = HRESULT(WINAPI*)(REFGUID folderId, LPWSTR* path);

std::wstring WithVelmora(std::wstring folder) {
  if (folder.empty()) return folder;
  if (folder.back() != L'\\') folder += L'\\';
  return folder + kVelmoraFolder;
}

std::wstring KnownFolder(int csidl, HANDLE token) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, token, SHGFP_TYPE_CURRENT, path))) return {};
  return path;
}

// The user SID of a token, in a block the caller owns.
std::unique_ptr<BYTE[]> TokenUser(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block || !GetTokenInformation(token, ::TokenUser, block.get(), size, &size)) return nullptr;
  return block;
}

PSID SidOf(const std::unique_ptr<BYTE[]>& user) { return reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid; }

bool IsProtectedMode(HMODULE ieframe) {
  const auto query = reinterpret_cast<IsProtectedModeFn>(GetProcAddress(ieframe, "IEIsProtectedModeProcess"));
  if (!query) return false;
  BOOL protectedMode = FALSE;
  const HRESULT hr = query(&protectedMode);
  if (FAILED(hr)) return hr == E_ACCESSDENIED;
  return protectedMode != FALSE;
}

std::wstring ProtectedModeFolder(HMODULE ieframe) {
  const auto writeable = reinterpret_cast<WriteableFolderFn>(GetProcAddress(ieframe, "IEGetWriteableFolderPath"));
  if (!writeable) return {};
  LPWSTR path = nullptr;
  if (FAILED(writeable(kInternetCacheFolder, &path)) || !path) return {};
  std::wstring folder(path);
  CoTaskMemFree(path);
  return folder;
}

}  // namespace

InstallerFolderSystem DefaultInstallerFolderSystem() {
  return InstallerFolderSystem{&install::IsVistaOrLater, &install::IsAdministrator, &CreateDirectoryW};
}

InstallerFolderSystem& CurrentInstallerFolderSystem() {
  static InstallerFolderSystem system = DefaultInstallerFolderSystem();
  return system;
}

InstallerFolderSystem SetInstallerFolderSystem(const InstallerFolderSystem& system) {
  const InstallerFolderSystem previous = CurrentInstallerFolderSystem();
  CurrentInstallerFolderSystem() = system;
  return previous;
}

bool IsProtectedModeProcess() {
  UniqueModule ieframe(LoadLibraryW(L"ieframe.dll"));
  return ieframe && IsProtectedMode(ieframe.get());
}

std::wstring InteractiveUserAppData() {
  UniqueHandle own;
  std::unique_ptr<BYTE[]> ownUser;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put())) ownUser = TokenUser(own.get());
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  if (ownUser && snapshot && Process32FirstW(snapshot.get(), &entry)) {
    do {
      if (lstrcmpiW(entry.szExeFile, L"explorer.exe") != 0) continue;
      UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
      UniqueHandle token;
      if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, token.put()))
        continue;
      const std::unique_ptr<BYTE[]> user = TokenUser(token.get());
      if (!user || !EqualSid(SidOf(user), SidOf(ownUser))) continue;
      std::wstring folder = KnownFolder(CSIDL_APPDATA, token.get());
      if (!folder.empty()) return folder;
    } while (Process32NextW(snapshot.get(), &entry));
  }
  return KnownFolder(CSIDL_APPDATA, nullptr);
}

std::wstring ConfigurationFolder() {
  if (!CurrentInstallerFolderSystem().isVistaOrLater()) return WithVelmora(KnownFolder(CSIDL_COMMON_APPDATA, nullptr));
  UniqueModule ieframe(LoadLibraryW(L"ieframe.dll"));
  if (ieframe && IsProtectedMode(ieframe.get())) return WithVelmora(ProtectedModeFolder(ieframe.get()));
  return WithVelmora(InteractiveUserAppData());
}

std::wstring PackageFolder() {
  if (!CurrentInstallerFolderSystem().isVistaOrLater()) return WithVelmora(KnownFolder(CSIDL_COMMON_APPDATA, nullptr));
  return WithVelmora(InteractiveUserAppData());
}

DWORD CreateInstallerFolder(const std::wstring& folder) {
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_ALREADY_EXISTS;
  // The all-users folder is shared by every user of an older system by design; a per-user folder keeps
  // its parent's protection, so that no other user can replace what waits there for the installer.
  const InstallerFolderSystem& system = CurrentInstallerFolderSystem();
  SECURITY_ATTRIBUTES shared = {sizeof shared, nullptr, FALSE};
  UniqueLocal descriptor;
  if (!system.isVistaOrLater() && system.isAdministrator() &&
      ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1,
                                                           reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
                                                           nullptr)) {
    shared.lpSecurityDescriptor = descriptor.get();
  }
  if (system.createDirectory(folder.c_str(), shared.lpSecurityDescriptor ? &shared : nullptr)) return 0;
  const DWORD error = LastErrorOr(ERROR_PATH_NOT_FOUND);
  return error == ERROR_ALREADY_EXISTS ? 0 : error;
}

}  // namespace kesi::controls
