#include "AppliancePin.h"

#include <new>

#include "Handles.h"
#include "LPRPCTransport.h"
#include "PinList.h"

namespace kesi::probe {

namespace {

// The server's certificate, read from one GET of "/" whose certificate errors are ignored (after a HEAD
// request Wine's WinINet gives no certificate information). The answer itself does not matter.
DWORD ReadServerCertificate(const wchar_t* host, INTERNET_PORT port, CertificateHash* sha256) {
  UniqueInternet session(InternetOpenW(L"kesiprobe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return GetLastError();
  UniqueInternet connection(
      InternetConnectW(session.get(), host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return GetLastError();
  UniqueInternet request(
      HttpOpenRequestW(connection.get(), L"GET", L"/", nullptr, nullptr, nullptr, kesi::kRequestFlags, 0));
  if (!request) return GetLastError();
  // As the client's transport does it: the problems are ignored on a second send, once the first met them.
  if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
    DWORD flags = 0, size = sizeof(flags);
    InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= kesi::kIgnoreCertificateFlags;
    if (!InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)) ||
        !HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0))
      return GetLastError();
  }
  ServerCertificateIdentity identity;
  if (DWORD error = QueryServerCertificate(request.get(), identity)) return error;
  if (!identity.hasHash || !identity.sameAsInfo) return kCertificateRefused;
  *sha256 = identity.sha256;
  return 0;
}

}  // namespace

DWORD ProcessAppliancePin::Pin(const wchar_t* host, INTERNET_PORT port) {
  CertificateHash hash{};
  if (DWORD error = ReadServerCertificate(host, port, &hash)) return error;
  try {
    subKey_ = L"Software\\KESI probe appliance pin " + std::to_wstring(GetCurrentProcessId());
    const std::wstring hex = HashToHex(hash);
    UniqueKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                     KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS)
      status = RegSetValueExW(key.get(), kCertificatePolicyValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(hex.c_str()),
                              static_cast<DWORD>((hex.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    previous_ = SetCertificatePolicyLocation({HKEY_CURRENT_USER, subKey_.c_str()});
    located_ = true;
    sha256_ = hex;
    return 0;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

ProcessAppliancePin::~ProcessAppliancePin() {
  if (located_) SetCertificatePolicyLocation(previous_);
  if (!subKey_.empty()) RegDeleteKeyW(HKEY_CURRENT_USER, subKey_.c_str());
}

}  // namespace kesi::probe
