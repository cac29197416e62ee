#pragma once
// The launcher's progress window: "Velmora Access Manager" with a progress bar that advances every 400 ms,
// driven by a thread of its own that pumps the window's messages until it is stopped.
#include <windows.h>

#include "Handles.h"

namespace kesi::launcher {

constexpr wchar_t kProgressWindowTitle[] = L"Velmora Access Manager";
constexpr int kProgressRangeMax = 25;
constexpr int kProgressStep = 2;
constexpr DWORD kProgressTickMs = 400;
constexpr DWORD kProgressMaxTicks = 4500;
// The bitmap resource of the program that the window shows.
constexpr WORD kProgressBitmapId = 101;

class ProgressWindow {
 public:
  ProgressWindow() = default;
  ~ProgressWindow() { Stop(); }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Starts the window's thread; without one the work goes on unseen. 0 or the error.
  DWORD Start();
  // Tells the thread to finish and waits for it: the remaining steps are drawn without waiting.
  void Stop();

 private:
  static DWORD WINAPI Run(void* stopEvent);

  UniqueHandle stop_;
  UniqueHandle thread_;
};

}  // namespace kesi::launcher
