// The bootstrapper's interrogation through the registered library: the object created through COM, its
// credential and logon interrogation against an appliance, and the log bundle pushed after a failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Bootstrap.h"
#include "BootstrapSupport.h"
#include "SimulatorClient.h"

namespace kesi::bootstrap::test {
namespace {

size_t Uploads(Appliance& appliance) {
  size_t count = 0;
  for (const std::string& line : appliance.Journal()) count += line.find("/postauth/__EPClogfilesubmit") != std::string::npos;
  return count;
}

TEST(BootstrapInterrogation, FailedLogonPushesTheBundleToTheAppliance) {
  SystemScope system;
  DeleteFileW(InitLogPath().c_str());
  const std::wstring buildVer = VelmoraFolder() + L"\\kesi\\build.ver";
  const std::wstring package = VelmoraFolder() + L"\\java_deploy\\kesi.msi";
  CreateDirectoryW(VelmoraFolder().c_str(), nullptr);
  CreateDirectoryW((VelmoraFolder() + L"\\kesi").c_str(), nullptr);
  CreateDirectoryW((VelmoraFolder() + L"\\java_deploy").c_str(), nullptr);
  // The installed client is current: the run goes straight on to the interrogation.
  if (!ProductInstalled()) {
    ASSERT_EQ(InstallPackageQuietly(PackagePath(L"kesi-signed.msi")), 0u);
  }
  ASSERT_TRUE(WriteWholeFile(buildVer, "10,7,2,607"));
  ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-signed.msi").c_str(), package.c_str(), FALSE));

  Appliance appliance(R"({"base": "default", "faults": [{"procedure": 10, "http_status": 500}]})");
  ASSERT_EQ("", appliance.Error());
  const std::wstring base = L"https://" + appliance.Server();
  const std::wstring cookies = L"FARLINK_ID=SESSION-7; urlConfig=" + base + L"/postauth/config; responseUrl=" + base +
                               L"/postauth/post; successUrl=" + base + L"/ok; failureUrl=" + base +
                               L"/fail; autoUploadUrl=" + base + L"/upload";
  EXPECT_EQ(RunForJava(cookies, nullptr), kBootstrapFailure);
  EXPECT_EQ(Uploads(appliance), 1u) << "the bootstrapper's bundle, and only it";
  bool session = false;
  for (const std::string& line : appliance.Journal())
    session = session || line.find("SESSION-7") != std::string::npos;
  EXPECT_TRUE(session) << "the interrogation carries the page's session";
  const std::string log = InitLog();
  for (const char* line : {"DoInterrogatorActions: put_AuthCredential() OK", "DoInterrogatorActions: DoInterrogationLogon() returned 1",
                           "BOOTSTRAPPER: Automatic push of the merged log required", "BOOTSTRAPPER: Logfile has been re-opened",
                           "BOOTSTRAPPER: PushLogsAndReturnCode completion: 0"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  appliance.Stop();

  DeleteFileW(buildVer.c_str());
  DeleteFileW(package.c_str());
  RemoveProduct();
}

}  // namespace
}  // namespace kesi::bootstrap::test
