#include "Uninstall.h"

#include <shlobj.h>

#include <cwchar>

#include "Handles.h"
#include "ModuleVersion.h"
#include "NativeFileSystem.h"
#include "ProcessList.h"
#include "UninstallSystem.h"
#include "uninstall.h"

namespace kesi::uninstall {
namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr wchar_t kRemoveCommand[] = L"REMOVE=ALL ";
constexpr wchar_t kAgentName[] = L"qolma.exe";
// Below "<application data>\Velmora\".
constexpr wchar_t kAgentPath[] = L"qolma\\qolma.exe";
constexpr const wchar_t* kAgentFiles[] = {
    L"qolma\\korsp.inf",    L"qolma\\korsp.ver",    L"qolma\\qolma.exe",    L"qolma\\qolma.inf",
    L"qolma\\lwptdi.sys",   L"qolma\\redirect.pac", L"qolma\\lwdirect.pac", L"qolma\\lumenway.ver",
    L"qolma\\lwwin.dll",    L"LogFiles\\qolma.log", L"LogFiles\\lwtdi.log",
};
constexpr wchar_t kAgentFolder[] = L"qolma";
// Below the system folder.
constexpr wchar_t kDriverFile[] = L"\\Drivers\\lwptdi.sys";

void Trace(const wchar_t* format, ...) {
  wchar_t line[1024];
  va_list args;
  va_start(args, format);
  _vsnwprintf(line, _countof(line) - 1, format, args);
  va_end(args);
  line[_countof(line) - 1] = 0;
  CurrentUninstallSystem().trace(line);
}

DWORD LoadMessage(HMODULE module, DWORD id, LANGID language, std::wstring* text) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     module, id, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || !buffer) return GetLastError();
  UniqueLocal owner(buffer);
  text->assign(buffer, length);
  return 0;
}

DWORD LoadBoth(HMODULE module, LANGID language, std::wstring* text, std::wstring* caption) {
  DWORD error = LoadMessage(module, MSG_UNINSTALL_QUESTION, language, text);
  if (error == 0) error = LoadMessage(module, MSG_UNINSTALL_CAPTION, language, caption);
  return error;
}

bool IsLibraryEntry(const std::wstring& name) {
  return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), kLibraryEntry, -1, TRUE) == CSTR_EQUAL;
}

DWORD ReadListFrom(HKEY key, std::vector<UninstallEntry>* entries) {
  DWORD values = 0, longestName = 0, longestData = 0;
  LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName,
                                    &longestData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  if (values == 0) return ERROR_NO_MORE_ITEMS;
  if (values > kMaxListValues || longestName > kMaxNameChars || longestData > kMaxCodeBytes) return ERROR_MORE_DATA;
  for (DWORD index = 0; index < values; ++index) {
    wchar_t name[kMaxNameChars + 1];
    DWORD nameChars = _countof(name);
    // One character more than a code may fill: a code stored without its terminator is terminated here
    // (the registry may also ask for room to add one).
    wchar_t code[kMaxCodeBytes / sizeof(wchar_t) + 1];
    DWORD codeBytes = sizeof(code);
    DWORD type = REG_NONE;
    status = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(code), &codeBytes);
    if (status == ERROR_NO_MORE_ITEMS) break;  // values went away meanwhile
    // ERROR_MORE_DATA (also a code that grew past its limit) means the list changed after it was measured:
    // nothing is removed.
    if (status == ERROR_SUCCESS && codeBytes > kMaxCodeBytes) status = ERROR_MORE_DATA;
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) continue;
    code[codeBytes / sizeof(wchar_t)] = 0;
    entries->push_back(UninstallEntry{std::wstring(name, nameChars), std::wstring(code)});
  }
  return 0;
}

UINT ConfigureAbsent(const MsiLibrary& msi, const std::wstring& productCode, INSTALLUILEVEL level) {
  msi.setInternalUI(level, nullptr);
  msi.enableLog(0, nullptr, 0);
  return msi.configureProductEx(productCode.c_str(), INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, kRemoveCommand);
}

// "<application data>\Velmora\" of the user; false when the folder cannot be read.
bool AgentBaseFolder(std::wstring* base) {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0]) return false;
  base->assign(folder);
  if (base->back() != L'\\') base->push_back(L'\\');
  base->append(L"Velmora\\");
  return true;
}

// Whether a process of the agent's name runs anywhere on the machine; true when that cannot be told.
bool AgentRuns() {
  std::vector<ProcessEntry> processes;
  if (ListProcesses(&processes) != 0) return true;
  for (const ProcessEntry& process : processes) {
    if (CompareStringOrdinal(process.exeName.c_str(), static_cast<int>(process.exeName.size()), kAgentName, -1,
                             TRUE) == CSTR_EQUAL)
      return true;
  }
  return false;
}

void DeleteAgentFiles(const std::wstring& base) {
  for (const wchar_t* file : kAgentFiles) {
    const std::wstring path = base + file;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
  RemoveDirectoryW((base + kAgentFolder).c_str());
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  // The driver sits in the native system folder, also for a 32-bit uninstaller.
  NativeFileSystem native;
  DeleteFileW((std::wstring(system) + kDriverFile).c_str());
}

}  // namespace

DWORD LoadQuestion(HMODULE module, LANGID language, std::wstring* text, std::wstring* caption) {
  DWORD error = LoadBoth(module, language, text, caption);
  // A language the table does not speak gets the English texts.
  if (error != 0 && language != kEnglish) error = LoadBoth(module, kEnglish, text, caption);
  return error;
}

DWORD ReadUninstallList(std::vector<UninstallEntry>* entries) {
  entries->clear();
  UniqueKey key;
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallListKey, 0, KEY_READ | kUninstallListView, &opened);
  if (status != ERROR_SUCCESS)
    status = RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallListKey, 0, KEY_READ | kUninstallListView, &opened);
  if (status != ERROR_SUCCESS) return status;
  key.reset(opened);
  const DWORD error = ReadListFrom(key.get(), entries);
  if (error != 0) entries->clear();
  return error;
}

UINT RemoveProduct(const UninstallEntry& entry, bool library) {
  if (entry.name.empty() || entry.productCode.empty()) return 0;
  const MsiLibrary* msi = CurrentUninstallSystem().msi();
  if (!msi) return GetLastError();
  if (msi->queryProductState(entry.productCode.c_str()) != INSTALLSTATE_DEFAULT) return 0;
  if (library) return ConfigureAbsent(*msi, entry.productCode, INSTALLUILEVEL_BASIC);
  const UINT result = ConfigureAbsent(*msi, entry.productCode, INSTALLUILEVEL_NONE);
  if (result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED) return result;
  return ConfigureAbsent(*msi, entry.productCode, INSTALLUILEVEL_BASIC);
}

DWORD CleanUpProxyAgent() {
  std::wstring base;
  if (!AgentBaseFolder(&base)) return 0;
  const std::wstring agent = base + kAgentPath;
  // Held without write or delete sharing from the checks to the start: the file checked is the file run.
  UniqueFile file(CreateFileW(agent.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
      Trace(L"kesiuninstall: %s cannot be held (error %lu); it is not run\n", agent.c_str(), GetLastError());
    return 0;
  }
  CModuleVersion version;
  WORD major = 0, minor = 0;
  if (version.Load(agent.c_str()) != 0 || !version.GetFileVersion(&major, &minor, nullptr, nullptr) || major != 8 ||
      minor != 8)
    return 0;
  if (AgentRuns()) return 0;
  const UninstallSystem& system = CurrentUninstallSystem();
  const LONG trust = system.verifyTrust(file.get(), agent.c_str());
  if (trust != 0) {
    Trace(L"kesiuninstall: %s fails the signature check (0x%08lX); it is not run and its files stay\n", agent.c_str(),
          static_cast<unsigned long>(trust));
    return 0;
  }
  std::wstring command = L"\"" + agent + L"\" /UnregServer";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(agent.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return GetLastError();
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  file.reset();
  const DWORD wait = WaitForSingleObject(process.get(), system.agentWaitMs);
  if (wait == WAIT_TIMEOUT) {
    TerminateProcess(process.get(), WAIT_TIMEOUT);
    Trace(L"kesiuninstall: %s did not end within %lu ms and was ended; its files stay\n", agent.c_str(),
          system.agentWaitMs);
    return WAIT_TIMEOUT;
  }
  DWORD exitCode = STILL_ACTIVE;
  if (wait != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &exitCode) || exitCode != 0) {
    // The provider and the driver may still be registered: their files must stay.
    Trace(L"kesiuninstall: %s /UnregServer ended with %lu; its files stay\n", agent.c_str(), exitCode);
    return 0;
  }
  DeleteAgentFiles(base);
  return 0;
}

void RunUninstaller(HMODULE messages) {
  try {
    const HANDLE created = CreateEventW(nullptr, TRUE, FALSE, kSingleInstanceEvent);
    const DWORD error = GetLastError();
    UniqueHandle event(created);
    if (!event || error == ERROR_ALREADY_EXISTS) return;

    std::wstring text, caption;
    if (LoadQuestion(messages, GetUserDefaultLangID(), &text, &caption) != 0) return;
    if (CurrentUninstallSystem().prompt(nullptr, text.c_str(), caption.c_str(), kQuestionStyle) != IDYES) return;

    std::vector<UninstallEntry> entries;
    if (ReadUninstallList(&entries) != 0 || entries.empty()) return;
    const UninstallEntry* library = nullptr;
    for (const UninstallEntry& entry : entries) {
      if (IsLibraryEntry(entry.name)) {
        library = &entry;  // the last one met
        continue;
      }
      const UINT result = RemoveProduct(entry, false);
      if (result != 0) {
        Trace(L"kesiuninstall: removing %s %s ended with %u; nothing more is removed\n", entry.name.c_str(),
              entry.productCode.c_str(), result);
        return;
      }
    }
    if (library && CleanUpProxyAgent() == 0) {
      const UINT result = RemoveProduct(*library, true);
      if (result != 0)
        Trace(L"kesiuninstall: removing %s %s ended with %u\n", library->name.c_str(), library->productCode.c_str(),
              result);
    }
  } catch (...) {
    // Out of memory: the run ends quietly like every other failure.
  }
}

}  // namespace kesi::uninstall
