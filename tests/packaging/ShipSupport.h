#pragma once
// What the packaging cases share: the client packages of three versions, their products in the prefix, the
// installed files, and one scope that leaves the prefix as the case found it (no client product, the
// build's library registered as the fixture "kesi_registered" leaves it), also when the case fails.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <string>

#include "BootstrapSupport.h"
#include "LogFolder.h"
#include "ScriptHost.h"
#include "TestFiles.h"
#include "TestMsi.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::ship::test {

using namespace kesi::test;
using kesi::bootstrap::test::AppData;
using kesi::bootstrap::test::InitLog;
using kesi::bootstrap::test::InitLogPath;

constexpr wchar_t kClientProduct[] = L"" KESI_CLIENT_PRODUCT_CODE;
constexpr wchar_t kBrokerProduct[] = L"" KESI_BROKER_PRODUCT_CODE;

// The client's package folders of this build: "older" (1.0.0) and "newer" (1.0.2) made for these cases,
// "build" the build's own (packaging/, 1.0.1).
inline std::wstring PackageFolder(const std::wstring& which) {
  if (which == L"build") return BuildTestsFolder() + L"..\\packaging\\";
  return BuildTestsFolder() + L"packaging\\" + which + L"\\";
}

inline std::wstring KesiFolder() { return AppData() + L"\\Velmora\\kesi"; }
inline std::wstring DeployedBrokerPackage() { return AppData() + L"\\Velmora\\deploy\\kesiVista.msi"; }

// A file of the user's log folder.
inline std::wstring LogFolderFile(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetLogFolderFile(path, name);
  return path;
}

inline ULONGLONG Ticks(const FILETIME& time) {
  return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }


// The page's way to the interrogator: a script host of this build's bitness creates it by its ProgID.
inline ::testing::AssertionResult InterrogatorCreatable() {
  const ScriptRun run = RunScript(BuildTestsFolder() + L"packaging\\scripts\\create.js");
  if (run.exitCode == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "create.js exit " << run.exitCode << ": " << run.output;
}

// Runs a program of this build (path relative to the build folder) with arguments; its exit code, or
// 0xFFFFFFFF when it could not be run or did not end within timeoutMs.
inline DWORD RunBuildProgram(const std::wstring& relative, const std::wstring& arguments, DWORD timeoutMs = 60000) {
  ChildProcess child;
  if (!child.Start(BuildTestsFolder() + relative, arguments)) return 0xFFFFFFFF;
  if (WaitForSingleObject(child.Handle(), timeoutMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(child.Handle(), &code);
  return code;
}

// The build's library, registered by its own entry point as the fixture does. 0 or the HRESULT.
inline DWORD RegisterBuildLibrary() {
  return RunBuildProgram(L"controls\\register\\kesiregister.exe", L"\"" + BuildTestsFolder() + L"..\\src\\controls\\KESI.dll\"");
}

// The registered module of the interrogator's class (InprocServer32 of the process's registry view).
inline std::wstring InterrogatorModule() {
  wchar_t path[MAX_PATH] = {};
  DWORD bytes = sizeof path;
  RegGetValueW(HKEY_LOCAL_MACHINE,
               L"Software\\Classes\\CLSID\\{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}\\InprocServer32", nullptr,
               RRF_RT_REG_SZ, nullptr, path, &bytes);
  return path;
}

// The take-ownership program of the system folder of this process's bitness, which Wine lacks and the
// bootstrapper's upgrade runs: the bootstrapper tests' stand-in, placed for the case and removed after it.
class TakeOwnershipProgram {
 public:
  TakeOwnershipProgram() {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    path_ = std::wstring(system) + L"\\takeown.exe";
    if (!PathExists(path_))
      placed_ = CopyFileW((BuildTestsFolder() + L"bootstrapper\\takeown\\takeown.exe").c_str(), path_.c_str(), TRUE);
  }
  ~TakeOwnershipProgram() {
    if (placed_) DeleteFileW(path_.c_str());
  }
  TakeOwnershipProgram(const TakeOwnershipProgram&) = delete;
  TakeOwnershipProgram& operator=(const TakeOwnershipProgram&) = delete;
  bool Usable() const { return PathExists(path_); }

 private:
  std::wstring path_;
  bool placed_ = false;
};

// Entered with no client product installed; when it ends (however the case went) the brokers are ended,
// both products removed, the broker's downloaded package and the ProgIDs the bootstrapper writes for
// these versions deleted, and the build's library registered again.
class ShipScope {
 public:
  ShipScope() {
    Clean();
    EXPECT_EQ(L"", InstalledVersion(kClientProduct)) << "a client is installed before the case";
  }
  ~ShipScope() {
    Clean();
    EXPECT_EQ(0u, RegisterBuildLibrary()) << "the build's library is not registered again";
  }
  ShipScope(const ShipScope&) = delete;
  ShipScope& operator=(const ShipScope&) = delete;

 private:
  static void Clean() {
    EndBrokers();
    EndBrokers(L"ozmInstaller.exe");
    RemoveProductIfInstalled(kBrokerProduct);
    RemoveProductIfInstalled(kClientProduct);
    DeleteFileW(DeployedBrokerPackage().c_str());
    RemoveTree(AppData() + L"\\Velmora\\deploy\\newer");  // made for the broker package's URL
    for (const wchar_t* version : {L"1.0.0.0000", L"1.0.0.001", L"1.0.0.002"}) {
      for (const wchar_t* prefix : {L"Velmora.KESInterrogator.", L"Velmora.KESInstaller."})
        RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Classes\\") + prefix + version).c_str());
    }
  }
};

}  // namespace kesi::ship::test
