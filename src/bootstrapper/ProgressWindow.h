#pragma once
// The bootstrapper's progress window: the module's bitmap 3 in a captioned pop-up of the class "Static",
// with a progress bar along its bottom edge that each completed phase advances by one step.
#include <windows.h>

namespace kesi::bootstrap {

class ProgressWindow {
 public:
  ProgressWindow() = default;
  ~ProgressWindow() { Close(); }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Creates and shows the window; a window that cannot be made leaves the run without one.
  void Show(HMODULE module);
  // Advances the bar by one step and handles the thread's pending window messages.
  void Step();
  void Close();
  HWND Window() const { return window_; }

 private:
  HWND window_ = nullptr;
  HWND bar_ = nullptr;
  HBITMAP bitmap_ = nullptr;
};

}  // namespace kesi::bootstrap
