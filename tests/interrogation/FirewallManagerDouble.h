#pragma once
// The stand-in firewall manager (tests/fixtures/fwmanager): its classes registered machine-wide for the
// life of the object, and the firewall check pointed at the class that answers as the test says.
// Suites that use it hold the lock "firewall-manager-double" (tests/interrogation/CMakeLists.txt).
#include <gtest/gtest.h>
#include <windows.h>

#include "Handles.h"
#include "SecurityChecks.h"
#include "TestFiles.h"
#include "TestText.h"

namespace kesi::test {

class FirewallManagerDouble {
 public:
  // The ways its classes answer, in the order of their class numbers.
  enum Answer : BYTE {
    kEnabled,       // every step succeeds; the firewall is on
    kDisabled,      // every step succeeds; the firewall is off
    kPolicyFails,   // get_LocalPolicy fails with E_ACCESSDENIED
    kNoPolicy,      // get_LocalPolicy succeeds without a policy
    kProfileFails,  // get_CurrentProfile fails with the error of a stopped service
    kNoProfile,     // get_CurrentProfile succeeds without a profile
    kAnswerFails,   // get_FirewallEnabled fails with RPC_E_DISCONNECTED, after writing TRUE
  };

  FirewallManagerDouble() : module_(LoadLibraryW(FixturePath(L"fwmanager\\kesifwmanager.dll").c_str())) {
    if (!module_) {
      error_ = GetLastError();
      return;
    }
    registered_ = Call("DllRegisterServer");
  }
  FirewallManagerDouble(const FirewallManagerDouble&) = delete;
  FirewallManagerDouble& operator=(const FirewallManagerDouble&) = delete;
  ~FirewallManagerDouble() {
    ResetFirewallManagerClass();
    if (module_) Call("DllUnregisterServer");
  }

  ::testing::AssertionResult Registered() const {
    if (!module_) return ::testing::AssertionFailure() << "cannot load the stand-in firewall manager: " << error_;
    if (FAILED(registered_))
      return ::testing::AssertionFailure() << "cannot register the stand-in firewall manager: 0x" << std::hex
                                           << static_cast<unsigned long>(registered_);
    return ::testing::AssertionSuccess();
  }

  // The class of the stand-in that answers so.
  static CLSID Class(Answer answer) {
    CLSID clsid = {0x8D1C4E6A, 0x3B7F, 0x4E2A, {0x9C, 0x5D, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00}};
    clsid.Data4[7] = answer;
    return clsid;
  }
  // From now on the firewall check asks the stand-in that answers so.
  void Use(Answer answer) { FirewallManagerClass() = Class(answer); }

 private:
  HRESULT Call(const char* name) {
    auto entry = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
    return entry ? entry() : HRESULT_FROM_WIN32(GetLastError());
  }

  UniqueModule module_;
  DWORD error_ = 0;
  HRESULT registered_ = E_FAIL;
};

}  // namespace kesi::test
