#pragma once
// The log bundle that support staff receive: the logs of one log folder joined into its
// "kesiBootstrapper.log", the file the bootstrapper's log location points to.
#include <windows.h>

namespace kesi {

// The event a bootstrapper holds while it runs (one per session).
constexpr wchar_t kBootstrapperRunningEvent[] = L"Local\\RQBootStrapRunning";

// True while a bootstrapper runs (its event "Local\RQBootStrapRunning" exists); the bundle is not built then.
bool IsBootstrapperRunning();
// Joins the logs of logFolder (null: the user's log folder) into its "kesiBootstrapper.log": the init
// log, then the provisioner, interrogator and MSI logs, each after a ciphered header line; the MSI log
// (wide text) is ciphered block by block and deleted once appended. Missing logs are skipped. bundlePath
// (MAX_PATH characters, may be null) receives the bundle's path. 0 or the error that stopped it.
DWORD BuildLogBundle(const wchar_t* logFolder, wchar_t* bundlePath);
// Appends the wide-text log at logPath to the bundle: every 4,096-byte block converted to the ANSI code
// page and written as one ciphered line, each append locked on its range of the bundle.
DWORD AppendCipheredLog(const wchar_t* bundlePath, const wchar_t* logPath);

}  // namespace kesi
