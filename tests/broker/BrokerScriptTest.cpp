// The whole way from a page to the appliance: a stand-in page in the script host of this build's bitness
// calls DoVistaInterrogation on the registered library, which starts this build's broker from the user's
// application-data folder; the broker runs the logon interrogation against the appliance simulator.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "BrokerTesting.h"
#include "ScriptHost.h"
#include "SimulatorClient.h"
#include "TestProcess.h"

namespace kesi::broker {
namespace {

TEST(BrokerScript, PageCallRunsTheLogonInterrogationInTheBroker) {
  test::EndBrokers();
  const std::wstring brokerPath = test::ProgramFolder() + L"\\kesivista.exe";
  ASSERT_TRUE(CopyFileW(test::BuiltBroker().c_str(), brokerPath.c_str(), FALSE)) << GetLastError();
  test::Appliance appliance(R"({"base": "default"})");
  ASSERT_EQ("", appliance.Error());
  const std::wstring base = L"https://" + appliance.Server();

  const test::ScriptRun run = test::RunScript(test::BuildTestsFolder() + L"broker\\scripts\\vista.js",
                                              L"SESSION-9 " + base + L"/postauth/config " + base + L"/postauth/post");
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("result 0")) << run.output;

  std::string journal;
  for (const std::string& line : appliance.Journal()) journal += line + "\n";
  for (int procedure : {10, 11, 12}) EXPECT_FALSE(appliance.Calls(procedure).empty()) << procedure << "\n" << journal;
  const std::vector<std::string> resumes = appliance.Calls(8);
  ASSERT_EQ(1u, resumes.size()) << journal;
  EXPECT_NE(std::string::npos, resumes[0].find(R"(args=[15,"SESSION-9"])")) << resumes[0];

  // The interrogation ran in the broker: the list says a broker process runs.
  ASSERT_FALSE(appliance.Calls(11).empty());
  EXPECT_NE(std::string::npos, appliance.Calls(11)[0].find(R"(["BrokerRunning",true,[]])")) << journal;

  // The broker serves on; "Kill" stops it.
  test::ChildProcess killer;
  ASSERT_TRUE(killer.Start(brokerPath, L"Kill"));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(killer.Handle(), 30000));
  std::vector<DWORD> left;
  FindOwnSessionProcesses(L"kesivista.exe", &left);
  EXPECT_TRUE(left.empty()) << left.size() << " brokers still run";
  test::EndBrokers();
  appliance.Stop();
  DeleteFileW(brokerPath.c_str());
}

}  // namespace
}  // namespace kesi::broker
