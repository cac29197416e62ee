// kesivista: started by the library with no command line, or with "Kill" to stop the running broker.
#include <windows.h>

#include "Broker.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  try {
    return kesi::broker::RunBroker(commandLine);
  } catch (...) {
    return 0;
  }
}
