#pragma once
// The notice shown to the user when the appliance ends the user's connection: one text per language of
// the user's default locale, in a box titled "VPN Connection Status" with an OK button, through the
// controls' prompt (ControlsSystem.h; a message box by default).
#include <windows.h>

namespace kesi::controls {

constexpr wchar_t kSessionNoticeTitle[] = L"VPN Connection Status";
constexpr UINT kSessionNoticeStyle = MB_OK | MB_SERVICE_NOTIFICATION;

// Shows the notice in the user's language and returns the prompt's answer (IDOK), or 0 when the text
// could not be made (out of memory).
int ShowSessionNotice();

}  // namespace kesi::controls
