// Which check answers each literal kind, on both routes: the engine (logon route) and the configuration
// route hand every kind to the check that serves it, and the check's status comes back with its verdict.
// Each kind's parameters are chosen so that only its own check gives the expected answer: the machine is
// set up (through the checks' seams and the fixtures) so that most kinds hold.
#include <gtest/gtest.h>
#include <wbemcli.h>

#include <string>
#include <vector>

#include "ConfigurationRoute.h"
#include "EquipmentId.h"
#include "FirewallManagerDouble.h"
#include "HostChecks.h"
#include "OpswatAnswers.h"
#include "SignedConfiguration.h"
#include "TestEngine.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Narrow;

constexpr wchar_t kProduct[] = L"LiteralChecks.product";
constexpr wchar_t kSerial[] = L"DISPATCH-SERIAL";

// The domain seam: a computer in the DNS domain corp.example whose account domain is CORP.
BOOL WINAPI CorpComputerName(COMPUTER_NAME_FORMAT, LPWSTR buffer, LPDWORD size) {
  wcscpy(buffer, L"corp.example");
  *size = 12;
  return TRUE;
}
BOOL WINAPI CorpAccount(LPCWSTR, PSID, LPWSTR name, LPDWORD nameSize, LPWSTR domain, LPDWORD domainSize,
                        PSID_NAME_USE use) {
  wcscpy(name, L"user");
  *nameSize = 4;
  wcscpy(domain, L"CORP");
  *domainSize = 4;
  *use = SidTypeUser;
  return TRUE;
}

// The equipment identifier's WMI source: a virtual machine with a BIOS serial of the test's own.
HRESULT VirtualMachine(IWbemServices*, int round, const wchar_t*, const wchar_t*, VARIANT* value) {
  value->vt = VT_BSTR;
  value->bstrVal = SysAllocString(round == 1 ? L"Virtual Machine" : kSerial);
  return value->bstrVal ? S_OK : E_OUTOFMEMORY;
}

// This test program's own file name: a process that surely runs.
std::wstring OwnName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full = path;
  return full.substr(full.find_last_of(L'\\') + 1);
}

// Whether the configuration route evaluates a kind.
enum class ConfigurationRoute { kEvaluates, kLeavesAlone };

struct KindCase {
  const wchar_t* kind;
  std::wstring parameters;
  LONG verdict;
  LONG status;
  ConfigurationRoute configuration;
};

// A machine on which the checks answer as the table says, for the life of the object.
class PreparedMachine {
 public:
  PreparedMachine() {
    DomainSystem().getComputerNameEx = &CorpComputerName;
    DomainSystem().lookupAccountSid = &CorpAccount;
    EquipmentIdSystem().queryProperty = &VirtualMachine;
    firewall_.Use(kesi::test::FirewallManagerDouble::kEnabled);
    answers_.Set(L"AntiVirus", kProduct, 1);
    answers_.Set(L"Firewall", kProduct, 0);
    answers_.Set(L"AntiSpyware", kProduct, static_cast<DWORD>(E_ACCESSDENIED));
  }
  PreparedMachine(const PreparedMachine&) = delete;
  PreparedMachine& operator=(const PreparedMachine&) = delete;
  ~PreparedMachine() {
    ResetDomainCalls();
    ResetEquipmentIdCalls();
  }

  ::testing::AssertionResult Ready() {
    if (::testing::AssertionResult registered = firewall_.Registered(); !registered) return registered;
    if (::testing::AssertionResult registered = kesi::test::OpswatDoubleRegistered(); !registered)
      return registered;
    // One of the anti-virus check's McAfee processes (tests/fixtures/avproducts).
    if (::testing::AssertionResult started = mcAfee_.Start(kesi::test::FixturePath(L"avproducts\\mcagent.exe"));
        !started)
      return started;
    const bool seen = kesi::test::WaitUntil([] {
      LONG found = 0;
      FindProcess(L"mcagent.exe", &found);
      return found != 0;
    });
    if (!seen) return ::testing::AssertionFailure() << "mcagent.exe was not seen running";
    return ::testing::AssertionSuccess();
  }

 private:
  kesi::test::FirewallManagerDouble firewall_;
  kesi::test::OpswatAnswers answers_;
  kesi::test::ChildProcess mcAfee_;
};

std::vector<KindCase> Cases() {
  const ConfigurationRoute kEvaluates = ConfigurationRoute::kEvaluates;
  const ConfigurationRoute kLeavesAlone = ConfigurationRoute::kLeavesAlone;
  return {
      {L"FILE", L"%windir%\\system32\\kernel32.dll", 1, 0, kEvaluates},
      {L"DIRECTORY", L"%windir%", 1, 0, kEvaluates},
      {L"REGISTRY", L"HKEY_LOCAL_MACHINE\\Software", 1, 0, kEvaluates},
      {L"OSVERSION", L">=,5.1", 1, 0, kEvaluates},
      {L"PROCESS", OwnName(), 1, 0, kEvaluates},
      {L"USERDOMAIN", L"CORP", 1, 0, kEvaluates},
      {L"MACHINEDOMAIN", L"LAB;CORP", 1, 0, kEvaluates},
      {L"PFW", L"MICROSOFT", 1, S_OK, kEvaluates},
      {L"AVIRUS", L"MCAFEE", 1, -503, kEvaluates},  // the anti-virus check's status on every path
      {L"CERTIFICATE", L"FALSE,FALSE,!!!!", 0, ERROR_INVALID_DATA, kEvaluates},  // an issuer that is no Base64
      {L"EQUIPMENTID", L"", 1, 0, kLeavesAlone},    // not a kind of the configuration route
      {L"OPSWATAV", kProduct, -1, S_OK, kLeavesAlone},  // the engine's TRUE is -1
      {L"OPSWATPFW", kProduct, 0, S_OK, kLeavesAlone},
      {L"OPSWATAS", kProduct, 0, E_ACCESSDENIED, kLeavesAlone},
  };
}

std::string Outcome(LONG verdict, LONG status) {
  return "verdict " + std::to_string(verdict) + ", status " + std::to_string(status);
}

// Lists the kinds whose outcome differs from the case's.
::testing::AssertionResult Compare(const std::vector<KindCase>& cases, const std::vector<std::string>& outcomes,
                                   const std::vector<std::string>& expected) {
  if (outcomes.size() != cases.size())
    return ::testing::AssertionFailure() << outcomes.size() << " literals for " << cases.size() << " kinds";
  std::string wrong;
  for (size_t i = 0; i < cases.size(); ++i)
    if (outcomes[i] != expected[i])
      wrong += "\n  " + Narrow(cases[i].kind) + ": " + outcomes[i] + " (expected " + expected[i] + ")";
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "kinds answered by another check:" << wrong;
}

class LiteralChecks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Ready()); }
  PreparedMachine machine_;
};

// The logon route: one literal per kind, each with a result of its own, through EvaluateAll.
TEST_F(LiteralChecks, TheEngineRunsEachKindsCheck) {
  const std::vector<KindCase> cases = Cases();
  kesi::test::TestEngine engine;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::wstring n = std::to_wstring(i);
    const std::wstring line = L"L" + n + L"=" + cases[i].kind + L",R" + n + L"," + cases[i].parameters;
    ASSERT_EQ(0u, engine->AddLiteral(line.c_str())) << Narrow(line);
  }
  ASSERT_EQ(0u, engine->EvaluateAll());

  std::vector<std::string> outcomes, expected;
  std::vector<LiteralSI*> literals;
  for (LiteralSI* l = engine->FirstLiteral(); l; l = l->Next()) literals.insert(literals.begin(), l);
  for (size_t i = 0; i < literals.size() && i < cases.size(); ++i) {
    outcomes.push_back(literals[i]->CheckRan() ? Outcome(literals[i]->CheckVerdict(), literals[i]->CheckStatus())
                                               : std::string("no check ran"));
    expected.push_back(Outcome(cases[i].verdict, cases[i].status));
  }
  EXPECT_TRUE(Compare(cases, outcomes, expected));

  // The equipment check hands its identifier to the engine and its Base64 form to its result.
  EXPECT_EQ(Narrow(kSerial), Narrow(engine->EquipmentId()));
  LiteralSI* equipment = literals.size() > 10 ? literals[10] : nullptr;
  ASSERT_TRUE(equipment && equipment->Result());
  EXPECT_EQ(1u, equipment->Result()->Items()->Count());
}

// The configuration route: the same kinds in a signed configuration, through Run. It evaluates the host
// and security-product kinds only.
TEST_F(LiteralChecks, TheConfigurationRouteRunsEachKindsCheck) {
  const std::vector<KindCase> cases = Cases();
  std::wstring body = L"[InterrogationLiterals]\n";
  for (size_t i = 0; i < cases.size(); ++i)
    body += L"Literal" + std::to_wstring(i + 1) + L"=" + cases[i].kind + L",id" + std::to_wstring(i) + L"," +
            cases[i].parameters + L"\n";
  kesi::ConfigurationRoute route;
  ASSERT_TRUE(route.SetConfigurationText(kesi::test::Signed(body).c_str()));
  LONG code = 7;
  ASSERT_EQ(S_OK, route.Run(&code));
  ASSERT_EQ(0, code);

  std::vector<std::string> outcomes, expected;
  size_t i = 0;
  for (const ConfigLiteral* l = route.FirstLiteral(); l; l = l->Next(), ++i) {
    outcomes.push_back(Outcome(l->Value(), l->CheckCode()));
    if (i < cases.size()) {
      const bool evaluated = cases[i].configuration == ConfigurationRoute::kEvaluates;
      expected.push_back(evaluated ? Outcome(cases[i].verdict, cases[i].status) : Outcome(0, kConfigNotEvaluated));
    }
  }
  EXPECT_TRUE(Compare(cases, outcomes, expected));
}

}  // namespace
