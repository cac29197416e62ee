// The security-product checks on real Wine state: the firewall products through stand-in libraries
// installed into the system folder (signed, unsigned, tampered, without export, failing to load), Wine's
// firewall manager, the anti-virus check against stand-in processes, and the catalog signature check's
// digest forms against md5sum and sha1sum.
//
// The ProductLibraries and AntiVirusProcesses suites use fixed global names (files in the system folder,
// process names): tests/interrogation/CMakeLists.txt gives them resource locks.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CheckLogCapture.h"
#include "Checks.h"
#include "HexText.h"
#include "FirewallManagerDouble.h"
#include "Handles.h"
#include "SecurityChecks.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::CheckLogCapture;
using kesi::test::ChildProcess;
using kesi::test::FixturePath;
using kesi::test::Narrow;
using kesi::test::Widen;

std::wstring SystemPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\" + name;
}

void SetVariable(const wchar_t* name, const wchar_t* value) { SetEnvironmentVariableW(name, value); }

// The product libraries this test put into the system folder, removed again at the end.
class SystemFolderProducts {
 public:
  ~SystemFolderProducts() {
    Install(kZoneAlarmLibrary, L"zone", nullptr);
    Install(kSygateLibrary, L"sygate", nullptr);
  }
  // Puts the variant (a folder under tests/fixtures/firewall/<product>) in place; null removes it.
  ::testing::AssertionResult Install(const wchar_t* library, const wchar_t* product, const wchar_t* variant) {
    const std::wstring target = SystemPath(library);
    if (!variant) {
      DeleteFileW(target.c_str());
      if (kesi::test::PathExists(target)) return ::testing::AssertionFailure() << "cannot remove " << Narrow(target);
      return ::testing::AssertionSuccess();
    }
    const std::wstring source = FixturePath(std::wstring(L"firewall\\") + product + L"\\" + variant + L"\\" + library);
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE))
      return ::testing::AssertionFailure() << "cannot copy " << Narrow(source) << " to " << Narrow(target)
                                           << ": error " << GetLastError();
    return ::testing::AssertionSuccess();
  }
};

TEST(VerifyFileTrust, TellsSignedUnsignedAndTamperedFiles) {
  struct Case {
    const wchar_t* file;
    DWORD flags;
    LONG expected;
  };
  const Case cases[] = {
      {L"firewall\\zone\\signed\\vspubapi.dll", kTrustNoUi, 0},
      {L"firewall\\zone\\signed\\vspubapi.dll", kTrustNoUi | kTrustVerifyState, 0},
      {L"firewall\\sygate\\signed\\fwsvpn.dll", kTrustNoUi, 0},
      {L"firewall\\zone\\unsigned\\vspubapi.dll", kTrustNoUi, static_cast<LONG>(TRUST_E_NOSIGNATURE)},
      {L"firewall\\zone\\unsigned\\vspubapi.dll", kTrustNoUi | kTrustVerifyState, static_cast<LONG>(TRUST_E_NOSIGNATURE)},
      {L"firewall\\zone\\tampered\\vspubapi.dll", kTrustNoUi, static_cast<LONG>(TRUST_E_BAD_DIGEST)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.file) + " flags " + std::to_string(c.flags));
    EXPECT_EQ(VerifyFileTrust(nullptr, FixturePath(c.file).c_str(), c.flags), c.expected);
  }
}

TEST(ProductLibraries, FirewallVerdicts) {
  struct Case {
    const char* name;
    const wchar_t* zone;    // variant installed as vspubapi.dll, null: none
    const wchar_t* sygate;  // variant installed as fwsvpn.dll, null: none
    const wchar_t* zoneRunning;   // what tvIsTvRunning answers, null: the default (running)
    const wchar_t* sygateStatus;  // what CheckStatus answers, null: the default (0, running)
    const wchar_t* parameters;
    LONG verdict;
    LONG status;
    std::vector<std::string> logged;     // "{zone}" and "{sygate}" stand for the libraries' paths
    std::vector<std::string> notLogged;
  };
  const Case cases[] = {
      {"Zone Alarm running", L"signed", nullptr, nullptr, nullptr, L"ZONE", 1, 0, {}, {"check failed"}},
      {"Zone Alarm stopped", L"signed", nullptr, L"0", nullptr, L"ZONE", 0, 0, {}, {"check failed"}},
      {"Zone Alarm absent", nullptr, nullptr, nullptr, nullptr, L"ZONE", 0, 0,
       {"Zone alarm check failed, {zone} not found"}, {}},
      {"Zone Alarm unsigned", L"unsigned", nullptr, nullptr, nullptr, L"ZONE", 0, 0,
       {"Zone alarm check failed, {zone} not trusted"}, {}},
      {"Zone Alarm changed after signing", L"tampered", nullptr, nullptr, nullptr, L"ZONE", 0, 0,
       {"Zone alarm check failed, {zone} not trusted"}, {}},
      {"Zone Alarm library without its export", L"noexport", nullptr, nullptr, nullptr, L"ZONE", 0, 0,
       {"Zone alarm check failed, {zone} invalid api file"}, {}},
      {"Zone Alarm library that fails to load", L"noload", nullptr, nullptr, nullptr, L"ZONE", 0, 0,
       {"Zone alarm check failed, {zone} load library failed 1114"}, {}},
      {"Sygate running", nullptr, L"signed", nullptr, nullptr, L"SYGATE", 1, 0, {}, {"check failed"}},
      {"Sygate reporting a status", nullptr, L"signed", nullptr, L"1", L"SYGATE", 0, 0, {}, {"check failed"}},
      {"Sygate unsigned", nullptr, L"unsigned", nullptr, nullptr, L"SYGATE", 0, 0,
       {"Sygate check failed, {sygate} not trusted"}, {}},
      {"Sygate absent, Zone Alarm running", L"signed", nullptr, nullptr, nullptr, L"SYGATE,ZONE", 1, 0,
       {"Sygate check failed, {sygate} not found"}, {"Zone alarm"}},
      {"the first product found ends the list", L"signed", nullptr, nullptr, nullptr, L"ZONE,SYGATE", 1, 0, {},
       {"Sygate"}},
      {"tokens in any case after blanks, empty fields skipped", L"signed", nullptr, nullptr, nullptr,
       L",, \tzone", 1, 0, {}, {}},
      {"both stopped", L"signed", L"signed", L"0", L"5", L"ZONE,SYGATE", 0, 0, {}, {"check failed"}},
      {"unknown products only", L"signed", L"signed", nullptr, nullptr, L"NORTON, ZONE ,X", 0, -503, {}, {}},
      {"no products", L"signed", nullptr, nullptr, nullptr, L"", 0, -503, {}, {}},
  };

  SystemFolderProducts products;
  const std::string zonePath = Narrow(SystemPath(kZoneAlarmLibrary));
  const std::string sygatePath = Narrow(SystemPath(kSygateLibrary));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(products.Install(kZoneAlarmLibrary, L"zone", c.zone));
    ASSERT_TRUE(products.Install(kSygateLibrary, L"sygate", c.sygate));
    SetVariable(L"KESI_FAKE_ZONE_RUNNING", c.zoneRunning);
    SetVariable(L"KESI_FAKE_SYGATE_STATUS", c.sygateStatus);
    CheckLogCapture log(L"firewall");
    ASSERT_TRUE(log.Opened());

    LONG verdict = 7;
    EXPECT_EQ(EvaluateFirewall(c.parameters, &verdict), c.status);
    EXPECT_EQ(verdict, c.verdict);
    auto expand = [&](std::string text) {
      for (const auto& [key, value] : {std::pair<std::string, std::string>{"{zone}", zonePath}, {"{sygate}", sygatePath}}) {
        const size_t at = text.find(key);
        if (at != std::string::npos) text.replace(at, key.size(), value);
      }
      return text;
    };
    for (const std::string& line : c.logged) EXPECT_TRUE(log.Contains(expand(line))) << expand(line) << "\n" << log.Text();
    for (const std::string& line : c.notLogged) EXPECT_FALSE(log.Contains(line)) << line << "\n" << log.Text();
  }
  SetVariable(L"KESI_FAKE_ZONE_RUNNING", nullptr);
  SetVariable(L"KESI_FAKE_SYGATE_STATUS", nullptr);

  LONG verdict = 0;
  EXPECT_EQ(EvaluateFirewall(nullptr, &verdict), -503);
  EXPECT_EQ(EvaluateFirewall(L"ZONE", nullptr), -503);
}

// What Wine's firewall manager says through the local policy and its current profile: it answers every
// step, and reports the firewall as off.
TEST(WindowsFirewall, AsksTheFirewallManager) {
  CheckLogCapture log(L"msfirewall");
  LONG verdict = 7;
  EXPECT_EQ(EvaluateFirewall(L"MICROSOFT", &verdict), S_OK);
  EXPECT_EQ(verdict, 0);
  EXPECT_FALSE(log.Contains("MS Firewall Detection Failed")) << log.Text();

  // A thread that already lives in the multithreaded apartment keeps it and still gets the answer.
  HRESULT threadStatus = E_FAIL;
  LONG threadVerdict = 7;
  std::pair<HRESULT*, LONG*> out{&threadStatus, &threadVerdict};
  kesi::UniqueHandle thread(CreateThread(
      nullptr, 0,
      [](void* arg) WINAPI -> DWORD {
        auto* o = static_cast<std::pair<HRESULT*, LONG*>*>(arg);
        kesi::ComApartment com(COINIT_MULTITHREADED);
        *o->first = CheckWindowsFirewall(o->second);
        return 0;
      },
      &out, 0, nullptr));
  ASSERT_TRUE(thread);
  WaitForSingleObject(thread.get(), INFINITE);
  EXPECT_EQ(threadStatus, S_OK);
  EXPECT_EQ(threadVerdict, 0);
}

// The firewall manager's answers through a stand-in class (tests/fixtures/fwmanager): the code of a step
// that fails is the check's status, and the verdict stays FALSE whatever the failing call wrote. Every
// failure but the creation's is logged with its code.
TEST(FirewallManager, AFailingStepIsTheStatus) {
  using Manager = kesi::test::FirewallManagerDouble;
  Manager manager;
  ASSERT_TRUE(manager.Registered());
  const HRESULT kStoppedService = HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
  struct Case {
    const char* name;
    Manager::Answer answer;
    LONG verdict;
    HRESULT status;
    const char* step;  // the step named in the log line, null: nothing logged
    HRESULT logged;    // the code in the log line
  } const cases[] = {
      {"firewall on", Manager::kEnabled, 1, S_OK, nullptr, S_OK},
      {"firewall off", Manager::kDisabled, 0, S_OK, nullptr, S_OK},
      {"no local policy for us", Manager::kPolicyFails, 0, E_ACCESSDENIED, "get_LocalPolicy", E_ACCESSDENIED},
      {"success without a policy", Manager::kNoPolicy, 0, E_POINTER, "get_LocalPolicy", S_OK},
      {"current profile fails", Manager::kProfileFails, 0, kStoppedService, "get_CurrentProfile", kStoppedService},
      {"success without a profile", Manager::kNoProfile, 0, E_POINTER, "get_CurrentProfile", S_OK},
      {"the answer fails after writing TRUE", Manager::kAnswerFails, 0, RPC_E_DISCONNECTED, "get_FirewallEnabled",
       RPC_E_DISCONNECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    manager.Use(c.answer);
    CheckLogCapture log(L"fwmanager");
    ASSERT_TRUE(log.Opened());
    LONG verdict = 7;
    EXPECT_EQ(c.status, EvaluateFirewall(L"MICROSOFT", &verdict));
    EXPECT_EQ(c.verdict, verdict);
    if (c.step) {
      const std::string line = std::string("MS Firewall Detection Failed to ") + c.step + " " +
                               std::to_string(static_cast<unsigned long>(c.logged)) + " ";
      EXPECT_TRUE(log.Contains(line)) << line << "\n" << log.Text();
    } else {
      EXPECT_FALSE(log.Contains("MS Firewall Detection Failed")) << log.Text();
    }
  }

  // A manager that cannot be made: the creation's code, not logged.
  FirewallManagerClass() = {0x8D1C4E6A, 0x3B7F, 0x4E2A, {0x9C, 0x5D, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xFF}};
  CheckLogCapture log(L"fwmanager-missing");
  LONG verdict = 7;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, EvaluateFirewall(L"MICROSOFT", &verdict));
  EXPECT_EQ(0, verdict);
  EXPECT_FALSE(log.Contains("MS Firewall Detection Failed")) << log.Text();
}

// Stand-in anti-virus processes (tests/fixtures/avproducts), started and ended by the test.
class AntiVirusProcesses {
 public:
  // Makes exactly these executables run; returns once the process check sees the change.
  ::testing::AssertionResult Run(const std::set<std::wstring>& names) {
    for (auto it = running_.begin(); it != running_.end();) {
      if (names.count(it->first)) {
        ++it;
        continue;
      }
      it->second.Stop();
      if (!Seen(it->first, false)) return ::testing::AssertionFailure() << Narrow(it->first) << " never went away";
      it = running_.erase(it);
    }
    for (const std::wstring& name : names) {
      if (running_.count(name)) continue;
      ::testing::AssertionResult started = running_[name].Start(FixturePath(L"avproducts\\" + name));
      if (!started) return started;
      if (!Seen(name, true)) return ::testing::AssertionFailure() << Narrow(name) << " never appeared";
    }
    return ::testing::AssertionSuccess();
  }

 private:
  static bool Seen(const std::wstring& name, bool running) {
    return kesi::test::WaitUntil([&] {
      LONG found = 0;
      EvaluateProcess(name.c_str(), &found);
      return (found != 0) == running;
    });
  }

  std::map<std::wstring, ChildProcess> running_;
};

TEST(AntiVirusProcesses, Verdicts) {
  struct Case {
    const char* name;
    std::set<std::wstring> running;
    const wchar_t* parameters;
    LONG verdict;
  };
  const Case cases[] = {
      {"NAI with all three processes", {L"defwatch.exe", L"rtvscan.exe", L"vptray.exe"}, L"NAI", 1},
      {"NAI in any case", {L"defwatch.exe", L"rtvscan.exe", L"vptray.exe"}, L" nai", 1},
      {"NAI with two of three", {L"defwatch.exe", L"vptray.exe"}, L"NAI", 0},
      {"MCAFEE with mcshield.exe alone", {L"mcshield.exe"}, L"MCAFEE", 1},
      {"MCAFEE with mcagent.exe alone", {L"mcagent.exe"}, L"MCAFEE", 1},
      {"MCAFEE with neither", {L"defwatch.exe"}, L"MCAFEE", 0},
      {"a later product satisfies the list", {L"mcagent.exe"}, L"OTHER,NAI,MCAFEE", 1},
      {"none running", {}, L"NAI,MCAFEE", 0},
      {"empty list", {L"mcagent.exe"}, L"", 0},
  };
  AntiVirusProcesses processes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(processes.Run(c.running));
    LONG verdict = 7;
    EXPECT_EQ(EvaluateAntiVirus(c.parameters, &verdict), -503) << "the verdict carries the answer";
    EXPECT_EQ(verdict, c.verdict);
  }
  LONG verdict = 7;
  EXPECT_EQ(EvaluateAntiVirus(nullptr, &verdict), -503);
  EXPECT_EQ(verdict, 0);
}

// The digest fixtures and what md5sum and sha1sum made of them at build time.
struct DigestFile {
  std::wstring path;
  std::string md5;
  std::string sha1;
  std::string name;
};

std::vector<DigestFile> DigestFiles() {
  std::vector<DigestFile> files;
  const std::wstring folder = FixturePath(L"digests\\files\\");
  std::ifstream list(Narrow(folder + L"digests.txt"));
  std::string name, md5, sha1;
  while (list >> name >> md5 >> sha1) {
    std::wstring wide(name.begin(), name.end());
    files.push_back({folder + wide, md5, sha1, name});
  }
  return files;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(CatalogSignature, DigestsMatchMd5sumAndSha1sum) {
  const std::vector<DigestFile> files = DigestFiles();
  ASSERT_EQ(files.size(), 6u) << "digests.txt from tests/fixtures/digests";
  for (const DigestFile& f : files) {
    SCOPED_TRACE(f.name);
    BYTE digest[16];
    DWORD length = sizeof(digest);
    DWORD error = 0;
    ASSERT_TRUE(HashFileMD5(f.path.c_str(), digest, &length, &error)) << error;
    ASSERT_EQ(length, 16u);
    char hex[33];
    size_t hexLength = sizeof(hex);
    ASSERT_TRUE(kesi::BytesToHex(digest, length, hex, &hexLength));
    EXPECT_EQ(hex, Upper(f.md5));

    // Both forms in both cases; md5sum and sha1sum write lower case, the check writes upper case.
    for (const std::string& argument : {f.md5, Upper(f.md5), f.sha1, Upper(f.sha1)}) {
      DWORD status = 12345;
      EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), Widen(argument).c_str(), &status), 1) << argument;
      EXPECT_EQ(status, 12345u) << argument;
    }
    // One digit off.
    std::string wrongMd5 = f.md5, wrongSha1 = f.sha1;
    wrongMd5[5] = wrongMd5[5] == '0' ? '1' : '0';
    wrongSha1[39] = wrongSha1[39] == '0' ? '1' : '0';
    EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), Widen(wrongMd5).c_str(), nullptr), 0);
    EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), Widen(wrongSha1).c_str(), nullptr), 0);
    // Wine's prefix has no catalogs.
    EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), L"WINDOWS_CATALOG", nullptr), 0);
  }
}

TEST(CatalogSignature, ArgumentsAndFileAccess) {
  const std::vector<DigestFile> files = DigestFiles();
  ASSERT_FALSE(files.empty());
  const DigestFile& f = files.back();
  const std::wstring md5 = Widen(f.md5), sha1 = Widen(f.sha1);
  const std::wstring missing = f.path + L".missing";

  // Arguments of no known form are false before the file is touched: even a locked file leaves the
  // status alone.
  {
    kesi::UniqueFile lock(CreateFileW(f.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    for (const std::wstring& argument : {md5 + L"0", sha1.substr(0, 39), std::wstring(L"WINDOWS_CATALOGX"),
                                         std::wstring(L" WINDOWS_CATALOG"), std::wstring()}) {
      DWORD status = 12345;
      EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), argument.c_str(), &status), 0) << Narrow(argument);
      EXPECT_EQ(status, 12345u) << Narrow(argument);
    }
    // A file held open without sharing cannot be read for any form.
    for (const std::wstring& argument : {md5, sha1, std::wstring(L"WINDOWS_CATALOG")}) {
      DWORD status = 0;
      EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), argument.c_str(), &status), 0) << Narrow(argument);
      EXPECT_EQ(status, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << Narrow(argument);
    }
  }

  // A file another program reads (as a running program's image is held) is hashed in every form.
  {
    kesi::UniqueFile reader(
        CreateFileW(f.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    for (const std::wstring& argument : {md5, sha1}) {
      DWORD status = 12345;
      EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), argument.c_str(), &status), 1) << Narrow(argument);
    }
    DWORD status = 0;
    EXPECT_EQ(CheckCatalogSignature(f.path.c_str(), L"WINDOWS_CATALOG", &status), 0);
    EXPECT_NE(status, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }

  // A missing file: false with the error in the status, for every form and in any case of the keyword.
  for (const std::wstring& argument : {md5, sha1, std::wstring(L"WINDOWS_CATALOG"), std::wstring(L"windows_Catalog")}) {
    DWORD status = 0;
    EXPECT_EQ(CheckCatalogSignature(missing.c_str(), argument.c_str(), &status), 0) << Narrow(argument);
    EXPECT_EQ(status, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Narrow(argument);
  }

  // The digest buffer must hold the digest.
  BYTE small[8];
  DWORD length = sizeof(small);
  DWORD error = 0;
  EXPECT_FALSE(HashFileMD5(f.path.c_str(), small, &length, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MORE_DATA));
}

}  // namespace
