// kesimsiprobe PACKAGE CONFIG: DoMsiInstall as a user who is no administrator, with the system's real
// version; the exit code is its result. The version is this program's own under Wine's AppDefaults.
#include <windows.h>

#include "Msi.h"

namespace {
bool NotAdministrator() { return false; }
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return ERROR_INVALID_PARAMETER;
  kesi::install::MsiSystem system = kesi::install::DefaultMsiSystem();
  system.isAdministrator = &NotAdministrator;
  system.pipeWaitMs = 200;
  kesi::install::SetMsiSystem(system);
  return static_cast<int>(kesi::install::DoMsiInstall(argv[1], argv[2], nullptr, nullptr));
}
