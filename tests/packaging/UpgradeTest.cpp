// kesiMsiBootstraper.exe as a download page starts it, beside a "kesi.msi", with an installed client: a
// newer package upgrades the client in place; the same or an older one installs nothing and registers the
// package version's ProgIDs for the current user.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <string>

#include "LogFolder.h"
#include "ShipSupport.h"

namespace kesi::ship::test {
namespace {

using kesi::test::UacPolicyScope;

// Runs the bootstrapper in program mode with a command line (no browser is looked for), in a folder that
// holds package as "kesi.msi". Its exit code; 0xFFFFFFFF when it did not end in time.
DWORD RunBootstrapper(const std::wstring& package) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"kesi-ship-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  DWORD code = 0xFFFFFFFF;
  if (CopyFileW(package.c_str(), (folder + L"\\kesi.msi").c_str(), FALSE)) {
    const std::wstring program = BuildTestsFolder() + L"..\\src\\bootstrapper\\kesiMsiBootstraper.exe";
    std::wstring line = L"\"" + program + L"\" fromtest";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info)) {
      UniqueHandle process(info.hProcess);
      UniqueHandle thread(info.hThread);
      if (WaitForSingleObject(process.get(), 300000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
      else TerminateProcess(process.get(), 1);
    } else {
      ADD_FAILURE() << "cannot start the bootstrapper: " << GetLastError();
    }
  }
  RemoveTree(folder);
  return code;
}

TEST(ShipUpgrade, NewerPackageUpgradesTheInstalledClientInPlace) {
  ShipScope scope;
  UacPolicyScope uacOn(1);
  TakeOwnershipProgram takeown;
  ASSERT_TRUE(takeown.Usable());
  ASSERT_EQ(0u, InstallPackageQuietly(PackageFolder(L"older") + L"kesi.msi"));
  ASSERT_EQ(L"1.0.0", InstalledVersion(kClientProduct));
  // Both versions carry the same programs: the installed launcher is made to differ from the package's,
  // so that its bytes afterwards show whether the upgrade replaced it.
  const std::wstring launcher = KesiFolder() + L"\\ozmInstaller.exe";
  ASSERT_TRUE(WriteWholeFile(launcher, ReadWholeFile(launcher) + "locally changed"));
  // The installed broker runs, as a page's call left it.
  ChildProcess broker;
  ASSERT_TRUE(broker.Start(KesiFolder() + L"\\kesivista.exe"));
  ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(broker.Handle(), 500));
  DeleteFileW(InitLogPath().c_str());
  const std::wstring installLog = LogFolderFile(kInstallLogName);
  DeleteFileW(installLog.c_str());

  EXPECT_EQ(0u, RunBootstrapper(PackageFolder(L"newer") + L"kesi.msi"));

  const std::string log = InitLog();
  EXPECT_TRUE(Contains(log, "installPackage: upgrading existing KESI installation")) << log;
  EXPECT_TRUE(Contains(log, "installPackage: ERROR_SUCCESS result: 0")) << log;
  EXPECT_EQ(L"1.0.2", InstalledVersion(kClientProduct));
  EXPECT_EQ(ReadWholeFile(PackageFolder(L"newer") + L"build.ver"), ReadWholeFile(KesiFolder() + L"\\build.ver"));
  EXPECT_EQ("1,0,0,2\r\n", ReadWholeFile(KesiFolder() + L"\\build.ver"));
  // (the package's own copy: every strip of a program stamps it anew)
  EXPECT_TRUE(ReadWholeFile(launcher) ==
              ReadWholeFile(BuildTestsFolder() + L"packaging/" + Widen(KESI_SHIP_NEWER_STAGE) + L"/ozmInstaller.exe"))
      << "the installed launcher was not replaced";

  // The broker was stopped before the installer began: it had exited when the install's log was made.
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(broker.Handle(), 0)) << "the broker still runs";
  FILETIME created, exited, kernel, user;
  ASSERT_TRUE(GetProcessTimes(broker.Handle(), &created, &exited, &kernel, &user));
  WIN32_FILE_ATTRIBUTE_DATA installLogData;
  ASSERT_TRUE(GetFileAttributesExW(installLog.c_str(), GetFileExInfoStandard, &installLogData)) << Narrow(installLog);
  EXPECT_LE(Ticks(exited), Ticks(installLogData.ftCreationTime));

  // The upgraded library is the registered one, and a page can create its object.
  std::wstring module = InterrogatorModule(), expected = KesiFolder() + L"\\KESI.dll";
  CharLowerW(&module[0]);
  CharLowerW(&expected[0]);
  EXPECT_EQ(expected, module);
  EXPECT_TRUE(InterrogatorCreatable());
}

// The installed client is as new as the package or newer: nothing is installed, and the package version's
// ProgIDs are registered under the current user's classes with the class ids.
TEST(ShipUpgrade, SameOrOlderPackageInstallsNothingAndRegistersItsProgIds) {
  const struct {
    const wchar_t* installed;
    const wchar_t* offered;
    const wchar_t* installedVersion;
    const wchar_t* progIdVersion;  // major.minor/10.minor%10.build of the offered package
  } cases[] = {
      {L"newer", L"newer", L"1.0.2", L"1.0.0.002"},
      {L"newer", L"older", L"1.0.2", L"1.0.0.0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(c.installed) + L" installed, " + c.offered + L" offered"));
    ShipScope scope;
    UacPolicyScope uacOn(1);
    ASSERT_EQ(0u, InstallPackageQuietly(PackageFolder(c.installed) + L"kesi.msi"));
    const std::string buildVer = ReadWholeFile(KesiFolder() + L"\\build.ver");
    DeleteFileW(InitLogPath().c_str());

    EXPECT_EQ(0u, RunBootstrapper(PackageFolder(c.offered) + L"kesi.msi"));

    EXPECT_EQ(c.installedVersion, InstalledVersion(kClientProduct));
    EXPECT_EQ(buildVer, ReadWholeFile(KesiFolder() + L"\\build.ver"));
    const std::string log = InitLog();
    EXPECT_TRUE(Contains(log, "installPackage: Not installing msi. The installed client is a newer version.")) << log;
    EXPECT_FALSE(Contains(log, "MsiInstallProduct")) << log;
    const struct {
      const wchar_t* prefix;
      const wchar_t* clsid;
    } progIds[] = {{L"Velmora.KESInterrogator.", L"{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}"},
                   {L"Velmora.KESInstaller.", L"{A7BC4157-A8EC-488F-9808-C63E2ACB0996}"}};
    for (const auto& p : progIds) {
      const std::wstring key = std::wstring(L"Software\\Classes\\") + p.prefix + c.progIdVersion + L"\\CLSID";
      wchar_t value[64] = {};
      DWORD bytes = sizeof value;
      EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes))
          << Narrow(key);
      EXPECT_STREQ(p.clsid, value) << Narrow(key);
    }
  }
}

}  // namespace
}  // namespace kesi::ship::test
