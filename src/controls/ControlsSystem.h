#pragma once
// What the controls ask of the system that a test must vary; the defaults are the real calls and the
// production bounds. Tests replace entries with SetControlsSystem and put the previous table back.
#include <windows.h>

namespace kesi::controls {

struct ControlsSystem {
  // Asks the user (the session notice); MessageBoxW by default, which blocks until someone answers.
  int(WINAPI* prompt)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
  // How long the page's thread waits for the broker to connect to the pipe, in milliseconds.
  DWORD brokerConnectMs;
};

ControlsSystem& CurrentControlsSystem();
// Installs system and returns the previous table.
ControlsSystem SetControlsSystem(const ControlsSystem& system);
ControlsSystem DefaultControlsSystem();

}  // namespace kesi::controls
