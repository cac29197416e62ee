// The interrogation engine: parsing lines into literals and results, list order, OR-grouping, the reset
// between runs, the items queue, and the global facts (through their seam where Wine cannot vary them).
#include <gtest/gtest.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "FailingAllocation.h"
#include "GlobalFacts.h"
#include "Handles.h"
#include "SystemInterrogator.h"
#include "TestEngine.h"
#include "TestFiles.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Narrow;
using kesi::test::TempFolder;
using Engine = kesi::test::TestEngine;

TEST(Engine, ParsesLines) {
  struct Case {
    const wchar_t* line;
    DWORD rc;
    int kind;
    const char* kindName;
    const char* id;
    const char* result;  // null: no result linked
    const char* parameters;
  };
  const Case cases[] = {
      {L"L1=FILE,R1,C:\\x.txt,>,0", 0, 1, "FILE", "L1", "R1", "C:\\x.txt,>,0"},
      {L"L2=registry,R1,HKEY_CURRENT_USER\\Software,,1", 0, 3, "REGISTRY", "L2", "R1", "HKEY_CURRENT_USER\\Software,,1"},
      {L"L3=OpSwAtAs,R3,Product", 0, 14, "OPSWATAS", "L3", "R3", "Product"},
      {L"L4=EQUIPMENTID,R4", 0, 11, "EQUIPMENTID", "L4", "R4", ""},
      {L"L5=unknown,R5,x", 0, 0, "UNKNOWN", "L5", "R5", "x"},
      // An unlisted kind: its result is still made and linked, its parameters are not kept.
      {L"L1=BOGUS,R1,x", ERROR_NOT_FOUND, 0, "", "L1", "R1", ""},
      // No "," after the kind: a literal without result.
      {L"L6=DIRECTORY", 0, 2, "DIRECTORY", "L6", nullptr, ""},
      // A quoted result keeps its comma and loses its quotes; the parameters are kept as written.
      {L"L7=PROCESS,\"Result, quoted\",\"a,b\"", 0, 5, "PROCESS", "L7", "Result, quoted", "\"a,b\""},
      {L"L8=OPSWATAV", 0, 12, "OPSWATAV", "L8", nullptr, ""},
      {L"no equals sign", ERROR_NOT_FOUND, 0, "", "no equals sign", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    Engine engine;
    std::unique_ptr<LiteralSI> literal(new LiteralSI());
    EXPECT_EQ(c.rc, literal->Parse(engine.get(), c.line));
    EXPECT_EQ(c.kind, literal->Kind());
    EXPECT_EQ(c.kindName, Narrow(literal->KindName()));
    EXPECT_EQ(c.id, Narrow(literal->LiteralId()));
    EXPECT_EQ(c.parameters, Narrow(literal->Parameters()));
    if (c.result) {
      ASSERT_NE(nullptr, literal->Result());
      EXPECT_STREQ(c.result, literal->ResultNameUtf8());
      EXPECT_EQ(literal->Result(), engine->FirstResult());
    } else {
      EXPECT_EQ(nullptr, literal->Result());
      EXPECT_STREQ("", literal->ResultNameUtf8());
      EXPECT_EQ(nullptr, engine->FirstResult());
    }
  }
  LiteralSI literal;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), literal.Parse(nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), literal.Parse(nullptr, L""));
}

TEST(Engine, ListsKeepNewestFirstAndResultsAreSharedByName) {
  Engine engine;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), engine->AddLiteral(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), engine->AddLiteral(L""));
  for (const wchar_t* line : {L"L1=DIRECTORY,Alpha,x", L"L2=BOGUS,Beta,x", L"L3=DIRECTORY,Alpha,y",
                              L"L4=DIRECTORY,alpha,z", L"L5=DIRECTORY"})
    EXPECT_EQ(0u, engine->AddLiteral(line));
  EXPECT_EQ((std::vector<std::string>{"L5", "L4", "L3", "L2", "L1"}), engine.LiteralIds());
  // Reverse order of first mention; names are told apart with their case.
  EXPECT_EQ((std::vector<std::string>{"alpha=0", "Beta=0", "Alpha=0"}), engine.Results());
  LiteralSI* l3 = engine->FirstLiteral()->Next()->Next();
  LiteralSI* l1 = l3->Next()->Next();
  EXPECT_EQ(l1->Result(), l3->Result());

  EXPECT_EQ(nullptr, engine->FindOrCreateResult(nullptr));
  EXPECT_EQ(nullptr, engine->FindOrCreateResult(L""));
  EXPECT_EQ(l1->Result(), engine->FindOrCreateResult(L"Alpha"));

  // A literal without a result is not evaluated and changes nothing.
  EXPECT_EQ(ERROR_INVALID_STATE, engine->FirstLiteral()->Evaluate(&engine->EquipmentId()));

  // A removed result goes back to the caller, and its literals forget it.
  ResultSI* alpha = l1->Result();
  EXPECT_EQ(0u, engine->RemoveResult(alpha));
  EXPECT_EQ(nullptr, l1->Result());
  EXPECT_EQ(nullptr, l3->Result());
  EXPECT_EQ(0, l1->Value());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), engine->RemoveResult(alpha));
  EXPECT_EQ((std::vector<std::string>{"alpha=0", "Beta=0"}), engine.Results());
  EXPECT_EQ(0u, engine->PushResult(&alpha));
  EXPECT_EQ(nullptr, alpha);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), engine->PushResult(&alpha));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), engine->PushLiteral(nullptr));
  EXPECT_EQ((std::vector<std::string>{"Alpha=0", "alpha=0", "Beta=0"}), engine.Results());

  engine->SetRecurringInterval(30);
  engine->EquipmentId() = L"EQ";
  EXPECT_EQ(0u, engine->Clear());
  EXPECT_EQ(nullptr, engine->FirstLiteral());
  EXPECT_EQ(nullptr, engine->FirstResult());
  EXPECT_EQ(-1, engine->RecurringInterval());
  EXPECT_TRUE(engine->EquipmentId().IsEmpty());
}

// Results are found by name with the engine's one comparison (RQString::operator==: the user's locale,
// case kept, kana type and width ignored), whatever the thread's locale: a Turkish thread locale does not
// fold "I" into a dotless i. Each pair either shares one result or makes two, exactly as that comparison
// says; the cases where the answer is known are checked against it too. A renamed, removed and pushed
// back result is found again by its name.
TEST(Engine, ResultNamesAreMatchedByTheStringComparison) {
  struct Case {
    const wchar_t* first;
    const wchar_t* second;
    int merged;  // 1 one result, 0 two results, -1 whatever the comparison says
  } cases[] = {
      {L"Result", L"Result", 1},
      {L"Result", L"result", 0},
      {L"I", L"i", 0},
      {L"I", L"\u0131", 0},          // dotless i
      {L"i", L"\u0130", 0},          // dotted capital I
      {L"TITLE", L"title", 0},
      {L"A", L"\uFF21", 1},          // full-width A
      {L"\u3042", L"\u30A2", 1},     // hiragana and katakana A
      {L"R1", L"R2", 0},
      {L"co-op", L"coop", -1},
      {L"\u00E9", L"e\u0301", -1},   // precomposed and combining acute
      {L"a\u200Bb", L"ab", -1},       // a zero-width space
      {L"stra\u00DFe", L"strasse", -1},
  };
  const LCID turkish = MAKELCID(MAKELANGID(LANG_TURKISH, SUBLANG_TURKISH_TURKEY), SORT_DEFAULT);
  const LCID before = GetThreadLocale();
  for (LCID locale : {before, turkish}) {
    ASSERT_TRUE(SetThreadLocale(locale));
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "locale " << locale << ": [" << Narrow(c.first) << "] [" << Narrow(c.second)
                                      << "]");
      const bool equal = RQString(c.first) == c.second;
      if (c.merged >= 0) {
        EXPECT_EQ(c.merged == 1, equal) << "the comparison itself";
      }
      Engine engine;
      // A crowd of other names first, so that a match has to be found among them.
      for (int i = 0; i < 200; ++i) ASSERT_NE(nullptr, engine->FindOrCreateResult((L"Other" + std::to_wstring(i)).c_str()));
      ResultSI* first = engine->FindOrCreateResult(c.first);
      ASSERT_NE(nullptr, first);
      EXPECT_EQ(equal, engine->FindOrCreateResult(c.second) == first);
      EXPECT_EQ(first, engine->FindOrCreateResult(c.first));
    }
  }
  ASSERT_TRUE(SetThreadLocale(before));

  // Taken out and pushed back, a result is found again; created anew after it left, it is a new one.
  Engine engine;
  ResultSI* alpha = engine->FindOrCreateResult(L"Alpha");
  ResultSI* beta = engine->FindOrCreateResult(L"Beta");
  ASSERT_EQ(0u, engine->RemoveResult(alpha));
  ResultSI* again = engine->FindOrCreateResult(L"Alpha");
  EXPECT_NE(alpha, again);
  ASSERT_EQ(0u, engine->RemoveResult(again));
  delete again;
  ResultSI* pushed = alpha;
  ASSERT_EQ(0u, engine->PushResult(&pushed));
  EXPECT_EQ(alpha, engine->FindOrCreateResult(L"Alpha"));
  EXPECT_EQ(alpha, engine->FirstResult());
  EXPECT_EQ(beta, engine->FindOrCreateResult(L"Beta"));
}

TEST(Engine, ResultIsTheOrOfItsLiteralsInReverseOrder) {
  TempFolder present(L"engine");
  ASSERT_TRUE(present.Created());
  const std::wstring missing = present / L"missing";
  Engine engine;
  // Newest first: for Both, the present folder is tried first; for Late, the missing one.
  engine->AddLiteral((L"A1=DIRECTORY,Late," + present.Path()).c_str());
  engine->AddLiteral((L"A2=DIRECTORY,Both," + missing).c_str());
  engine->AddLiteral((L"A3=DIRECTORY,None," + missing).c_str());
  engine->AddLiteral((L"A4=DIRECTORY,Both," + present.Path()).c_str());
  engine->AddLiteral((L"A5=DIRECTORY,Late," + missing).c_str());
  engine->AddLiteral(L"A6=BOGUS,Unlisted,x");
  EXPECT_EQ(0u, engine->EvaluateAll());
  EXPECT_EQ((std::vector<std::string>{"Unlisted=0", "None=0", "Both=1", "Late=1"}), engine.Results());

  // A result that is already TRUE is not asked again: the literal reports success without a check.
  LiteralSI* a4 = engine->FirstLiteral()->Next()->Next();
  ASSERT_EQ("A4", Narrow(a4->LiteralId()));
  EXPECT_EQ(1, a4->Value());
  EXPECT_EQ(0, a4->Evaluate(&engine->EquipmentId()));

  // The next run starts from FALSE: with the folder gone, every result is FALSE again.
  a4->Result()->Items()->PushBackText(L"stale");
  RemoveDirectoryW(present.Path().c_str());
  engine->EvaluateAll();
  EXPECT_EQ((std::vector<std::string>{"Unlisted=0", "None=0", "Both=0", "Late=0"}), engine.Results());
  EXPECT_EQ(0u, a4->Result()->Items()->Count());
}

TEST(Engine, ItemsDrainInOrder) {
  Engine engine;
  ResultSI* result = engine->FindOrCreateResult(L"R");
  ASSERT_NE(nullptr, result);
  ItemQueue* items = result->Items();
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), items->PushBack(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), items->PushBackText(nullptr));
  for (const wchar_t* text : {L"first", L"second", L"third"}) EXPECT_EQ(0u, items->PushBackText(text));
  EXPECT_EQ(3u, items->Count());

  std::vector<std::string> drained;
  RQString* item = nullptr;
  while ((item = result->NextItem(item)) != nullptr) drained.push_back(Narrow(*item));
  EXPECT_EQ((std::vector<std::string>{"first", "second", "third"}), drained);
  EXPECT_EQ(0u, items->Count());
  EXPECT_EQ(nullptr, items->PopFront());

  // Items left behind go with the queue; ResetResults empties every queue and keeps it usable.
  items->PushBackText(L"x");
  *result->ValueCell() = 1;
  EXPECT_EQ(0u, engine->ResetResults());
  EXPECT_EQ(0, result->Value());
  EXPECT_EQ(0u, items->Count());
  EXPECT_EQ(0u, items->PushBackText(L"y"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), result->SetName(L""));
}

DWORD WINAPI PushItems(void* queue) {
  for (int i = 0; i < 2000; ++i) static_cast<ItemQueue*>(queue)->PushBackText(L"item");
  return 0;
}

TEST(Engine, ItemQueueTakesPushesFromTwoThreads) {
  ItemQueue queue;
  kesi::UniqueHandle threads[2];
  for (kesi::UniqueHandle& t : threads) t.reset(CreateThread(nullptr, 0, PushItems, &queue, 0, nullptr));
  const HANDLE waited[] = {threads[0].get(), threads[1].get()};
  unsigned popped = 0;
  auto pop = [&queue, &popped] {
    std::unique_ptr<RQString> item(queue.PopFront());
    if (item) ++popped;
    return item != nullptr;
  };
  while (WaitForMultipleObjects(2, waited, TRUE, 0) == WAIT_TIMEOUT) pop();
  while (pop()) {
  }
  EXPECT_EQ(4000u, popped);
}

// When memory runs out the engine and the items queue say 14 (ERROR_OUTOFMEMORY), and the queue still
// takes the item it was handed (and destroys it).
TEST(Engine, OutOfMemoryIsFourteen) {
  using kesi::test::FailingAllocation;
  Engine engine;
  {
    FailingAllocation next;  // the literal
    EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), engine->AddLiteral(L"L1=FILE,R1,x"));
  }
  EXPECT_EQ(nullptr, engine->FirstLiteral());
  LiteralSI literal;
  {
    FailingAllocation next;  // the copy of the line
    EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), literal.Parse(engine.get(), L"L1=FILE,R1,x"));
  }
  ItemQueue queue;
  {
    FailingAllocation next;  // the item
    EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), queue.PushBackText(L"text"));
  }
  std::unique_ptr<RQString> item(new RQString(L"text"));
  {
    FailingAllocation next;  // the queue's node
    EXPECT_EQ(static_cast<DWORD>(ERROR_OUTOFMEMORY), queue.PushBack(item.release()));
  }
  EXPECT_EQ(0u, queue.Count());
  EXPECT_EQ(0u, queue.PushBackText(L"text"));
  EXPECT_EQ(1u, queue.Count());
}

TEST(Engine, ReferenceCount) {
  SystemInterrogator* engine = new SystemInterrogator();
  EXPECT_EQ(engine, engine->AddRef());
  EXPECT_EQ(1u, engine->Release());
  EXPECT_EQ(0u, engine->Release());
}

// The global facts. The seam answers group membership and architecture as the test says.
class GlobalFacts : public ::testing::Test {
 protected:
  void TearDown() override { ResetGlobalFactCalls(); }

  static DWORD s_members;  // bit 0 administrators, bit 1 power users
  static BOOL WINAPI Membership(HANDLE, PSID sid, PBOOL member) {
    DWORD rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    *member = (rid == DOMAIN_ALIAS_RID_ADMINS && (s_members & 1)) || (rid == DOMAIN_ALIAS_RID_POWER_USERS && (s_members & 2));
    return TRUE;
  }
  static HRESULT WINAPI NoFolder(HWND, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }
  static UINT WINAPI NoSystemDirectory(LPWSTR, UINT) { return 0; }
  static WORD s_architecture;
  static bool Architecture(WORD* a) {
    *a = s_architecture;
    return true;
  }
  static bool NoNativeSystemInfo(WORD*) { return false; }
};
DWORD GlobalFacts::s_members = 0;
WORD GlobalFacts::s_architecture = 0;

TEST_F(GlobalFacts, WineAsItIs) {
  Engine engine;
  EXPECT_EQ(0u, engine->User());
  EXPECT_TRUE(engine->UserHomeDirectory().IsEmpty());
  engine->EvaluateAll();
  // The wine user is an elevated administrator on a 64-bit system.
  EXPECT_EQ(kUserAdministrator, engine->User());
  EXPECT_TRUE(engine->Is64Bit());

  // The parent of the roaming application-data folder, as the environment names it.
  wchar_t appData[MAX_PATH] = {};
  ASSERT_NE(0u, GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH));
  std::wstring expected(appData);
  expected.resize(expected.rfind(L'\\'));
  EXPECT_EQ(0, lstrcmpiW(expected.c_str(), engine->UserHomeDirectory())) << Narrow(engine->UserHomeDirectory());

  wchar_t root[MAX_PATH] = {};
  ASSERT_NE(0u, GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH));
  EXPECT_EQ(0, lstrcmpiW((std::wstring(root) + L"\\system32").c_str(), engine->SystemDirectory()))
      << Narrow(engine->SystemDirectory());
}

TEST_F(GlobalFacts, UserNumberFromGroupMembership) {
  struct Case {
    DWORD members;
    DWORD user;
  } const cases[] = {{3, kUserAdministrator}, {1, kUserAdministrator}, {2, kUserPowerUser}, {0, kUserOther}};
  GlobalFactSystem().checkTokenMembership = Membership;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    s_members = c.members;
    Engine engine;
    engine->EvaluateAll();
    EXPECT_EQ(c.user, engine->User());
  }
}

TEST_F(GlobalFacts, UnreadableFoldersKeepTheirLastValue) {
  Engine engine;
  engine->EvaluateAll();
  std::string home = Narrow(engine->UserHomeDirectory());
  std::string system = Narrow(engine->SystemDirectory());
  ASSERT_FALSE(home.empty());
  ASSERT_FALSE(system.empty());
  GlobalFactSystem().getFolderPath = NoFolder;
  GlobalFactSystem().getSystemDirectory = NoSystemDirectory;
  engine->EvaluateAll();
  EXPECT_EQ(home, Narrow(engine->UserHomeDirectory()));
  EXPECT_EQ(system, Narrow(engine->SystemDirectory()));
  // A fresh engine that cannot read them reports them empty.
  Engine fresh;
  fresh->EvaluateAll();
  EXPECT_TRUE(fresh->UserHomeDirectory().IsEmpty());
  EXPECT_TRUE(fresh->SystemDirectory().IsEmpty());
}

TEST_F(GlobalFacts, SixtyFourBitOnlyForAnAmd64NativeSystem) {
  enum Bits { k32, k64 };
  struct Case {
    bool (*call)(WORD*);
    WORD architecture;
    Bits expected;
  } const cases[] = {
      {Architecture, PROCESSOR_ARCHITECTURE_AMD64, k64},
      {Architecture, PROCESSOR_ARCHITECTURE_INTEL, k32},
      {Architecture, PROCESSOR_ARCHITECTURE_IA64, k32},
      {NoNativeSystemInfo, 0, k32},  // a system without GetNativeSystemInfo
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.architecture);
    GlobalFactSystem().nativeArchitecture = c.call;
    s_architecture = c.architecture;
    Engine engine;
    engine->EvaluateAll();
    EXPECT_EQ(c.expected == k64, engine->Is64Bit());
  }
}

}  // namespace
