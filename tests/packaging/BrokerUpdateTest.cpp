// The broker's own update as a user meets it: the installed client, an appliance whose agent list names a
// newer "kesiVista.msi", and a page that calls DoVistaInterrogation. The broker's provisioning downloads
// the package and answers 1051; the launcher waits for that broker to exit, installs the package and starts
// the broker again; the page's call goes again to the new broker, which finds the package current and runs
// the interrogation to its result.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LogFolder.h"
#include "ProcessList.h"
#include "ShipSupport.h"
#include "SimulatorClient.h"
#include "TestLogFile.h"

namespace kesi::ship::test {
namespace {

using kesi::bootstrap::test::DecipheredLog;

// Every broker process of this session that runs while the watch lasts, in the order they were seen, each
// held open so that its times can be read after it has gone.
class BrokerWatch {
 public:
  BrokerWatch() : thread_([this] { Watch(); }) {}
  ~BrokerWatch() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::vector<UniqueHandle>& Seen() const { return seen_; }

 private:
  void Watch() {
    std::vector<DWORD> known;
    while (!stop_) {
      std::vector<DWORD> ids;
      FindOwnSessionProcesses(L"kesivista.exe", &ids);
      for (DWORD id : ids) {
        bool old = false;
        for (DWORD k : known) old = old || k == id;
        if (old) continue;
        UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        if (!process) continue;
        known.push_back(id);
        seen_.push_back(std::move(process));
      }
      Sleep(20);
    }
  }

  std::atomic<bool> stop_{false};
  std::vector<UniqueHandle> seen_;
  std::thread thread_;
};

struct Times {
  ULONGLONG created = 0, exited = 0;
};

Times ProcessTimes(HANDLE process) {
  FILETIME created = {}, exited = {}, kernel, user;
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  return Times{Ticks(created), Ticks(exited)};
}

// A JSON string of a host path.
std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

TEST(ShipBrokerUpdate, ListedNewerBrokerIsInstalledAndServesTheCallAgain) {
  ShipScope scope;
  ASSERT_EQ(0u, InstallPackageQuietly(PackageFolder(L"build") + L"kesi.msi"));
  ASSERT_EQ(L"", InstalledVersion(kBrokerProduct));
  // The package's URL names a folder: it is saved where the launcher installs it from all the same.
  Appliance appliance(
      R"({"base": "default", "files": )" + JsonString(KESI_SHIP_HOST_FOLDER) +
      R"(, "agents": [{"name": "kesiVista", "fileType": "msi", "version": "1.0.0.2",)"
      R"( "url": "${BASE}/postauth/newer/kesiVista.msi"}]})");
  ASSERT_EQ("", appliance.Error());
  const std::wstring base = L"https://" + appliance.Server();
  const std::wstring installerLog = LogFolderFile(kInstallerLogName);
  const std::wstring updateLog = LogFolderFile(L"ozmUpdate.log");
  const std::wstring interrogatorLog = LogFolderFile(kInterrogatorLogName);
  for (const std::wstring& log : {installerLog, updateLog, interrogatorLog}) DeleteFileW(log.c_str());

  BrokerWatch watch;
  const ScriptRun run = RunScript(BuildTestsFolder() + L"broker\\scripts\\vista.js",
                                  L"SESSION-9 " + base + L"/postauth/config " + base + L"/postauth/post", 400000);
  watch.Stop();

  // The page's one call ends with the interrogation's result.
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_TRUE(Contains(run.output, "result 0")) << run.output;
  // The first broker answered 1051 and the call went once more, to the broker the launcher started.
  const std::string library = DecipheredLog(interrogatorLog);
  EXPECT_TRUE(Contains(library, "broker is being updated; sending the command again (1 of 3)")) << library;
  EXPECT_FALSE(Contains(library, "(2 of 3)")) << library;

  EXPECT_EQ(L"1.0.2", InstalledVersion(kBrokerProduct));
  EXPECT_TRUE(ReadWholeFile(DeployedBrokerPackage()) == ReadWholeFile(PackageFolder(L"newer") + L"kesiVista.msi"))
      << "the downloaded package is not the listed one";

  // Two brokers: the first exited before the package's install began, the second started after it ended
  // and serves on.
  ASSERT_EQ(2u, watch.Seen().size());
  const Times first = ProcessTimes(watch.Seen()[0].get());
  const Times second = ProcessTimes(watch.Seen()[1].get());
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(watch.Seen()[0].get(), 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(watch.Seen()[1].get(), 0));
  WIN32_FILE_ATTRIBUTE_DATA install;
  ASSERT_TRUE(GetFileAttributesExW(updateLog.c_str(), GetFileExInfoStandard, &install)) << Narrow(updateLog);
  EXPECT_LE(first.exited, Ticks(install.ftCreationTime));
  EXPECT_GE(second.created, Ticks(install.ftLastWriteTime));

  // The launcher's update, as its log tells it.
  std::vector<std::string> entries = LogEntries(ReadWholeFile(installerLog));
  std::string shown;
  for (const std::string& entry : entries) shown += entry;
  for (const std::string& expected :
       {std::string("ozmInstaller:: UPDATE_KESI_COMPONENT command received"),
        "ozmInstaller::UpdateOZM msi path " + Narrow(DeployedBrokerPackage()),
        std::string("ozmInstaller::UpdateOZM Install complete"), std::string("ozmInstaller::UpdateOZM KesiVista started")})
    EXPECT_TRUE(Contains(shown, expected)) << expected << "\n" << shown;
  EXPECT_FALSE(Contains(shown, "msiexec failed")) << shown;

  // The appliance saw the package fetched once, the agent list asked by each broker and one post.
  std::string journal;
  int downloads = 0;
  for (const std::string& line : appliance.Journal()) {
    journal += line + "\n";
    if (Contains(line, "GET /postauth/newer/kesiVista.msi 200")) ++downloads;
  }
  EXPECT_EQ(1, downloads) << journal;
  EXPECT_EQ(2u, appliance.Calls(17).size()) << journal;
  EXPECT_EQ(1u, appliance.Calls(11).size()) << journal;
  appliance.Stop();
}

}  // namespace
}  // namespace kesi::ship::test
