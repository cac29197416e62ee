// The agent provisioner against agent lists of the appliance simulator (structures of nine members at
// protocol version 4, ten from version 5) and the files it serves under /postauth/: the deploy folder,
// each file type, current agents left alone, refused URLs, the trust check of packages and the log.
// Everything the tests put below the user's "Velmora" folder sits in names of their own, removed after.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Base64.h"
#include "BrokerPackage.h"
#include "FileTransfer.h"
#include "GlobalFacts.h"
#include "InstallSnapshot.h"
#include "LogFolder.h"
#include "LogonAgent.h"
#include "Provision.h"
#include "SimulatorClient.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestText.h"

namespace kesi::install {
namespace {

using test::Narrow;
using test::PathExists;
using test::ReadWholeFile;
using test::Widen;

constexpr DWORD kIgnoreCertificate = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION;
constexpr char kSecretCookie[] = "SECRET-COOKIE-4711";

std::string Base64Of(const std::string& bytes) {
  std::string text(bytes.size() * 4 / 3 + 8, '\0');
  const int length = Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &text[0], text.size());
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

// A package made at build time (tests/install/provision): "signed.msi" or "unsigned.msi", as an inline file
// of the simulator.
std::string PackageFile(const std::string& path, const wchar_t* package) {
  const std::string bytes = ReadWholeFile(std::wstring(Widen(KESI_PROVISION_MSI)) + L"\\" + package);
  EXPECT_FALSE(bytes.empty()) << Narrow(package);
  return "\"" + path + "\": {\"base64\": \"" + Base64Of(bytes) + "\"}";
}

std::string Agent(const std::string& name, const std::string& version, const std::string& path) {
  return R"({"name": ")" + name + R"(", "fileType": "x", "version": ")" + version + R"(", "url": "${BASE}/postauth/)" +
         path + "\"}";
}

std::wstring AppData() {
  wchar_t folder[MAX_PATH] = L"", logs[MAX_PATH] = L"";
  PrepareLogFolder(folder, logs, true);
  return folder;
}

// Answers the seams of the MSI paths: a package of one product, installed or not, whose move may fail.
struct MsiAnswers {
  bool installed = true;
  bool moveFails = false;
  int uninstalls = 0;
  int installs = 0;
  DWORD msiexecResult = 0;
};
MsiAnswers g_msi;
DWORD FakeOpen(const wchar_t* path, MsiPackage* package) {
  package->path = path;
  package->productCode = L"{C0DE0010-0000-4000-8000-00000000C0DE}";
  package->version = MsiVersion{1, 0, 0};
  return 0;
}
DWORD FakeQuery(const wchar_t* code, MsiProduct* product) {
  product->productCode = code;
  product->installed = g_msi.installed;
  product->version = MsiVersion{1, 0, 0};
  return 0;
}
DWORD FakeUninstall(const wchar_t*, MsiUiLevel, const wchar_t*, const wchar_t*) {
  ++g_msi.uninstalls;
  return 0;
}
DWORD FakeMsiexec(const wchar_t*, MsiUiLevel, const wchar_t*, const wchar_t*) {
  ++g_msi.installs;
  return g_msi.msiexecResult;
}
BOOL WINAPI FakeMove(const wchar_t* from, const wchar_t* to, DWORD flags) {
  if (g_msi.moveFails) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return MoveFileExW(from, to, flags);
}

BOOL WINAPI NotAMember(HANDLE, PSID, PBOOL member) {
  *member = FALSE;
  return TRUE;
}

class Provision : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = AppData() + L"\\Velmora";
    previous_ = CurrentProvisionSystem();
    g_msi = MsiAnswers();
    Clean();
  }
  void TearDown() override {
    SetProvisionSystem(previous_);
    ResetGlobalFactCalls();
    Clean();
  }
  void Clean() {
    test::RemoveTree(base_ + L"\\deploy\\provtest");
    DeleteFileW((base_ + L"\\opswat\\RQ\\plain.dll").c_str());
    DeleteFileW((base_ + L"\\kesiprov.cfg").c_str());
    DeleteFileW((base_ + L"\\kesiprov.pbk").c_str());
    DeleteFileW((base_ + L"\\deploy\\evil.dll").c_str());
    DeleteFileW((base_ + L"\\evil.dll").c_str());
  }

  // Starts an appliance listing agents (JSON objects) at protocol version and serving files.
  void Start(int version, const std::vector<std::string>& agents, const std::string& files,
             const std::string& faults = "") {
    std::string list;
    for (const std::string& agent : agents) list += (list.empty() ? "" : ", ") + agent;
    appliance_ = std::make_unique<test::Appliance>("{\"version\": " + std::to_string(version) + ", \"agents\": [" +
                                                   list + "], \"inline_files\": {" + files + "}, \"faults\": [" +
                                                   faults + "]}");
    ASSERT_EQ("", appliance_->Error());
  }

  // Logs on, fetches the agent list and provisions every agent with one provisioner; the results in order.
  std::vector<bool> ProvisionAll(std::vector<DWORD>* codes = nullptr, std::vector<ProvisionOutcome>* outcomes = nullptr) {
    ComPtr<LogonAgent> agent;
    agent.attach(new LogonAgent());
    EXPECT_EQ(0u, agent->Connect(appliance_->Server().c_str(), nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0));
    AgentList list;
    EXPECT_EQ(0u, agent->GetAgentList(&list));
    Cprovision provisioner(Widen(std::string("FARLINK_ID=") + kSecretCookie).c_str());
    provisioner.SetTransfer(kIgnoreCertificate, kTransferNoDialogs);
    std::vector<bool> results;
    for (AgentRecord* record = list.First(); record; record = list.Next(record)) {
      provisioner.setAgent(record);
      DWORD code = 0;
      results.push_back(provisioner.Install(&code));
      if (codes) codes->push_back(code);
      if (outcomes) outcomes->push_back(provisioner.Outcome());
    }
    agent->Disconnect();
    return results;
  }

  size_t Gets(const std::string& path) {
    const std::vector<std::string> journal = appliance_->Journal();
    return static_cast<size_t>(std::count_if(journal.begin(), journal.end(), [&](const std::string& line) {
      return line.find(" GET /postauth/" + path + " ") != std::string::npos;
    }));
  }

  std::wstring base_;
  ProvisionSystem previous_{};
  std::unique_ptr<test::Appliance> appliance_;
};

TEST_F(Provision, EachFileTypeLandsInItsFolderAndIsLeftAloneWhenCurrent) {
  const std::string dll = ReadWholeFile(test::FixturePath(L"versioned\\plain.dll"));  // version 1.2.3.4
  ASSERT_FALSE(dll.empty());
  const std::string files = "\"provtest/dll/plain.dll\": {\"base64\": \"" + Base64Of(dll) +
                            "\"}, \"provtest/kesiprov.cfg\": \"[cfg]\", \"provtest/cfg/kesiprov.pbk\": \"[pbk]\"";
  for (int version : {4, 15}) {  // agent structures of nine and of ten members
    SCOPED_TRACE("protocol version " + std::to_string(version));
    Clean();
    Start(version, {Agent("DLL agent", "1.2.3.4", "provtest/dll/plain.dll"), Agent("CFG agent", "1.0", "provtest/kesiprov.cfg"),
                    Agent("PBK agent", "1.0", "provtest/cfg/kesiprov.pbk")},
          files);
    EXPECT_EQ(std::vector<bool>({true, true, true}), ProvisionAll());
    EXPECT_EQ(dll, ReadWholeFile(base_ + L"\\opswat\\RQ\\plain.dll"));
    EXPECT_EQ("[cfg]", ReadWholeFile(base_ + L"\\kesiprov.cfg"));
    EXPECT_EQ("[pbk]", ReadWholeFile(base_ + L"\\kesiprov.pbk"));
    EXPECT_TRUE(PathExists(base_ + L"\\deploy\\provtest\\dll\\plain.dll"));
    EXPECT_TRUE(PathExists(base_ + L"\\deploy\\provtest\\cfg\\kesiprov.pbk"));
    EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\dll\\plain.dll.part"));

    // Run again: every agent is current and nothing is fetched.
    EXPECT_EQ(std::vector<bool>({true, true, true}), ProvisionAll());
    EXPECT_EQ(1u, Gets("provtest/dll/plain.dll"));
    EXPECT_EQ(1u, Gets("provtest/kesiprov.cfg"));
    EXPECT_EQ(1u, Gets("provtest/cfg/kesiprov.pbk"));
    appliance_.reset();
  }
}

TEST_F(Provision, ANewerDllAgentIsFetchedAgain) {
  const std::string dll = ReadWholeFile(test::FixturePath(L"versioned\\plain.dll"));  // version 1.2.3.4
  const std::string files = "\"provtest/plain.dll\": {\"base64\": \"" + Base64Of(dll) + "\"}";
  Start(15, {Agent("DLL agent", "1.2.3.4", "provtest/plain.dll")}, files);
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  Start(15, {Agent("DLL agent", "1.2.3.5", "provtest/plain.dll")}, files);
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  EXPECT_EQ(1u, Gets("provtest/plain.dll"));
  Start(15, {Agent("DLL agent", "1.2.x.*", "provtest/plain.dll")}, files);
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  EXPECT_EQ(0u, Gets("provtest/plain.dll"));
}

TEST_F(Provision, UrlsAndNamesThatLeaveTheDeployFolderAreRefusedBeforeAnything) {
  const std::string files = "\"provtest/evil.dll\": \"x\", \"evil.dll\": \"x\", \"provtest/run.exe\": \"x\"";
  const std::string agents[] = {
      Agent("dots", "1.0", "provtest/../evil.dll"),
      Agent("encoded dots", "1.0", "provtest/%2e%2e/%2e%2e/evil.dll"),
      Agent("backslash", "1.0", "provtest/..%5c..%5cevil.dll"),
      Agent("drive", "1.0", "provtest/C:/evil.dll"),
      Agent("empty element", "1.0", "provtest//evil.dll"),
      Agent("not an agent type", "1.0", "provtest/run.exe"),
      Agent("..\\\\..\\\\name", "1.0", "provtest/evil.dll"),
  };
  for (const std::string& agent : agents) {
    SCOPED_TRACE(agent);
    Start(15, {agent}, files);
    test::InstallSnapshot snapshot;
    snapshot.Folder(base_ + L"\\deploy").File(base_ + L"\\evil.dll").File(AppData() + L"\\evil.dll").Take();
    std::vector<ProvisionOutcome> outcomes;
    EXPECT_EQ(std::vector<bool>({false}), ProvisionAll(nullptr, &outcomes));
    EXPECT_EQ(ProvisionOutcome::kRefused, outcomes[0]);
    EXPECT_EQ("", snapshot.Difference(snapshot.Again()));
    for (const std::string& line : appliance_->Journal()) EXPECT_EQ(std::string::npos, line.find(" GET ")) << line;
  }
}

TEST_F(Provision, PackagesNamedOpswatAreNeverFetched) {
  Start(15, {Agent("engine", "1.0", "provtest/opswat.msi")}, "\"provtest/opswat.msi\": \"x\"");
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  EXPECT_EQ(0u, Gets("provtest/opswat.msi"));
}

TEST_F(Provision, AnUntrustedPackageIsDeletedAndFetchedAgainNextTime) {
  Start(15, {Agent("package", "1.0.0.0", "provtest/agent.msi")}, PackageFile("provtest/agent.msi", L"unsigned.msi"));
  std::vector<ProvisionOutcome> outcomes;
  EXPECT_EQ(std::vector<bool>({false}), ProvisionAll(nullptr, &outcomes));
  EXPECT_EQ(ProvisionOutcome::kDownloadFailed, outcomes[0]);
  EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\agent.msi"));
  EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\agent.msi.part"));
  EXPECT_EQ(std::vector<bool>({false}), ProvisionAll());
  EXPECT_EQ(2u, Gets("provtest/agent.msi"));
}

TEST_F(Provision, ADownloadCutShortOrMissingLeavesNoFileAndIsFetchedAgain) {
  const struct {
    const char* name;
    const char* files;
    const char* faults;
  } cases[] = {
      {"missing (404)", "", ""},
      {"cut short", R"("provtest/agent.cfg": "0123456789")", R"({"path": "/postauth/provtest/agent.cfg", "truncate": 4})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(15, {Agent("cut", "1.0", "provtest/agent.cfg")}, c.files, c.faults);
    std::vector<ProvisionOutcome> outcomes;
    EXPECT_EQ(std::vector<bool>({false}), ProvisionAll(nullptr, &outcomes));
    EXPECT_EQ(ProvisionOutcome::kDownloadFailed, outcomes[0]);
    EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\agent.cfg"));
    EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\agent.cfg.part"));
    EXPECT_EQ(std::vector<bool>({false}), ProvisionAll());
    EXPECT_EQ(2u, Gets("provtest/agent.cfg"));
  }
}

TEST_F(Provision, TheBrokersPackageIsHandedToTheLauncher) {
  // A signed package: the trust check passes, and the broker's package still goes to the launcher, saved
  // where the launcher installs it from (not below the folders of its URL).
  std::wstring launcherPackage;
  ASSERT_EQ(0u, BrokerPackagePath(&launcherPackage));
  EXPECT_EQ(base_ + L"\\deploy\\kesiVista.msi", launcherPackage);
  DeleteFileW(launcherPackage.c_str());
  Start(15, {Agent("broker", "1.0.0.0", "provtest/kesivista.msi")}, PackageFile("provtest/kesivista.msi", L"signed.msi"));
  std::vector<DWORD> codes;
  EXPECT_EQ(std::vector<bool>({false}), ProvisionAll(&codes));
  EXPECT_EQ(kProvisionHandedToLauncher, codes[0]);
  EXPECT_EQ(1u, Gets("provtest/kesivista.msi"));
  EXPECT_TRUE(ReadWholeFile(Widen(KESI_PROVISION_MSI) + L"\\signed.msi") == ReadWholeFile(launcherPackage))
      << "the launcher's package is not the one served";
  EXPECT_FALSE(PathExists(base_ + L"\\deploy\\provtest\\kesivista.msi"));
  DeleteFileW(launcherPackage.c_str());
}

TEST_F(Provision, AProductWhosePackageCannotBeMovedAsideIsNotRemoved) {
  ProvisionSystem system = previous_;
  system.openPackage = &FakeOpen;
  system.queryProduct = &FakeQuery;
  system.uninstallProduct = &FakeUninstall;
  system.runMsiexec = &FakeMsiexec;
  system.moveFile = &FakeMove;
  SetProvisionSystem(system);
  Start(15, {Agent("package", "2.0.0.0", "provtest/pkg.msi")}, PackageFile("provtest/pkg.msi", L"signed.msi"));

  g_msi.moveFails = true;
  EXPECT_EQ(std::vector<bool>({false}), ProvisionAll());
  EXPECT_EQ(0, g_msi.uninstalls);
  EXPECT_EQ(0, g_msi.installs);

  g_msi.moveFails = false;  // the same package, movable: removed, then installed
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  EXPECT_EQ(1, g_msi.uninstalls);
  EXPECT_EQ(1, g_msi.installs);
  EXPECT_TRUE(PathExists(base_ + L"\\deploy\\provtest\\pkg.msi"));
}

TEST_F(Provision, APackageWhoseInstallFailedIsFetchedAgain) {
  ProvisionSystem system = previous_;
  system.openPackage = &FakeOpen;
  system.queryProduct = &FakeQuery;  // an older product stays installed
  system.uninstallProduct = &FakeUninstall;
  system.runMsiexec = &FakeMsiexec;
  SetProvisionSystem(system);
  Start(15, {Agent("package", "2.0.0.0", "provtest/pkg.msi")}, PackageFile("provtest/pkg.msi", L"signed.msi"));
  for (DWORD result : {static_cast<DWORD>(ERROR_INSTALL_FAILURE), static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED)}) {
    SCOPED_TRACE(result);
    g_msi.msiexecResult = result;
    std::vector<ProvisionOutcome> outcomes;
    const bool ok = result != ERROR_INSTALL_FAILURE;
    EXPECT_EQ(std::vector<bool>({ok}), ProvisionAll(nullptr, &outcomes));
    EXPECT_EQ(ok ? ProvisionOutcome::kInstalled : ProvisionOutcome::kInstallFailed, outcomes[0]);
    EXPECT_EQ(ok, PathExists(base_ + L"\\deploy\\provtest\\pkg.msi"));
  }
  EXPECT_EQ(2u, Gets("provtest/pkg.msi"));  // the failed package was not taken for the current one
}

TEST_F(Provision, TheDriverPackageIsLeftToAdministrators) {
  for (bool administrator : {true, false}) {
    SCOPED_TRACE(administrator ? "administrator" : "other user");
    ResetGlobalFactCalls();
    if (!administrator) GlobalFactSystem().checkTokenMembership = &NotAMember;
    Start(15, {Agent("driver", "1.0.0.0", "provtest/lwp.msi")}, R"("provtest/lwp.msi": "not signed")");
    std::vector<ProvisionOutcome> outcomes;
    ProvisionAll(nullptr, &outcomes);
    // An administrator's run fetches the package (and refuses it unsigned); another user's leaves it.
    EXPECT_EQ(administrator ? ProvisionOutcome::kDownloadFailed : ProvisionOutcome::kCurrent, outcomes[0]);
    EXPECT_EQ(administrator ? 1u : 0u, Gets("provtest/lwp.msi"));
  }
}

TEST_F(Provision, ACredentialLongerThanItsFieldIsRefusedNotCut) {
  Start(15, {Agent("CFG agent", "1.0", "provtest/kesiprov.cfg")}, R"("provtest/kesiprov.cfg": "[cfg]")");
  AgentList list;
  ComPtr<LogonAgent> agent;
  agent.attach(new LogonAgent());
  ASSERT_EQ(0u, agent->Connect(appliance_->Server().c_str(), nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0));
  ASSERT_EQ(0u, agent->GetAgentList(&list));
  for (size_t length : {248u, 249u}) {  // "FARLINK_ID=" and the value in 259 characters
    SCOPED_TRACE(length);
    Clean();
    Cprovision provisioner((L"FARLINK_ID=" + std::wstring(length, L'c')).c_str());
    provisioner.SetTransfer(kIgnoreCertificate, kTransferNoDialogs);
    provisioner.setAgent(list.First());
    DWORD code = 0;
    EXPECT_EQ(length == 248u, provisioner.Install(&code));
    EXPECT_EQ(length == 248u ? ProvisionOutcome::kInstalled : ProvisionOutcome::kRefused, provisioner.Outcome());
  }
  EXPECT_EQ(1u, Gets("provtest/kesiprov.cfg"));
  const std::vector<std::string> journal = appliance_->Journal();
  EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const std::string& line) {
    return line.find("cookie=\"FARLINK_ID=" + std::string(248, 'c') + "\"") != std::string::npos;
  }));
  agent->Disconnect();
}

TEST_F(Provision, TheLogNeverHoldsTheCookie) {
  wchar_t logPath[MAX_PATH];
  ASSERT_EQ(0u, GetLogFolderFile(logPath, kProvisionerLogName));
  DeleteFileW(logPath);
  Start(15, {Agent("CFG agent", "1.0", "provtest/kesiprov.cfg")}, "\"provtest/kesiprov.cfg\": \"[cfg]\"");
  EXPECT_EQ(std::vector<bool>({true}), ProvisionAll());
  // The download carried the cookie.
  const std::vector<std::string> journal = appliance_->Journal();
  EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const std::string& line) {
    return line.find("GET /postauth/provtest/kesiprov.cfg") != std::string::npos &&
           line.find(std::string("FARLINK_ID=") + kSecretCookie) != std::string::npos;
  }));

  std::string plain;
  for (const std::string& line : test::Lines(ReadWholeFile(logPath))) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string deciphered;
    ASSERT_TRUE(test::DecipherText(text, &deciphered)) << "not a ciphered line: " << text;
    plain += deciphered;
  }
  EXPECT_EQ(std::string::npos, plain.find(kSecretCookie)) << plain;
  EXPECT_NE(std::string::npos, plain.find("Cprovision: Credential set to : FARLINK_ID=****")) << plain;
  EXPECT_NE(std::string::npos, plain.find("Install: Update of current version is required")) << plain;
  EXPECT_NE(std::string::npos, plain.find("Download: CheckTrust bypassed. File is other than MSI")) << plain;
}

}  // namespace
}  // namespace kesi::install
