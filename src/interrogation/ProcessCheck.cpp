// The running-process check and its two enumeration routes: the Tool Help snapshot, and the process-status
// library for systems whose snapshot functions fail. Both are bound at run time.
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Checks.h"
#include "EvaluationRun.h"
#include "Handles.h"
#include "HostChecks.h"
#include "LastError.h"

namespace kesi {

namespace {

constexpr DWORD kSnapshotProcesses = TH32CS_SNAPPROCESS | 0x40000000;  // and no heap lists
constexpr DWORD kProcessQuery = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kFirstProcessIds = 1024;
constexpr DWORD kMaxProcessIds = 1u << 20;

bool SameText(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// A path's folder without its drive ("\Program Files\App\") and its name with extension ("app.exe").
// False when either part does not fit in MAX_PATH characters.
bool SplitPath(const wchar_t* path, wchar_t* folder, wchar_t* name) {
  if (path[0] && path[1] == L':') path += 2;
  const wchar_t* nameStart = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') nameStart = p + 1;
  size_t folderLength = static_cast<size_t>(nameStart - path);
  size_t nameLength = wcslen(nameStart);
  if (folderLength >= MAX_PATH || nameLength >= MAX_PATH) return false;
  wmemcpy(folder, path, folderLength);
  folder[folderLength] = 0;
  wmemcpy(name, nameStart, nameLength + 1);
  return true;
}

const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

// What the caller looks for: a name (maybe a pattern) and, when the pattern had one, a folder.
struct ProcessPattern {
  wchar_t folder[MAX_PATH];
  wchar_t name[MAX_PATH];
  bool wildcard;

  // False when the text names no process: too long, or without a name (some system entries have none).
  bool Read(const wchar_t* text) {
    if (!SplitPath(text, folder, name) || !name[0]) return false;
    wildcard = wcschr(name, L'*') || wcschr(name, L'?');
    return true;
  }
  bool NameMatches(const wchar_t* exeName) const {
    return wildcard ? WildcardMatch(name, exeName, false) : SameText(name, exeName);
  }
  bool HasFolder() const { return folder[0] != 0; }
  bool FolderMatches(const wchar_t* exePath) const {
    wchar_t exeFolder[MAX_PATH], exeName[MAX_PATH];
    return SplitPath(exePath, exeFolder, exeName) && SameText(folder, exeFolder);
  }
};

// Tool Help, bound from kernel32.
struct ToolHelp {
  decltype(&CreateToolhelp32Snapshot) createSnapshot;
  decltype(&Process32FirstW) processFirst;
  decltype(&Process32NextW) processNext;
  decltype(&Module32FirstW) moduleFirst;
  decltype(&Module32NextW) moduleNext;
};

// The full path of process id's module named exeName, from a module snapshot of that process.
bool ModulePath(const ToolHelp& api, DWORD id, const wchar_t* exeName, wchar_t* path) {
  kesi::UniqueFile snapshot(api.createSnapshot(TH32CS_SNAPMODULE, id));
  if (!snapshot) return false;
  MODULEENTRY32W module = {};
  module.dwSize = sizeof(module);
  for (BOOL more = api.moduleFirst(snapshot.get(), &module); more; more = api.moduleNext(snapshot.get(), &module)) {
    if (SameText(module.szModule, exeName)) {
      wcsncpy(path, module.szExePath, MAX_PATH - 1);
      path[MAX_PATH - 1] = 0;
      return true;
    }
  }
  return false;
}

// Process status, bound from psapi.
using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

template <typename F>
F Bind(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// One listed process. Its executable's full path is asked for only when a pattern needs it (a name
// that matches, a folder to compare), and then once: kUnknown until asked, kNone when it cannot be had.
struct ListedProcess {
  enum PathState { kUnknown, kNone, kKnown };
  DWORD id = 0;
  std::wstring exeName;  // snapshot route only: the entry's file name
  PathState pathState = kUnknown;
  wchar_t path[MAX_PATH] = {};
};

// The processes as one route lists them. Each route binds its library first and lists second, and
// either step's failure is kept with the list: a pattern that names no process is answered after the
// binding and before the listing, whatever the listing would have given.
struct RouteList {
  bool bound = false;
  DWORD bindError = ERROR_SUCCESS;
  bool listed = false;
  DWORD listError = ERROR_SUCCESS;
  std::vector<ListedProcess> processes;
};

struct SnapshotList : RouteList {
  kesi::UniqueModule kernel;
  ToolHelp api = {};

  void BindRoute() {
    bound = true;
    kernel.reset(LoadLibraryW(L"kernel32.dll"));
    if (!kernel) {
      bindError = LastErrorOr(ERROR_MOD_NOT_FOUND);
      return;
    }
    api = ToolHelp{Bind<decltype(api.createSnapshot)>(kernel.get(), "CreateToolhelp32Snapshot"),
                   Bind<decltype(api.processFirst)>(kernel.get(), "Process32FirstW"),
                   Bind<decltype(api.processNext)>(kernel.get(), "Process32NextW"),
                   Bind<decltype(api.moduleFirst)>(kernel.get(), "Module32FirstW"),
                   Bind<decltype(api.moduleNext)>(kernel.get(), "Module32NextW")};
    if (!api.createSnapshot || !api.processFirst || !api.processNext || !api.moduleFirst || !api.moduleNext)
      bindError = LastErrorOr(ERROR_PROC_NOT_FOUND);
  }

  void List() {
    listed = true;
    kesi::UniqueFile snapshot(api.createSnapshot(kSnapshotProcesses, 0));
    if (!snapshot) {
      listError = LastErrorOr(ERROR_INVALID_HANDLE);
      return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!api.processFirst(snapshot.get(), &entry)) {
      DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_FILES) listError = LastErrorOr(ERROR_INVALID_DATA);
      return;
    }
    try {
      do {
        ListedProcess process;
        process.id = entry.th32ProcessID;
        process.exeName = FileNamePart(entry.szExeFile);
        processes.push_back(std::move(process));
      } while (api.processNext(snapshot.get(), &entry));
    } catch (const std::bad_alloc&) {
      processes.clear();
      listError = ERROR_OUTOFMEMORY;
    }
  }

  bool Matches(const ProcessPattern& wanted, ListedProcess& process) {
    if (!wanted.NameMatches(process.exeName.c_str())) return false;
    if (!wanted.HasFolder()) return true;
    if (process.pathState == ListedProcess::kUnknown)
      process.pathState = ModulePath(api, process.id, process.exeName.c_str(), process.path) ? ListedProcess::kKnown
                                                                                               : ListedProcess::kNone;
    return process.pathState == ListedProcess::kKnown && wanted.FolderMatches(process.path);
  }
};

struct ProcessStatusList : RouteList {
  kesi::UniqueModule psapi;
  EnumProcessesFn enumProcesses = nullptr;
  EnumProcessModulesFn enumModules = nullptr;
  GetModuleFileNameExFn moduleFileName = nullptr;

  void BindRoute() {
    bound = true;
    psapi.reset(LoadLibraryW(L"psapi.dll"));
    if (psapi) {
      enumProcesses = Bind<EnumProcessesFn>(psapi.get(), "EnumProcesses");
      enumModules = Bind<EnumProcessModulesFn>(psapi.get(), "EnumProcessModules");
      moduleFileName = Bind<GetModuleFileNameExFn>(psapi.get(), "GetModuleFileNameExW");
    }
    if (!enumProcesses || !enumModules || !moduleFileName) {
      DWORD error = GetLastError();
      if (error) OutputDebugStringW(L"Failed to initialize PSAPI interface!\n");
      bindError = error ? error : ERROR_PROC_NOT_FOUND;
    }
  }

  void List() {
    listed = true;
    // The list is complete once it no longer fills the buffer.
    std::unique_ptr<DWORD[]> ids;
    DWORD capacity = kFirstProcessIds;
    DWORD bytes = 0;
    for (;;) {
      ids.reset(new (std::nothrow) DWORD[capacity]);
      if (!ids) {
        listError = ERROR_OUTOFMEMORY;
        return;
      }
      if (!enumProcesses(ids.get(), capacity * sizeof(DWORD), &bytes)) {
        listError = LastErrorOr(ERROR_INVALID_DATA);
        return;
      }
      if (bytes < capacity * sizeof(DWORD) || capacity >= kMaxProcessIds) break;
      capacity *= 2;
    }
    DWORD count = bytes / sizeof(DWORD);
    try {
      processes.resize(count);
    } catch (const std::bad_alloc&) {
      listError = ERROR_OUTOFMEMORY;
      return;
    }
    for (DWORD i = 0; i < count; ++i) processes[i].id = ids[i];
  }

  // The path of the process's first module; kNone for a process that cannot be opened or asked.
  void ReadPath(ListedProcess& process) {
    process.pathState = ListedProcess::kNone;
    kesi::UniqueHandle handle(OpenProcess(kProcessQuery, FALSE, process.id));
    if (!handle) return;
    HMODULE first = nullptr;
    DWORD needed = 0;
    if (!enumModules(handle.get(), &first, sizeof(first), &needed) ||
        !moduleFileName(handle.get(), first, process.path, MAX_PATH))
      return;
    process.path[MAX_PATH - 1] = 0;
    process.pathState = ListedProcess::kKnown;
  }

  bool Matches(const ProcessPattern& wanted, ListedProcess& process) {
    if (process.pathState == ListedProcess::kUnknown) ReadPath(process);
    return process.pathState == ListedProcess::kKnown && wanted.NameMatches(FileNamePart(process.path)) &&
           (!wanted.HasFolder() || wanted.FolderMatches(process.path));
  }
};

// What a run keeps: each route's list, taken the first time that route is asked during the run.
struct RunProcessLists : RunCache {
  SnapshotList snapshot;
  ProcessStatusList processStatus;
};

// One search through a route's list: the run's list when a run is open, else one taken for this search.
template <typename List>
DWORD Search(List RunProcessLists::*member, const wchar_t* pattern, LONG* found) {
  if (!pattern || !found) return ERROR_INVALID_PARAMETER;
  *found = 0;
  RunProcessLists* run = EvaluationRun::Cache<RunProcessLists>(EvaluationRun::kProcessLists);
  List own;
  List& list = run ? run->*member : own;
  if (!list.bound) list.BindRoute();
  if (list.bindError) return list.bindError;

  ProcessPattern wanted;
  if (!wanted.Read(pattern)) return ERROR_SUCCESS;

  if (!list.listed) list.List();
  if (list.listError) return list.listError;
  for (ListedProcess& process : list.processes) {
    if (list.Matches(wanted, process)) {
      *found = 1;
      break;
    }
  }
  return ERROR_SUCCESS;
}

ProcessSearchRoutes DefaultRoutes() { return ProcessSearchRoutes{&FindProcessBySnapshot, &FindProcessByProcessStatus}; }

ProcessSearchRoutes g_routes = DefaultRoutes();

}  // namespace

ProcessSearchRoutes& ProcessSearchSystem() { return g_routes; }
void ResetProcessSearchRoutes() { g_routes = DefaultRoutes(); }

DWORD FindProcessBySnapshot(const wchar_t* pattern, LONG* found) {
  return Search(&RunProcessLists::snapshot, pattern, found);
}

DWORD FindProcessByProcessStatus(const wchar_t* pattern, LONG* found) {
  return Search(&RunProcessLists::processStatus, pattern, found);
}

DWORD FindProcessByModuleName(const wchar_t* baseName, LONG* found, bool* tableFull) {
  if (!baseName || !found || !tableFull) return ERROR_INVALID_PARAMETER;
  *found = 0;
  *tableFull = false;
  ProcessStatusList list;
  list.BindRoute();
  if (list.bindError) return list.bindError;
  DWORD ids[kModuleNameTableBytes / sizeof(DWORD)];
  DWORD bytes = 0;
  if (!list.enumProcesses(ids, sizeof ids, &bytes)) return LastErrorOr(ERROR_INVALID_DATA);
  *tableFull = bytes >= sizeof ids;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    ListedProcess process;
    process.id = ids[i];
    list.ReadPath(process);
    if (process.pathState == ListedProcess::kKnown &&
        CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, FileNamePart(process.path), -1, baseName, -1) == CSTR_EQUAL) {
      *found = 1;
      break;
    }
  }
  return ERROR_SUCCESS;
}

DWORD FindProcess(const wchar_t* pattern, LONG* found) {
  if (!found) return ERROR_INVALID_PARAMETER;
  *found = 0;
  if (!pattern) return ERROR_INVALID_PARAMETER;
  if (g_routes.snapshot(pattern, found) == ERROR_SUCCESS) return ERROR_SUCCESS;
  OutputDebugStringW(L"ToolHelp32 function failed.  Trying PSAPI...\n");
  *found = 0;
  return g_routes.processStatus(pattern, found);
}

LONG EvaluateProcess(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;
  wchar_t* cursor = nullptr;
  const wchar_t* field = NextField(copy.get(), L",", &cursor);
  NextField(nullptr, L",", &cursor);  // read and ignored
  if (!field) return kCheckUnprepared;
  while (iswspace(*field)) ++field;
  std::unique_ptr<wchar_t[]> pattern = ExpandLiteralText(field, true, true);
  if (!pattern) return kCheckUnprepared;
  FindProcess(pattern.get(), verdict);
  return ERROR_SUCCESS;
}

}  // namespace kesi
