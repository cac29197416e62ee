// The logon route end to end: the real engine and logon agent against appliance simulator instances,
// with verdicts from the product-check engine double (so that a TRUE is the double's -1).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogonRoute.h"
#include "Handles.h"
#include "OpswatAnswers.h"
#include "SimulatorClient.h"
#include "TestEngine.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::Appliance;

using kesi::test::Narrow;

// A JSON string as the journal writes it.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out = "[";
  for (const std::string& l : lines) out += (out.size() > 1 ? "," : "") + Json(l);
  return out + "]";
}

// Products the double answers TRUE for, under names of this suite; removed at the end.
class Products {
 public:
  Products() { answers_.Set(L"AntiVirus", L"LogonRoute.present", 1); }

 private:
  kesi::test::OpswatAnswers answers_;
};

// An engine and an agent connected to a fresh appliance of the scenario.
class Session {
 public:
  explicit Session(const std::string& scenario) : appliance(scenario) {
    agent.attach(new kesi::LogonAgent());
    if (appliance.Error().empty())
      connect = agent->Connect(appliance.Server().c_str(), nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0);
  }
  std::vector<std::string> LiteralIds() const { return engine.LiteralIds(); }
  std::string LastArgs(int procedure) {
    std::vector<std::string> calls = appliance.Calls(procedure);
    return calls.empty() ? "" : Appliance::Args(calls.back());
  }

  Products products;
  Appliance appliance;
  kesi::ComPtr<kesi::LogonAgent> agent;
  kesi::test::TestEngine engine;
  DWORD connect = ERROR_NOT_CONNECTED;
};

#define ASSERT_SESSION(s)               \
  ASSERT_EQ("", (s).appliance.Error()); \
  ASSERT_EQ(0u, (s).connect)

std::string Scenario(int version, const std::string& rest) {
  return "{\"version\": " + std::to_string(version) + ", \"session\": \"S1\", " + rest + "}";
}

TEST(LogonRoute, AListReplacesTheEngineOnlyWhenItNamesTheSection) {
  struct Case {
    const char* name;
    int version;
    std::vector<std::string> list;
    std::vector<std::string> literals;  // in the engine's order afterwards
    int interval;
  } const cases[] = {
      {"header as written", 15,
       {"[Global]", "G1=FILE,NotInTheSection,x", "[InterrogationLiterals]", "N1=OPSWATAV,R1,p", "N2=bogus,R2,x",
        "[Other]", "N3=FILE,R3,x"},
       {"N2", "N1"}, -1},
      {"lower case", 15, {"[interrogationliterals]", "N1=OPSWATAV,R1,p"}, {"N1"}, -1},
      {"upper case, twice", 15, {"[INTERROGATIONLITERALS]", "N1=OPSWATAV,R1,p", "[InterrogationLiterals]", "N4=FILE,R4,x"},
       {"N4"}, -1},
      {"no header", 15, {"N1=OPSWATAV,R1,p", "[Other]"}, {"OLD"}, 5},
      {"empty list", 15, {}, {"OLD"}, 5},
      {"version 7 carries the interval", 7, {"[InterrogationLiterals]", "N1=OPSWATAV,R1,p"}, {"N1"}, 45},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s(Scenario(c.version, "\"interrogation_list\": " + Lines(c.list) + ", \"interval\": 45"));
    ASSERT_SESSION(s);
    s.engine->AddLiteral(L"OLD=OPSWATAV,Old,x");
    s.engine->SetRecurringInterval(5);
    EXPECT_EQ(0u, kesi::FetchInterrogationList(s.agent.get(), s.engine.get()));
    EXPECT_EQ(c.literals, s.LiteralIds());
    EXPECT_EQ(c.interval, s.engine->RecurringInterval());
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), kesi::FetchInterrogationList(nullptr, nullptr));
}

TEST(LogonRoute, ResultsGoOutWithTheirItemsAndTheFactsOfTheVersion) {
  // What goes out besides the results' names and values.
  enum Sent : unsigned { kNothingElse = 0, kItems = 1, kFacts = 2, kEquipmentId = 4, kX64 = 8 };
  struct Case {
    int version;
    const wchar_t* equipment;
    unsigned sent;
  } const cases[] = {
      {1, L"EQ-7", kNothingElse},
      {2, L"EQ-7", kItems},
      {3, L"EQ-7", kItems | kFacts},
      {7, L"EQ-7", kItems | kFacts | kEquipmentId},
      {8, L"", kItems | kFacts},  // an empty identifier is left out
      {9, L"EQ-7", kItems | kFacts | kEquipmentId | kX64},
      {15, L"", kItems | kFacts | kX64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    Session s(Scenario(c.version, "\"interrogation_list\": " +
                                      Lines({"[InterrogationLiterals]", "A=OPSWATAV,Yes,LogonRoute.present",
                                             "B=OPSWATAV,No,LogonRoute.absent", "C=OPSWATAV,No,LogonRoute.absent"})));
    ASSERT_SESSION(s);
    ASSERT_EQ(0u, kesi::FetchInterrogationList(s.agent.get(), s.engine.get()));
    s.engine->EvaluateAll();
    ResultSI* no = s.engine->FirstResult();
    ResultSI* yes = no->Next();
    ASSERT_STREQ("Yes", yes->NameUtf8());
    EXPECT_EQ(-1, yes->Value());
    no->Items()->PushBackText(L"first");
    no->Items()->PushBackText(L"second");
    yes->Items()->PushBackText(L"only");
    s.engine->EquipmentId() = c.equipment;

    BOOL proceed = FALSE;
    EXPECT_EQ(0u, kesi::PostInterrogationResults(s.agent.get(), s.engine.get(), &proceed, nullptr, nullptr));
    EXPECT_TRUE(proceed);
    EXPECT_EQ(0u, no->Items()->Count());
    EXPECT_EQ(0u, yes->Items()->Count());

    std::string expected = "[" + std::to_string(c.version) + ",\"S1\",";
    expected += (c.sent & kItems) ? "[[\"No\",false,[\"first\",\"second\"]],[\"Yes\",true,[\"only\"]]]"
                        : "[[\"No\",false],[\"Yes\",true]]";
    if (c.sent & kFacts) {
      expected += ",[[\"user\"," + std::to_string(s.engine->User()) + "],[\"userHomeDirectory\"," +
                  Json(Narrow(s.engine->UserHomeDirectory())) + "],[\"systemDirectory\"," +
                  Json(Narrow(s.engine->SystemDirectory())) + "]";
      if (c.sent & kEquipmentId) expected += ",[\"equipmentID\",\"EQ-7\"]";
      if (c.sent & kX64) expected += ",[\"x64\",true]";
      expected += "]";
    }
    expected += "]";
    EXPECT_EQ(expected, s.LastArgs(11));
  }
}

TEST(LogonRoute, ZoneAndZoneCommandsComeBack) {
  Session s(Scenario(8, "\"continue\": false, \"zone\": \"Quarantine\", \"interval\": 60, "
                        "\"zone_commands\": [\"\", \"LOGOUT\", \"\", \"NOTIFY now\"]"));
  ASSERT_SESSION(s);
  BOOL proceed = TRUE;
  RQString zone(L"before");
  RQStringMZ commands(L"stale\0");
  EXPECT_EQ(0u, kesi::PostInterrogationResults(s.agent.get(), s.engine.get(), &proceed, &zone, &commands));
  EXPECT_FALSE(proceed);
  EXPECT_EQ("Quarantine", Narrow(zone));
  ASSERT_EQ(2u, commands.GetCount());
  EXPECT_EQ("LOGOUT", Narrow(commands[0]));
  EXPECT_EQ("NOTIFY now", Narrow(commands[1]));
  EXPECT_EQ(60, s.engine->RecurringInterval());
  // An engine without results posts an empty result list.
  EXPECT_EQ("[8,\"S1\",[],[[\"user\",0],[\"userHomeDirectory\",\"\"],[\"systemDirectory\",\"\"]]]", s.LastArgs(11));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            kesi::PostInterrogationResults(s.agent.get(), s.engine.get(), nullptr, &zone, &commands));
}

TEST(LogonRoute, SubsequentResultsKeepOrReplaceTheList) {
  Session s(Scenario(15, "\"interrogation_list\": " +
                             Lines({"[InterrogationLiterals]", "A=OPSWATAV,Yes,LogonRoute.present"}) +
                             ", \"subsequent\": ["
                             "{\"classification\": 3, \"list\": [\"Z=FILE,Ignored,x\"], \"interval\": 30, "
                             "\"zone\": \"Z1\", \"zone_commands\": [\"A\", \"\"]}, "
                             "{\"classification\": 2, \"list\": " +
                             Lines({"[InterrogationLiterals]", "M=OPSWATAS,New,p"}) +
                             ", \"interval\": 0, \"zone\": \"Z2\", \"zone_commands\": []}]"));
  ASSERT_SESSION(s);
  ASSERT_EQ(0u, kesi::FetchInterrogationList(s.agent.get(), s.engine.get()));
  s.engine->EvaluateAll();
  s.engine->SetResultHash(RQString(L"JUST_CLASSIFIED"));

  int32_t classification = 0;
  RQString zone(L"Z0");
  RQStringMZ commands;
  EXPECT_EQ(0u, kesi::PostSubsequentInterrogationResults(s.agent.get(), s.engine.get(), L"TEAM", &classification, &zone, &commands));
  EXPECT_EQ("[15,\"TEAM\",\"Z0\",\"JUST_CLASSIFIED\",[[\"Yes\",true,[]]]]", s.LastArgs(21));
  EXPECT_EQ(3, classification);
  // A list without the section header leaves the engine's list for the next run.
  EXPECT_EQ((std::vector<std::string>{"A"}), s.LiteralIds());
  EXPECT_EQ(30, s.engine->RecurringInterval());
  EXPECT_EQ("Z1", Narrow(zone));
  ASSERT_EQ(1u, commands.GetCount());
  EXPECT_EQ("A", Narrow(commands[0]));

  s.engine->EvaluateAll();
  s.engine->SetResultHash(RQString(L"1"));
  EXPECT_EQ(0u, kesi::PostSubsequentInterrogationResults(s.agent.get(), s.engine.get(), L"TEAM", &classification, &zone, &commands));
  EXPECT_EQ("[15,\"TEAM\",\"Z1\",\"1\",[[\"Yes\",true,[]]]]", s.LastArgs(21));
  EXPECT_EQ(2, classification);
  EXPECT_EQ((std::vector<std::string>{"M"}), s.LiteralIds());
  ASSERT_NE(nullptr, s.engine->FirstResult());
  EXPECT_STREQ("New", s.engine->FirstResult()->NameUtf8());
  EXPECT_EQ(0, s.engine->RecurringInterval());
  EXPECT_EQ("Z2", Narrow(zone));
  EXPECT_EQ(0u, commands.GetCount());

  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            kesi::PostSubsequentInterrogationResults(s.agent.get(), s.engine.get(), nullptr, &classification, &zone, &commands));
}

}  // namespace
