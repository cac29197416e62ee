#include "ProgressWindow.h"

#include <commctrl.h>

#include "LastError.h"

namespace kesi::launcher {
namespace {

HWND CreateProgress(HWND* bar, HANDLE* bitmap) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  RECT work = {0, 0, 800, 600};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int width = work.right - work.left, height = work.bottom - work.top;
  const HINSTANCE module = GetModuleHandleW(nullptr);
  // SS_CENTERIMAGE keeps the window at its size when the bitmap is set.
  HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_STATICEDGE, WC_STATICW, kProgressWindowTitle,
                                WS_CAPTION | WS_VISIBLE | SS_BITMAP | SS_CENTERIMAGE,
                                work.left + width / 2 - width / 30, work.top + height / 2 - height / 6, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, module, nullptr);
  if (!window) return nullptr;
  *bitmap = LoadImageW(module, MAKEINTRESOURCEW(kProgressBitmapId), IMAGE_BITMAP, 0, 0, 0);
  if (*bitmap) SendMessageW(window, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(*bitmap));
  RECT client = {};
  GetClientRect(window, &client);
  *bar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 10, client.bottom - 25,
                         client.right - 20, 20, window, nullptr, module, nullptr);
  if (*bar) {
    SendMessageW(*bar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressRangeMax));
    SendMessageW(*bar, PBM_SETSTEP, kProgressStep, 0);
  }
  return window;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

DWORD ProgressWindow::Start() {
  if (thread_) return 0;
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_) return LastErrorOr(ERROR_OUTOFMEMORY);
  thread_.reset(CreateThread(nullptr, 0, &ProgressWindow::Run, stop_.get(), 0, nullptr));
  if (!thread_) {
    const DWORD error = LastErrorOr(ERROR_OUTOFMEMORY);
    stop_.reset();
    return error;
  }
  return 0;
}

void ProgressWindow::Stop() {
  if (!thread_) return;
  SetEvent(stop_.get());
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
  stop_.reset();
}

DWORD WINAPI ProgressWindow::Run(void* stopEvent) {
  HANDLE stop = stopEvent;
  HWND bar = nullptr;
  HANDLE bitmap = nullptr;
  HWND window = CreateProgress(&bar, &bitmap);
  DWORD ticks = 0;
  DWORD next = GetTickCount() + kProgressTickMs;
  // The bar advances at every tick while the window's messages are served between ticks.
  while (ticks < kProgressMaxTicks) {
    const DWORD now = GetTickCount();
    const DWORD wait = static_cast<LONG>(next - now) > 0 ? next - now : 0;
    const DWORD woken = MsgWaitForMultipleObjects(1, &stop, FALSE, wait, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0 + 1) {
      PumpMessages();
    } else if (woken == WAIT_TIMEOUT) {
      if (bar) SendMessageW(bar, PBM_STEPIT, 0, 0);
      ++ticks;
      next += kProgressTickMs;
    } else {
      break;  // stopped, or the wait failed
    }
  }
  // The bar finishes its round at once: nothing waits here after the stop.
  for (DWORD i = 0; bar && i < ticks % 50; ++i) SendMessageW(bar, PBM_STEPIT, 0, 0);
  if (window) DestroyWindow(window);
  if (bitmap) DeleteObject(bitmap);
  PumpMessages();
  return 0;
}

}  // namespace kesi::launcher
