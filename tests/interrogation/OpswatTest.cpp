// The OPSWAT kinds through the engine double (tests/fixtures/opswat), a real COM local server reached
// through the type-library marshaller. Each test answers for product names of its own, so the tests can
// run side by side on the one registration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Checks.h"
#include "LiteralLine.h"
#include "OpswatAnswers.h"
#include "OpswatEngine.h"
#include "Handles.h"
#include "SystemInterrogator.h"
#include "TestEngine.h"

using namespace kesi;

namespace {

using kesi::test::kOpswatState;
using kesi::test::OpswatAnswers;
using kesi::test::OpswatDoubleRegistered;

std::wstring Product(const char* test, const wchar_t* suffix) {
  return std::wstring(test, test + strlen(test)) + L"." + suffix;
}

class Opswat : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpswatDoubleRegistered()); }
  OpswatAnswers answers;
};

TEST_F(Opswat, EachKindAsksItsOwnMethodAndTrueIsMinusOne) {
  struct Case {
    int kind;
    const wchar_t* method;
  } const cases[] = {
      {kesi::kKindOpswatAntiVirus, L"AntiVirus"},
      {kesi::kKindOpswatAntiSpyware, L"AntiSpyware"},
      {kesi::kKindOpswatFirewall, L"Firewall"},
  };
  const wchar_t* methods[] = {L"AntiVirus", L"AntiSpyware", L"Firewall"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::wstring present = Product("EachKind.present", c.method);
    std::wstring absent = Product("EachKind.absent", c.method);
    // Only the kind's own method knows the product.
    answers.Set(c.method, present, 1);
    LONG verdict = 0;
    EXPECT_EQ(S_OK, EvaluateOpswat(c.kind, RQString(present.c_str()), &verdict));
    EXPECT_EQ(-1, verdict);
    verdict = 7;
    EXPECT_EQ(S_OK, EvaluateOpswat(c.kind, RQString(absent.c_str()), &verdict));
    EXPECT_EQ(0, verdict);
    for (const wchar_t* method : methods)
      EXPECT_EQ(method == c.method ? 1u : 0u, answers.Calls(method, present)) << "method " << (method - methods[0]);
  }
}

TEST_F(Opswat, AFailedCallLeavesTheVerdict) {
  std::wstring product = Product("Failure", L"av");
  answers.Set(L"AntiVirus", product, static_cast<DWORD>(E_ACCESSDENIED));
  LONG verdict = 0;
  EXPECT_EQ(E_ACCESSDENIED, EvaluateOpswat(kesi::kKindOpswatAntiVirus, RQString(product.c_str()), &verdict));
  EXPECT_EQ(0, verdict);
  EXPECT_EQ(E_INVALIDARG, EvaluateOpswat(kesi::kKindFile, RQString(product.c_str()), &verdict));
  EXPECT_EQ(E_POINTER, EvaluateOpswat(kesi::kKindOpswatAntiVirus, RQString(product.c_str()), nullptr));
}

// A caller whose thread already lives in the multithreaded apartment still gets its answer.
DWORD WINAPI CheckFromMta(void* product) {
  kesi::ComApartment com(COINIT_MULTITHREADED);
  if (FAILED(com.Result())) return 1;
  LONG verdict = 0;
  HRESULT hr = EvaluateOpswat(kesi::kKindOpswatFirewall, RQString(static_cast<const wchar_t*>(product)), &verdict);
  return hr == S_OK && verdict == -1 ? 0 : 2;
}

TEST_F(Opswat, WorksFromAMultithreadedApartment) {
  std::wstring product = Product("Mta", L"pfw");
  answers.Set(L"Firewall", product, 1);
  kesi::UniqueHandle thread(
      CreateThread(nullptr, 0, CheckFromMta, const_cast<wchar_t*>(product.c_str()), 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 60000));
  DWORD code = 99;
  GetExitCodeThread(thread.get(), &code);
  EXPECT_EQ(0u, code);
}

TEST_F(Opswat, EngineStopsAtTheFirstTrueLiteralAndClosesTheEngine) {
  std::wstring first = Product("ShortCircuit", L"first");
  std::wstring second = Product("ShortCircuit", L"second");
  std::wstring other = Product("ShortCircuit", L"other");
  answers.Set(L"AntiSpyware", second, 1);
  kesi::test::TestEngine engine;
  // Evaluated newest first: the second line holds, so the first is never asked.
  engine->AddLiteral((L"O1=OPSWATAS,Spyware," + first).c_str());
  engine->AddLiteral((L"O2=OPSWATAS,Spyware," + second).c_str());
  engine->AddLiteral((L"O3=opswatpfw,Firewall," + other).c_str());
  DWORD closesBefore = OpswatAnswers::Read(L"Close", L"Calls");

  EXPECT_EQ(0u, engine->EvaluateAll());
  ResultSI* firewall = engine->FirstResult();
  ResultSI* spyware = firewall->Next();
  EXPECT_STREQ("Spyware", spyware->NameUtf8());
  EXPECT_EQ(-1, spyware->Value());
  EXPECT_EQ(0, firewall->Value());
  EXPECT_EQ(1u, answers.Calls(L"AntiSpyware", second));
  EXPECT_EQ(0u, answers.Calls(L"AntiSpyware", first));
  EXPECT_EQ(1u, answers.Calls(L"Firewall", other));
  // The closing call follows the run, with 0.
  EXPECT_GT(OpswatAnswers::Read(L"Close", L"Calls"), closesBefore);
  EXPECT_EQ(0u, OpswatAnswers::Read(L"Close", L"Argument"));

  // One engine object served the run, and it was closed: it answered both checks.
  EXPECT_EQ(2u, OpswatAnswers::Read(L"Close\\Objects", other.c_str()));
  RegDeleteKeyValueW(HKEY_CURRENT_USER, (std::wstring(kOpswatState) + L"\\Close\\Objects").c_str(),
                     other.c_str());

  // The next run asks again, from FALSE.
  answers.Set(L"AntiSpyware", second, 0);
  engine->EvaluateAll();
  EXPECT_EQ(0, spyware->Value());
  EXPECT_EQ(2u, answers.Calls(L"AntiSpyware", second));
  EXPECT_EQ(1u, answers.Calls(L"AntiSpyware", first));
}

}  // namespace
