// kesiprobe: talks to an appliance the way the client does and shows what it answers.
//
//   kesiprobe logon --appliance HOST[:PORT] [--credential TEXT] [--insecure]
//   kesiprobe interrogate --appliance HOST[:PORT] [--credential TEXT] [--insecure]
//   kesiprobe interrogate --list FILE
//   kesiprobe install --appliance HOST[:PORT] --cab PATH --version A,B,C,D --folder FOLDERTEXT [--insecure]
//   kesiprobe uninstall --inf PATH [--remove-folder | --keep-folder]
//   kesiprobe provision --appliance HOST[:PORT] [--credential TEXT] [--insecure]
//
// The probe is a diagnostic tool, not the control: it verifies the appliance's certificate unless
// --insecure says to ignore certificate errors as the control does, and it says which it did.
//
// One subcommand per job; each parses its own options. Exit code 0 on success, 1 when the appliance
// exchange fails (the code is printed), 2 for a usage error.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

#include "Handles.h"
#include "LogonAgent.h"
#include "Probe.h"

namespace kesi::probe {

namespace {

const wchar_t kUsage[] =
    L"usage: kesiprobe COMMAND [OPTIONS]\n"
    L"commands:\n"
    L"  logon --appliance HOST[:PORT] [--credential TEXT] [--insecure]\n"
    L"      logs on to the appliance's logon service (port 443 unless given) and prints the protocol\n"
    L"      version and the session; with --credential the session is resumed from TEXT. The server\n"
    L"      certificate is verified (an untrusted one is refused) unless --insecure is given, which\n"
    L"      ignores certificate errors as the client control does\n"
    L"  interrogate --appliance HOST[:PORT] [--credential TEXT] [--insecure]\n"
    L"      logs on, fetches the interrogation list, evaluates it on this machine, posts the results\n"
    L"      and prints every literal's verdict and check status, the results as posted, the zone and\n"
    L"      the zone commands\n"
    L"  interrogate --list FILE\n"
    L"      evaluates a local list (one literal per line, with or without the [InterrogationLiterals]\n"
    L"      header; UTF-8 or UTF-16) and prints the literals and results, without an appliance\n"
    L"  install --appliance HOST[:PORT] --cab PATH --version A,B,C,D --folder FOLDERTEXT [--insecure]\n"
    L"      installs the component whose signed CAB the appliance serves at PATH (https://HOST:PORT/PATH)\n"
    L"      into FOLDERTEXT (\"localdata:Name\", ...) unless the installed version file already says\n"
    L"      A,B,C,D, as the installer object does, and prints the installer log's lines of the run and\n"
    L"      the component catalog. The engine verifies the appliance's certificate; --insecure accepts\n"
    L"      the one the appliance presents, whatever its problems, for this run (pinned for the probe's\n"
    L"      own process)\n"
    L"  uninstall --inf PATH [--remove-folder | --keep-folder]\n"
    L"      uninstalls the component whose installed description file is PATH, removing its folder when\n"
    L"      the catalog's RemoveDIR says so (or as the option says), and prints the installer log's lines\n"
    L"      of the run, the catalog and what is left of the install folder\n"
    L"  provision --appliance HOST[:PORT] [--credential TEXT] [--insecure]\n"
    L"      logs on, fetches the agent list and provisions each agent on this machine as the client\n"
    L"      does, printing per agent its version, file type and URL, what was done and the outcome\n";

}  // namespace

void Print(FILE* stream, const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

std::wstring Hex(DWORD code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08lX", code);
  return text;
}

std::wstring Describe(DWORD code) {
  wchar_t* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  HMODULE wininet = GetModuleHandleW(L"wininet.dll");
  if (wininet && code >= 12000 && code < 13000)
    flags = (flags & ~FORMAT_MESSAGE_FROM_SYSTEM) | FORMAT_MESSAGE_FROM_HMODULE;
  DWORD length = FormatMessageW(flags, wininet, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const UniqueLocal owner(text);
  std::wstring result;
  if (length && text) {
    result.assign(text, length);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
      result.pop_back();
  }
  switch (code) {
    case kesi::kAgentNoSession:
      return L"no session";
    case kesi::kAgentReplyUnreadable:
      return L"the reply could not be read, or the appliance answered with a fault";
    case kesi::kAgentCallNotBuilt:
      return L"the call could not be built at this protocol version";
    case kesi::kReplyTooLarge:
      return L"the reply was larger than the client takes in, or would decode to more memory than its size allows";
    default:
      return result;
  }
}

int Failed(const wchar_t* command, const wchar_t* step, DWORD code) {
  std::wstring line = std::wstring(L"kesiprobe ") + command + L": " + step + L" failed with " + std::to_wstring(code) +
                      L" (" + Hex(code) + L")";
  std::wstring text = Describe(code);
  if (!text.empty()) line += L": " + text;
  Print(stderr, line + L"\n");
  return 1;
}

bool ParseCertificateOption(const std::wstring& option, BOOL* ignoreCertificateErrors) {
  if (option == L"--insecure") {
    *ignoreCertificateErrors = TRUE;
    return true;
  }
  if (option == L"--strict-certificate") {  // the default; kept for scripts that still name it
    *ignoreCertificateErrors = FALSE;
    return true;
  }
  return false;
}

void PrintCertificateMode(BOOL ignoreCertificateErrors) {
  Print(stdout, ignoreCertificateErrors
                    ? L"certificates: not verified (--insecure: certificate errors are ignored, as the control does)\n"
                    : L"certificates: verified (give --insecure to ignore certificate errors as the control does)\n");
}

int UsageError(const std::wstring& message) {
  Print(stderr, L"kesiprobe: " + message + L"\n" + kUsage);
  return 2;
}

// ---- logon ---------------------------------------------------------------------------------------

int ParseApplianceOptions(const wchar_t* command, int argc, wchar_t** argv, ApplianceOptions* options) {
  for (int i = 0; i < argc; ++i) {
    std::wstring option = argv[i];
    if ((option == L"--appliance" || option == L"--credential") && i + 1 < argc) {
      (option == L"--appliance" ? options->appliance : options->credential) = argv[++i];
    } else if (!ParseCertificateOption(option, &options->ignoreCertificateErrors)) {
      return UsageError(std::wstring(command) + L": unexpected \"" + option + L"\"");
    }
  }
  if (!options->appliance || !*options->appliance)
    return UsageError(std::wstring(command) + L": --appliance HOST[:PORT] is required");
  return 0;
}

int RunLogon(int argc, wchar_t** argv) {
  using kesi::LogonAgent;
  ApplianceOptions options;
  if (int usage = ParseApplianceOptions(L"logon", argc, argv, &options)) return usage;
  const wchar_t* appliance = options.appliance;
  const wchar_t* credential = options.credential;
  const BOOL ignoreCertificateErrors = options.ignoreCertificateErrors;

  PrintCertificateMode(ignoreCertificateErrors);
  ComPtr<LogonAgent> agent;
  agent.attach(new (std::nothrow) LogonAgent());
  if (!agent) return Failed(L"logon", L"making the agent", ERROR_OUTOFMEMORY);
  // As the interrogator connects, except that no dialog is ever shown to a console user.
  DWORD result =
      agent->Connect(appliance, nullptr, credential, nullptr, nullptr, FALSE, nullptr, ignoreCertificateErrors, 0, 0);
  int exitCode = 0;
  if (result) {
    exitCode = Failed(L"logon", L"logon", result);
  } else {
    Print(stdout, L"version " + std::to_wstring(agent->GetVersion()) + L"\n");
    Print(stdout, std::wstring(L"session ") + agent->GetSession() + L"\n");
  }
  return exitCode;
}

namespace {

struct Command {
  const wchar_t* name;
  int (*run)(int argc, wchar_t** argv);
};

const Command kCommands[] = {
    {L"logon", RunLogon},
    {L"interrogate", RunInterrogate},
    {L"install", RunInstall},
    {L"uninstall", RunUninstall},
    {L"provision", RunProvision},
};

}  // namespace
}  // namespace kesi::probe

int wmain(int argc, wchar_t** argv) {
  using namespace kesi::probe;
  if (argc < 2) return UsageError(L"no command given");
  std::wstring name = argv[1];
  if (name == L"--help" || name == L"-h" || name == L"help") {
    Print(stdout, kUsage);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return command.run(argc - 2, argv + 2);
  }
  return UsageError(L"unknown command \"" + name + L"\"");
}
