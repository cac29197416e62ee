#include "ControlsSystem.h"

namespace kesi::controls {

ControlsSystem DefaultControlsSystem() {
  ControlsSystem system{};
  system.prompt = MessageBoxW;
  system.brokerConnectMs = 60000;
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
