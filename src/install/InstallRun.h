#pragma once
// One install or uninstall run of a component (CInstall): its lists of files, its folders, its log.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "InstallFile.h"
#include "LogFile.h"
#include "PathLock.h"

namespace kesi::install {

class CInstall {
 public:
  // windowsComponent selects the publisher name handed to the signature check.
  explicit CInstall(bool windowsComponent = false);
  ~CInstall();
  CInstall(const CInstall&) = delete;
  CInstall& operator=(const CInstall&) = delete;

  // Keeps the CAB's URL (at most 259 characters, else 87) and takes the component name from its file name
  // (87, 4006 when there is none to take).
  DWORD SetCabUrl(const wchar_t* url);
  DWORD SetClassId(const wchar_t* classId);
  const std::wstring& GetComponentName() const { return name_; }
  // Resolves folderText (a keyword folder text, FolderText.h) to the install folder, ending in a backslash,
  // and with create, makes every missing level (1007 each). 13 for a text that names no folder; each
  // failure logs 4001 and nothing is created.
  DWORD SetInstallFolder(const wchar_t* folderText, bool create);
  const std::wstring& GetInstallFolder() const { return installFolder_; }
  bool IsRebootRequired() const { return rebootRequired_; }

  DWORD Install(const wchar_t* version, const wchar_t* cabUrl, const wchar_t* folderText, const wchar_t* classId);
  DWORD Uninstall(const wchar_t* descriptionPath, bool removeFolder);
  // Opens the installer log for this run (done by Install and Uninstall); 0 or the open's error.
  DWORD OpenLog();
  LogFile* Log() { return &log_; }
  // Whether a process named fileName runs (3004 when not all could be checked, 3000 when one does).
  bool ProgramRunning(const wchar_t* fileName);

  bool NeedsInstall(const wchar_t* version);
  DWORD DownloadAndExtract(const wchar_t* url);
  DWORD ReadAddCode(const wchar_t* descriptionPath);
  DWORD ReadUninstallSection(const wchar_t* descriptionPath);
  DWORD AddToCatalog();
  DWORD MoveExistingAside(bool unregister, bool includeLocked);
  DWORD InstallFiles();
  DWORD RemoveUninstallItems();
  DWORD DeleteBackups();
  // Undoes the ordinary files (and, with includeLocked, the locked-list files this run moved aside).
  DWORD RollBack(bool includeLocked);
  bool CheckRegisteredVersion(const wchar_t* version);
  bool CheckVersionFile(const wchar_t* version);
  DWORD CreateTempFolder();
  DWORD DeleteTempFolder();

 private:
  DWORD ResolveInstallFolder(const wchar_t* folderText, std::wstring* folder);
  DWORD CreateInstallFolder(const wchar_t* folderText);
  DWORD LockInstallFolder();
  void RemoveQolmaRemnantsBeforeCatalog();
  void RemoveQolmaRemnantsAfterInstall();

  LogFile log_;
  PathLock folderLock_;
  std::vector<std::unique_ptr<CInstallFile>> files_;
  std::vector<std::unique_ptr<CInstallFile>> lockedFiles_;
  std::vector<std::unique_ptr<CInstallFile>> uninstallItems_;
  std::wstring classId_;
  std::wstring cabUrl_;
  std::wstring name_;
  std::wstring installFolder_;
  std::wstring tempFolder_;
  bool rebootRequired_ = false;
  bool folderCreated_ = false;
  bool windowsComponent_ = false;
};

}  // namespace kesi::install
