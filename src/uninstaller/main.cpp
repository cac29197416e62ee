// kesiuninstall: removes the client's products after asking the user. It takes no arguments and always
// exits with 0.
#include <windows.h>

#include "Uninstall.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  kesi::uninstall::RunUninstaller(instance);
  return 0;
}
