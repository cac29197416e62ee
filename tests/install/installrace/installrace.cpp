// kesiinstallrace.exe URL VERSION FOLDER: one of two processes installing the same component into the same
// folder at once (the catalog is the one beside this program). The exit code is the install's result.
#include <windows.h>

#include "Install.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return ERROR_INVALID_PARAMETER;
  return static_cast<int>(kesi::install::InstallComponentVer(argv[1], argv[2], argv[3]));
}
