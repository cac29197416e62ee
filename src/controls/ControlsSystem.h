#pragma once
// What the controls ask of the system that a test must vary; the defaults are the real calls and the
// production bounds. Tests replace entries with SetControlsSystem and put the previous table back.
#include <windows.h>

#include <string>

namespace kesi::controls {

struct ControlsSystem {
  // Asks the user (the session notice); MessageBoxW by default, which blocks until someone answers.
  int(WINAPI* prompt)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
  // How long the page's thread waits for the broker to connect to the pipe, in milliseconds.
  DWORD brokerConnectMs;
  // How long the page's thread waits for the next broker after the broker answered that it is being
  // updated (the launcher installs the new broker and starts it), in milliseconds.
  DWORD brokerUpdateMs;
  // How long a write of a command to the connected broker may take, in milliseconds.
  DWORD brokerWriteMs;
  // How long the page's thread waits for the broker's reply, in milliseconds: the broker runs the whole
  // command first (an interrogation with its installs, an MSI install of up to half an hour).
  DWORD brokerReplyMs;
  // The full path of the program that process processId runs (QueryFullProcessImageNameW by default):
  // how a pipe client that the library did not start is recognised as the broker. 0 or the error.
  DWORD (*processImagePath)(DWORD processId, std::wstring* path);
};

ControlsSystem& CurrentControlsSystem();
// Installs system and returns the previous table.
ControlsSystem SetControlsSystem(const ControlsSystem& system);
ControlsSystem DefaultControlsSystem();

}  // namespace kesi::controls
