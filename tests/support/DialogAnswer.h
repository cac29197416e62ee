#pragma once
// Answers a message box as its user would, from outside the thread that shows it: message boxes block for
// ever under Wine's null graphics driver, so tests and scripts find the box, read it and press a button.
#include <windows.h>

#include <atomic>
#include <string>

namespace kesi::test {

// What the box showed when it was answered.
struct DialogSeen {
  bool found = false;
  std::wstring title;  // the window's title, as found
  std::wstring text;   // the message
  bool shown[12] = {};  // by control id (IDOK .. IDCONTINUE): the button is there and visible

  bool Shows(int id) const { return id > 0 && id < 12 && shown[id]; }
};

// Waits up to timeoutMs (or until *stop becomes true) for a dialog window ("#32770") titled title or
// title + "\r\n", gives it a moment to fill in its controls, reads it into *seen and presses button
// (WM_COMMAND with the button's id, as its click sends). False when no such window appeared.
inline bool AnswerDialog(const std::wstring& title, int button, DWORD timeoutMs, DialogSeen* seen,
                         const std::atomic<bool>* stop = nullptr) {
  const std::wstring withLineEnd = title + L"\r\n";
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND box = FindWindowW(L"#32770", withLineEnd.c_str());
    if (!box) box = FindWindowW(L"#32770", title.c_str());
    if (box) {
      Sleep(100);
      seen->found = true;
      wchar_t text[4096] = {};
      GetWindowTextW(box, text, 4096);
      seen->title = text;
      text[0] = 0;
      GetDlgItemTextW(box, 0xFFFF, text, 4096);  // a message box's text control
      seen->text = text;
      for (int id = 1; id < 12; ++id) {
        HWND control = GetDlgItem(box, id);
        seen->shown[id] = control && IsWindowVisible(control);
      }
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
      return true;
    }
    if ((stop && *stop) || GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}

}  // namespace kesi::test
