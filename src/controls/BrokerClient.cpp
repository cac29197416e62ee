#include "BrokerClient.h"

namespace kesi::controls {

// Placeholders until the broker pipe lands.
DWORD RemoteIt(const std::wstring&, DWORD* result, LogFile*) {
  if (result) *result = ERROR_CALL_NOT_IMPLEMENTED;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD SendToRunningBroker(const std::wstring&, DWORD* result, LogFile*) {
  if (result) *result = ERROR_CALL_NOT_IMPLEMENTED;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace kesi::controls
