#include "ControlsSystem.h"

#include "Handles.h"
#include "LastError.h"

namespace kesi::controls {
namespace {

DWORD QueryProcessImagePath(DWORD processId, std::wstring* path) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return LastErrorOr(ERROR_ACCESS_DENIED);
  wchar_t image[MAX_PATH * 2];
  DWORD chars = ARRAYSIZE(image);
  if (!QueryFullProcessImageNameW(process.get(), 0, image, &chars)) return LastErrorOr(ERROR_ACCESS_DENIED);
  path->assign(image, chars);
  return 0;
}

}  // namespace

ControlsSystem DefaultControlsSystem() {
  ControlsSystem system{};
  system.prompt = MessageBoxW;
  system.brokerConnectMs = 60000;
  system.brokerUpdateMs = 5 * 60 * 1000;
  system.brokerWriteMs = 30000;
  system.brokerReplyMs = 60 * 60 * 1000;
  system.processImagePath = QueryProcessImagePath;
  return system;
}

ControlsSystem& CurrentControlsSystem() {
  static ControlsSystem current = DefaultControlsSystem();
  return current;
}

ControlsSystem SetControlsSystem(const ControlsSystem& system) {
  ControlsSystem previous = CurrentControlsSystem();
  CurrentControlsSystem() = system;
  return previous;
}

}  // namespace kesi::controls
