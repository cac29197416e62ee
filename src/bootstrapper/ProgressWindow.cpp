#include "ProgressWindow.h"

#include <commctrl.h>

namespace kesi::bootstrap {
namespace {

constexpr wchar_t kTitle[] = L"Velmora Access Manager";
constexpr int kBitmapId = 3;

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

void ProgressWindow::Show(HMODULE module) {
  if (window_) return;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  RECT area = {0, 0, 800, 600};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  bitmap_ = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(kBitmapId), IMAGE_BITMAP, 0, 0, 0));
  int width = 400, height = 150;
  if (bitmap_) {
    BITMAP info = {};
    if (GetObjectW(bitmap_, sizeof info, &info)) {
      width = info.bmWidth + 2 * GetSystemMetrics(SM_CXFIXEDFRAME);
      height = info.bmHeight + GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYFIXEDFRAME) + 50;
    }
  }
  const int x = area.left + ((area.right - area.left) - width) / 2;
  const int y = area.top + ((area.bottom - area.top) - height) / 2;
  window_ = CreateWindowExW(0, L"Static", kTitle, WS_POPUP | WS_CAPTION | WS_VISIBLE | SS_BITMAP | SS_CENTERIMAGE, x,
                            y, width, height, nullptr, nullptr, nullptr, nullptr);
  if (!window_) return;
  if (bitmap_) SendMessageW(window_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap_));
  RECT client = {};
  GetClientRect(window_, &client);
  bar_ = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 10, client.bottom - 25,
                         client.right - 20, 20, window_, nullptr, nullptr, nullptr);
  if (bar_) {
    SendMessageW(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, 25));
    SendMessageW(bar_, PBM_SETSTEP, 2, 0);
  }
  UpdateWindow(window_);
  PumpMessages();
}

void ProgressWindow::Step() {
  if (bar_) SendMessageW(bar_, PBM_STEPIT, 0, 0);
  if (window_) PumpMessages();
}

void ProgressWindow::Close() {
  if (window_) DestroyWindow(window_);  // the bar is its child
  window_ = nullptr;
  bar_ = nullptr;
  if (bitmap_) DeleteObject(bitmap_);
  bitmap_ = nullptr;
}

}  // namespace kesi::bootstrap
