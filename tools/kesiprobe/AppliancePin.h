#pragma once
// Accepting one appliance's certificate, whatever its problems, for the rest of this process, through the
// client's own appliance pin policy: the certificate the server presents now is read once (its errors
// ignored for that one request) and becomes the only one this process accepts, listed in a policy value
// of the process's own (a volatile key under HKEY_CURRENT_USER) that takes the machine policy's place.
// Every transfer of the client's code in the process, the install engine's downloads too, then accepts
// that server and refuses any other certificate with 12169. kesiprobe install --insecure and the install
// benchmark use it: the engine's downloads ignore no certificate problem and show no dialog.
#include <windows.h>
#include <wininet.h>

#include <string>

#include "CertificatePolicy.h"

namespace kesi::probe {

class ProcessAppliancePin {
 public:
  ProcessAppliancePin() = default;
  ~ProcessAppliancePin();  // puts the machine policy back and deletes the key
  ProcessAppliancePin(const ProcessAppliancePin&) = delete;
  ProcessAppliancePin& operator=(const ProcessAppliancePin&) = delete;

  // Reads the certificate of https://host:port and pins it. 0, or WinINet's error when the server cannot
  // be reached, 12169 when its certificate cannot be read, the registry's error.
  DWORD Pin(const wchar_t* host, INTERNET_PORT port);
  // The pinned certificate's SHA-256, 64 upper-case hexadecimal digits ("" before Pin succeeds).
  const std::wstring& Sha256() const { return sha256_; }

 private:
  std::wstring subKey_;
  std::wstring sha256_;
  bool located_ = false;
  CertificatePolicyLocation previous_{};
};

}  // namespace kesi::probe
