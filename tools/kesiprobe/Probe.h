#pragma once
// What the kesiprobe subcommands share: console output as UTF-8, the text of an error code, and the
// failure and usage messages with their exit codes (1 a step failed, 2 a usage error).
#include <windows.h>

#include <cstdio>
#include <string>

namespace kesi::probe {

// Writes text as UTF-8, whatever the console's code page.
void Print(FILE* stream, const std::wstring& text);
// "0x%08lX".
std::wstring Hex(DWORD code);
// The system's text for a code (WinINet's codes from wininet.dll, the logon agent's own codes by name),
// or "".
std::wstring Describe(DWORD code);
// Prints "kesiprobe COMMAND: STEP failed with CODE (HEX): TEXT" to standard error; returns 1.
int Failed(const wchar_t* command, const wchar_t* step, DWORD code);
// --insecure (ignore certificate errors) or --strict-certificate (verify them, the default): sets the flag
// and returns true; false for any other option.
bool ParseCertificateOption(const std::wstring& option, BOOL* ignoreCertificateErrors);
// Prints the line that says whether the server certificate is verified in this run.
void PrintCertificateMode(BOOL ignoreCertificateErrors);
// Prints the message and the usage to standard error; returns 2.
int UsageError(const std::wstring& message);

// The options of a command that talks to an appliance: --appliance HOST[:PORT] (required),
// --credential TEXT, and the certificate option. 0 when they parse, else the usage error's exit code.
struct ApplianceOptions {
  const wchar_t* appliance = nullptr;
  const wchar_t* credential = nullptr;
  BOOL ignoreCertificateErrors = FALSE;
};
int ParseApplianceOptions(const wchar_t* command, int argc, wchar_t** argv, ApplianceOptions* options);

// The subcommands: each takes the arguments behind its name and returns the exit code.
int RunLogon(int argc, wchar_t** argv);
int RunInterrogate(int argc, wchar_t** argv);
int RunInstall(int argc, wchar_t** argv);
int RunUninstall(int argc, wchar_t** argv);
int RunProvision(int argc, wchar_t** argv);

}  // namespace kesi::probe
