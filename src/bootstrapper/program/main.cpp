// kesiMsiBootstraper.exe: the bootstrapper as a program started from the download page.
#include <windows.h>

#include "Bootstrap.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  // The program is started from the browser's download folder: system libraries come from the system
  // folder only, never from files planted beside it.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return static_cast<int>(kesi::bootstrap::RunProgram(commandLine, instance));
}
