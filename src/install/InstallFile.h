#pragma once
// One file of an install run (CInstallFile) and the file operations the engine shares: registration and
// unregistration by file type, deleting a file (or deferring it to the next restart), removing a folder.
#include <windows.h>

#include <string>

namespace kesi {
class LogFile;
}

namespace kesi::install {

// Registers the installed file path: a socket provider or the filter driver through NetworkStack.h, a
// program ending in ".exe" by starting it as "\"path\" /RegServer" and waiting (InstallSystem's bound;
// 1460 when it runs longer, 160 when it cannot start, else its non-zero exit code), anything else by its
// DllRegisterServer export (the library is unloaded again). Logs 2003 or 4003 and returns 0 or the error.
DWORD RegisterComponentFile(const wchar_t* path, LogFile* log);
// The reverse, before a registered file is moved away: providers and the driver through NetworkStack.h,
// "\"path\" -UnregServer" for a program (31 when it runs longer than 5 seconds), DllUnregisterServer for a
// ".dll" (its negative result is the error), nothing for other files. Logs 2012 or 4014.
DWORD UnregisterComponentFile(const wchar_t* path, LogFile* log);
// Deletes path. A file that cannot be deleted (in use) is renamed to path + ".del" and that name is
// scheduled for deletion at the next restart (unless PendingFileRenameOperations lists it already), which
// sets *rebootRequired; the installer log itself, when even the rename is refused with 32, is scheduled
// under its own name. A missing file is success. Logs 2010, 2011 or 4007.
DWORD DeleteComponentFile(const wchar_t* path, LogFile* log, bool* rebootRequired);
// Removes the folder path (with or without a final backslash); a missing folder is success. One that is in
// use (32, 5) is scheduled for removal at the next restart (*deferred and *rebootRequired set); one that is
// not empty (145) or fails otherwise is that error, and nothing is scheduled.
DWORD RemoveComponentFolder(const wchar_t* path, bool* rebootRequired, bool* deferred);
// Whether PendingFileRenameOperations lists path as a file to be renamed or deleted at restart.
bool IsPendingRename(const wchar_t* path);

// One element of the engine's lists: a file of the component ("Add.Code" line or the description file
// itself) or an "Uninstall" item. Moves from existing through moved aside and copied to committed (backup
// deleted) or rolled back (new copy deleted, backup renamed back).
class CInstallFile {
 public:
  explicit CInstallFile(LogFile* log) : log_(log) {}
  CInstallFile(const CInstallFile&) = delete;
  CInstallFile& operator=(const CInstallFile&) = delete;

  bool HandlesLockedFile() const { return handleLockedFile_; }
  bool RegistersServer() const { return registerServer_; }
  const std::wstring& GetFileName() const { return fileName_; }
  const std::wstring& GetPath() const { return sourcePath_; }
  const std::wstring& GetTargetPath() const { return targetPath_; }
  const std::wstring& GetBackupPath() const { return backupPath_; }
  void SetFileName(const std::wstring& name) { fileName_ = name; }
  void SetPath(const std::wstring& path) { sourcePath_ = path; }

  // An "Add.Code" line key = sectionName: reads "RegisterServer", "HandleLockedFile" and "InstallFile" from
  // that section of descriptionPath, then SetPaths. 87 for a key or "InstallFile" value that could leave
  // the install folder; 32 for an existing target that is locked (3002) unless "HandleLockedFile" is set.
  DWORD Init(const std::wstring& installFolder, const std::wstring& tempFolder, const wchar_t* key,
             const wchar_t* sectionName, const wchar_t* descriptionPath);
  // The description file itself: target = install folder + its name; source = filePath, unless it already
  // is in the install folder (then there is nothing to copy).
  DWORD InitFromPath(const std::wstring& installFolder, const std::wstring& filePath);
  // fileName, sourcePath (temp folder + fileName, when there is a temp folder) and targetPath (install
  // folder + targetName, or fileName); 206 when a path does not fit.
  DWORD SetPaths(const std::wstring& installFolder, const std::wstring& tempFolder, const wchar_t* fileName,
                 const wchar_t* targetName);

  // Copies the new file into place (and registers it); a locked-list element moves its target aside first
  // and settles at once (backup deleted, or rolled back).
  DWORD InstallFile(bool* rebootRequired);
  // An "Uninstall" item: deletes the file ("file..." keys) or removes the folder ("dir..." keys).
  DWORD Remove(bool* rebootRequired);
  DWORD DeleteBackup(bool* rebootRequired);
  // Renames an existing target to the first free "<target>.<n>", n < tries (68 when all are taken), after
  // unregistering it when unregister is set and the file registers.
  DWORD MoveAside(bool unregister, int tries);
  // Undoes this element: a copied file is unregistered and deleted (DeleteComponentFile), then the backup
  // goes back to the target and is registered again.
  DWORD RollBack(bool* rebootRequired);

 private:
  DWORD CheckTarget();

  LogFile* log_;
  std::wstring fileName_;
  std::wstring sourcePath_;
  std::wstring backupPath_;
  std::wstring targetPath_;
  bool targetExisted_ = false;
  bool copied_ = false;
  bool registerServer_ = false;
  bool handleLockedFile_ = false;
};

}  // namespace kesi::install
