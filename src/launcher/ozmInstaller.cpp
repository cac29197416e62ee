// ozmInstaller.exe: the install launcher that the broker starts with one command as its whole command line.
#include <windows.h>

#include "Launcher.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  return static_cast<int>(kesi::launcher::RunLauncher(GetCommandLineW()));
}
