#include "Launcher.h"

#include <shellapi.h>

#include <new>
#include <string>
#include <vector>

#include "BrokerCommand.h"
#include "BrokerPackage.h"
#include "BrokerPipe.h"
#include "Handles.h"
#include "LastError.h"
#include "LogFolder.h"
#include "ProcessList.h"
#include "ProgressWindow.h"
#include "Provision.h"

namespace kesi::launcher {
namespace {

constexpr wchar_t kUpdateLogName[] = L"ozmUpdate.log";
constexpr DWORD kMsiexecRebootRequired = 3010;

HRESULT DefaultCreateInstaller(IKESInstaller** installer) {
  return CoCreateInstance(CLSID_KESInstaller, nullptr, CLSCTX_INPROC_SERVER, IID_IKESInstaller,
                          reinterpret_cast<void**>(installer));
}

enum class Method { kThirdParty, kComponent, kComponentVer, kComponentMsi, kUpdate };

struct Command {
  const wchar_t* word;
  const wchar_t* logName;
  Method method;
  int minimumWords;  // the command, the credential, the configuration and the method's words
  const wchar_t* logPrefix;
  const wchar_t* wordNames[7];
};

const Command kCommands[] = {
    {L"2", L"THIRD_PARTY_COMPONENT", Method::kThirdParty, 8, L"ozmInstaller::Install3rdPartyComponent",
     {L"Team ID", L"URL Configuration", L"Cab URL", L"file name", L"class ID", L"version", L"location"}},
    {L"3", L"VELMORA_COMPONENT", Method::kComponent, 8, L"ozmInstaller::InstallComponent",
     {L"Team ID", L"URL Configuration", L"Cab URL", L"file name", L"class ID", L"version", L"location"}},
    {L"4", L"VELMORA_VER_COMPONENT", Method::kComponentVer, 6, L"ozmInstaller::InstallComponentVer",
     {L"Team ID", L"URL Configuration", L"Cab URL", L"version", L"location"}},
    {L"5", L"VELMORA_MSI_COMPONENT", Method::kComponentMsi, 5, L"ozmInstaller::InstallComponentMsi",
     {L"Team ID", L"URL Configuration", L"serverIP", L"msiUrl"}},
    {L"6", L"UPDATE_KESI_COMPONENT", Method::kUpdate, 1, nullptr, {}},
};

const Command* FindCommand(const wchar_t* word) {
  for (const Command& command : kCommands) {
    if (CompareStringOrdinal(word, -1, command.word, -1, TRUE) == CSTR_EQUAL) return &command;
  }
  return nullptr;
}

void LogCreationFailure(LogFile* log, HRESULT hr) {
  const wchar_t* name = hr == E_NOINTERFACE            ? L"E_NOINTERFACE"
                        : hr == CLASS_E_NOAGGREGATION  ? L"CLASS_E_NOAGGREGATION"
                        : hr == REGDB_E_CLASSNOTREG    ? L"REGDB_E_CLASSNOTREG"
                                                       : nullptr;
  if (name) LogError(log, L"ozmInstaller:: COM object could not be loaded. Error : %s", name);
}

// Forwards words[1..] (as many as the command needs; the caller checked that they are there) to the
// installer object's method for command. The result is the first call that
// failed, else the method's result; an object that cannot be created gives its creation failure.
DWORD Forward(const Command& command, wchar_t** words, LogFile* log) {
  const int forwarded = command.minimumWords - 1;
  std::vector<UniqueBstr> texts;
  try {
    for (int i = 0; i < forwarded; ++i) {
      std::wstring word = words[i + 1];
      const std::wstring format = std::wstring(command.logPrefix) + L" " + command.wordNames[i] + L" being forwarded is. %s";
      // The session credential is a secret: the log shows its first characters and its length.
      const std::wstring shown = i == 0 ? controls::MaskCredential(word) : word;
      LogInfo(log, format.c_str(), shown.c_str());
      // The configuration travels with its double quotes as backquotes.
      if (i == 1) word = controls::RestoreConfigurationQuotes(word);
      texts.emplace_back(SysAllocStringLen(word.data(), static_cast<UINT>(word.size())));
      if (!texts.back()) return static_cast<DWORD>(E_OUTOFMEMORY);
    }
  } catch (const std::bad_alloc&) {
    return static_cast<DWORD>(E_OUTOFMEMORY);
  }

  ComPtr<IKESInstaller> installer;
  HRESULT hr = CurrentLauncherSystem().createInstaller(installer.put());
  if (FAILED(hr) || !installer) {
    LogCreationFailure(log, hr);
    // Nothing was installed: never report that as success.
    return static_cast<DWORD>(FAILED(hr) ? hr : E_NOINTERFACE);
  }
  hr = installer->put_AuthCredential(texts[0].get());
  if (SUCCEEDED(hr)) hr = installer->put_ConfigurationString(texts[1].get());
  if (FAILED(hr)) return static_cast<DWORD>(hr);
  ULONG result = 0;
  switch (command.method) {
    case Method::kThirdParty:
      hr = installer->Install3rdPartyComponent(texts[2].get(), texts[3].get(), texts[4].get(), texts[5].get(),
                                               texts[6].get(), &result);
      break;
    case Method::kComponent:
      hr = installer->InstallComponent(texts[2].get(), texts[3].get(), texts[4].get(), texts[5].get(),
                                       texts[6].get(), &result);
      break;
    case Method::kComponentVer:
      hr = installer->InstallComponentVer(texts[2].get(), texts[3].get(), texts[4].get(), &result);
      break;
    case Method::kComponentMsi:
      hr = installer->InstallComponentMsi(texts[2].get(), texts[3].get(), &result);
      break;
    case Method::kUpdate:
      break;
  }
  return FAILED(hr) ? static_cast<DWORD>(hr) : result;
}

DWORD RunCommand(const Command& command, wchar_t** words, LogFile* log) {
  if (command.method == Method::kUpdate) return UpdateOZM(log);
  if (command.method != Method::kComponentMsi) return Forward(command, words, log);
  ProgressWindow progress;
  progress.Start();
  const DWORD result = Forward(command, words, log);
  progress.Stop();
  return result;
}

// Waits for the brokers of this session and user to exit: the broker that handed over the update exits
// after its reply, and its files cannot be replaced while it runs.
DWORD WaitForBrokersToExit(LogFile* log) {
  std::vector<DWORD> brokers;
  DWORD error = FindOwnSessionProcesses(controls::kBrokerProgramName, &brokers);
  if (error) {
    LogError(log, L"ozmInstaller::UpdateOZM could not list the running kesiVista. Error : %d", static_cast<int>(error));
    return error;
  }
  if (brokers.empty()) return 0;
  LogInfo(log, L"ozmInstaller::UpdateOZM waiting for %d running kesiVista to exit", static_cast<int>(brokers.size()));
  error = WaitForProcessesExit(OpenProcessesForWait(brokers), CurrentLauncherSystem().brokerExitWaitMs);
  if (error) LogError(log, L"ozmInstaller::UpdateOZM kesiVista did not exit, install not started. Error : %d", static_cast<int>(error));
  return error;
}

DWORD InstallBrokerPackage(LogFile* log) {
  std::wstring package;
  wchar_t logFolder[MAX_PATH] = L"";
  DWORD error = install::BrokerPackagePath(&package);
  if (!error) {
    LogInfo(log, L"ozmInstaller::UpdateOZM msi path %s", package.c_str());
    error = GetLogFolder(logFolder);
  }
  if (error) {
    LogError(log, L"ozmInstaller::UpdateOZM installer start failed - Could not get path to Appdata");
    return error;
  }
  const std::wstring logPath = std::wstring(logFolder) + L"\\" + kUpdateLogName;
  LogInfo(log, L"ozmInstaller::UpdateOZM logfile path %s", logPath.c_str());

  if ((error = WaitForBrokersToExit(log)) != 0) return error;

  // The package was verified when it was downloaded; it is verified again here and held against writes
  // until msiexec is done with it, so that what runs is what was verified.
  UniqueFile held(CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!held) {
    error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogError(log, L"ozmInstaller::UpdateOZM package could not be opened. Error : %d", static_cast<int>(error));
    return error;
  }
  const LONG trust = install::CurrentProvisionSystem().verifyTrust(package.c_str());
  if (trust != 0) {
    LogError(log, L"ozmInstaller::UpdateOZM CheckTrust failed. Error: %d", static_cast<int>(trust));
    return static_cast<DWORD>(trust);
  }

  // The system's own msiexec, never one found beside this program.
  wchar_t system[MAX_PATH];
  const UINT systemChars = GetSystemDirectoryW(system, MAX_PATH);
  if (systemChars == 0 || systemChars >= MAX_PATH) return LastErrorOr(ERROR_PATH_NOT_FOUND);
  const std::wstring msiexec = std::wstring(system) + L"\\msiexec.exe";
  std::wstring commandLine;
  if ((error = MsiexecCommandLine(msiexec, package, logPath, &commandLine)) != 0) {
    LogError(log, L"ozmInstaller::UpdateOZM msiexec cmdline longer than %d characters", static_cast<int>(kUpdateCommandLineChars));
    return error;
  }
  LogInfo(log, L"ozmInstaller::UpdateOZM msiexec cmdline %s", commandLine.c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(msiexec.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogError(log, L"ozmInstaller::UpdateOZM - CreateProcess msiexec Failed with error val [%d]}", static_cast<int>(error));
    return error;
  }
  UniqueHandle process(started.hProcess);
  CloseHandle(started.hThread);
  // msiexec is not cut short: the broker's files would be left half replaced.
  WaitForSingleObject(process.get(), INFINITE);
  LogInfo(log, L"ozmInstaller::UpdateOZM Install complete");
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return LastErrorOr(ERROR_INVALID_HANDLE);
  if (exitCode == kMsiexecRebootRequired) {
    LogInfo(log, L"ozmInstaller::UpdateOZM msiexec exit code [%d]: a restart completes the install", static_cast<int>(exitCode));
    return 0;
  }
  if (exitCode != 0) {
    LogError(log, L"ozmInstaller::UpdateOZM msiexec failed with exit code [%d]", static_cast<int>(exitCode));
  }
  return exitCode;
}

DWORD StartBroker(LogFile* log) {
  std::wstring broker;
  if (const DWORD error = controls::BrokerProgramPath(&broker)) {
    LogError(log, L"ozmInstaller::UpdateOZM remoting failed - Could not get path to Appdata");
    return error;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(broker.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    const DWORD error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    LogError(log, L"ozmInstaller::UpdateOZM - CreateProcess KesiVista Failed with error val [%d]}", static_cast<int>(error));
    return error;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  LogInfo(log, L"ozmInstaller::UpdateOZM KesiVista started");
  return 0;
}

}  // namespace

LauncherSystem DefaultLauncherSystem() { return LauncherSystem{&DefaultCreateInstaller, 30000}; }

LauncherSystem& CurrentLauncherSystem() {
  static LauncherSystem system = DefaultLauncherSystem();
  return system;
}

LauncherSystem SetLauncherSystem(const LauncherSystem& system) {
  const LauncherSystem previous = CurrentLauncherSystem();
  CurrentLauncherSystem() = system;
  return previous;
}

DWORD MsiexecCommandLine(const std::wstring& msiexec, const std::wstring& package, const std::wstring& logPath,
                         std::wstring* line) {
  std::wstring built = L"\"" + msiexec + L"\" /i \"" + package + L"\" /qn /l*v \"" + logPath + L"\" ADDLOCAL=ALL";
  if (built.size() > kUpdateCommandLineChars) return ERROR_FILENAME_EXCED_RANGE;
  *line = std::move(built);
  return 0;
}

DWORD UpdateOZM(LogFile* log) {
  ProgressWindow progress;
  progress.Start();
  DWORD result = ERROR_OUTOFMEMORY;
  try {
    result = InstallBrokerPackage(log);
  } catch (const std::bad_alloc&) {
  }
  // The broker comes back whatever became of the install.
  DWORD started = ERROR_OUTOFMEMORY;
  try {
    started = StartBroker(log);
  } catch (const std::bad_alloc&) {
  }
  return result ? result : started;
}

DWORD RunLauncher(const wchar_t* commandLine) {
  int count = 0;
  UniqueLocal split(CommandLineToArgvW(commandLine ? commandLine : L"", &count));
  wchar_t** words = static_cast<wchar_t**>(split.get());
  if (!words) count = 0;
  LogFile log;
  log.Open(kInstallerLogName, 0, nullptr);
  LogInfo(&log, L"ozmInstaller:: LogFile created");
  ComApartment com(COINIT_APARTMENTTHREADED);

  const Command* command = count > 0 ? FindCommand(words[0]) : nullptr;
  // The update takes no words; every other command needs its own (an unknown one at least three).
  const int needed = command ? command->minimumWords : 3;
  if (count < needed) {
    LogError(&log, L"ozmInstaller:: Arguments too few. %d", count);
    return kLauncherTooFewWords;
  }
  if (!command) {
    LogInfo(&log, L"ozmInstaller:: UNKNOWN command received");
    return kLauncherUnknownCommand;
  }
  LogInfo(&log, L"ozmInstaller:: %s command received", command->logName);
  try {
    return RunCommand(*command, words, &log);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace kesi::launcher
