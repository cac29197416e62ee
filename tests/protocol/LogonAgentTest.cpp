// The logon agent against appliance simulator instances: logon, every procedure at the versions where its
// shape changes, faults and malformed replies, and the agent codes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CertificatePolicy.h"
#include "LogonAgent.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TestText.h"

using namespace kesi;

namespace kesi {
namespace {

using test::Appliance;
using test::Narrow;
using test::TempFile;

// An interrogation engine as the procedures see it: results with item texts, global facts, and a record
// of what the list replies fed in.
class FakeResult : public LogonResult {
 public:
  FakeResult(const char* name, int value, std::vector<std::wstring> items)
      : name_(name), value_(value), items_(std::move(items)) {}
  const char* NameUtf8() override { return name_.c_str(); }
  int Value() override { return value_; }
  RQString* NextItem(RQString* previous) override {
    delete previous;
    if (items_.empty()) return nullptr;
    auto* item = new RQString(items_.front().c_str());
    items_.erase(items_.begin());
    return item;
  }
  LogonResult* Next() override { return next_; }

  FakeResult* next_ = nullptr;
  std::string name_;
  int value_;
  std::vector<std::wstring> items_;
};

class FakeEngine : public LogonInterrogator {
 public:
  FakeEngine() {
    results_.push_back(std::make_unique<FakeResult>("R1", 1, std::vector<std::wstring>{L"a", L"b"}));
    results_.push_back(std::make_unique<FakeResult>("R2", 0, std::vector<std::wstring>{}));
    results_[0]->next_ = results_[1].get();
    home_ = L"HOME";
    system_ = L"SYS";
    equipment_ = L"EQ1";
  }
  int Clear() override {
    ++clears;
    literals.clear();
    return 0;
  }
  int AddLiteral(const wchar_t* line) override {
    literals.push_back(Narrow(line));
    return 0;
  }
  void SetRecurringInterval(int seconds) override { interval = seconds; }
  LogonResult* FirstResult() override { return results_.empty() ? nullptr : results_[0].get(); }
  DWORD User() override { return 1; }
  RQString& UserHomeDirectory() override { return home_; }
  RQString& SystemDirectory() override { return system_; }
  RQString& EquipmentId() override { return equipment_; }
  bool Is64Bit() override { return true; }
  RQString& ResultHash() override { return hash_; }

  bool ItemsLeft() const {
    for (const auto& r : results_)
      if (!r->items_.empty()) return true;
    return false;
  }

  int clears = 0;
  std::vector<std::string> literals;
  int interval = -1;
  std::vector<std::unique_ptr<FakeResult>> results_;
  RQString home_, system_, equipment_, hash_;
};

// An agent connected to a fresh appliance instance of the given scenario.
class Session {
 public:
  explicit Session(const std::string& scenario, const wchar_t* sessionText = nullptr) : appliance(scenario) {
    if (appliance.Error().empty())
      connect = agent->Connect(appliance.Server().c_str(), nullptr, sessionText, nullptr, nullptr, FALSE, nullptr, TRUE,
                               0, 0);
  }
  ~Session() { agent->Release(); }

  Appliance appliance;
  LogonAgent* agent = new LogonAgent();
  DWORD connect = ERROR_NOT_CONNECTED;
};

std::string Scenario(int version, const std::string& rest = "") {
  return "{\"version\": " + std::to_string(version) + ", \"session\": \"S1\"" + (rest.empty() ? "" : ", " + rest) + "}";
}

#define ASSERT_SESSION(s)               \
  ASSERT_EQ("", (s).appliance.Error()); \
  ASSERT_EQ(0u, (s).connect)

TEST(LogonAgent, LogsOnWithANewOrAResumedSession) {
  {
    Session s(Scenario(9));
    ASSERT_SESSION(s);
    EXPECT_TRUE(s.agent->IsConnected());
    EXPECT_EQ(9, s.agent->GetVersion());
    EXPECT_TRUE(s.agent->HasVersion4());
    EXPECT_STREQ(L"S1", s.agent->GetSession());
    std::vector<std::string> calls = s.appliance.Calls(1);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("[15]", Appliance::Args(calls[0]));
    EXPECT_NE(nullptr, s.agent->GetServerCertificate());
  }
  {
    Session s(Scenario(3), L"TEAM-CREDENTIAL");
    ASSERT_SESSION(s);
    EXPECT_EQ(3, s.agent->GetVersion());
    EXPECT_FALSE(s.agent->HasVersion4());
    EXPECT_STREQ(L"S1", s.agent->GetSession());
    EXPECT_TRUE(s.appliance.Calls(1).empty());
    std::vector<std::string> calls = s.appliance.Calls(8);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("[15,\"TEAM-CREDENTIAL\"]", Appliance::Args(calls[0]));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->ResumeSession(L""));
  }
}

TEST(LogonAgent, LogonFailures) {
  struct Case {
    const char* name;
    std::string scenario;
    DWORD result;
  } cases[] = {
      {"empty session", Scenario(15, "\"session\": \"\""), ERROR_INTERNAL_ERROR},
      {"version not an Integer", Scenario(15, R"("faults": [{"procedure": 1, "result": ["15", "S1"]}])"),
       kAgentReplyUnreadable},
      {"session not a String", Scenario(15, R"("faults": [{"procedure": 1, "result": [15, 7]}])"),
       kAgentReplyUnreadable},
      {"session missing", Scenario(15, R"("faults": [{"procedure": 1, "result": [15]}])"), kAgentReplyUnreadable},
      {"fault", Scenario(15, R"("faults": [{"procedure": 1, "fault": {"code": 7, "code2": 9, "text": "no"}}])"),
       kAgentReplyUnreadable},
      {"HTTP 404", Scenario(15, R"("faults": [{"procedure": 1, "http_status": 404}])"), ERROR_INTERNET_ITEM_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s(c.scenario);
    ASSERT_EQ("", s.appliance.Error());
    EXPECT_EQ(c.result, s.connect);
    EXPECT_STREQ(L"", s.agent->GetSession());
  }
  LogonAgent* agent = new LogonAgent();
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            agent->Connect(L"", nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE, 0, 0));
  agent->Release();
}

TEST(LogonAgent, WithoutConnectionOrSession) {
  LogonAgent* agent = new LogonAgent();
  FakeEngine engine;
  AgentList list;
  Utf8Buffer message;
  TempFile file("log");
  EXPECT_FALSE(agent->IsConnected());
  EXPECT_EQ(ERROR_NOT_CONNECTED, agent->CheckConnection(false));
  EXPECT_EQ(ERROR_NOT_CONNECTED, agent->GetInterrogationList(&engine));
  EXPECT_EQ(ERROR_NOT_CONNECTED, agent->NewSession());
  EXPECT_EQ(ERROR_NOT_CONNECTED, agent->Call(&message));
  EXPECT_EQ(ERROR_NOT_CONNECTED, agent->PostLogFile(L"abc", file.Path()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, agent->GetInterrogationList(nullptr));
  EXPECT_EQ(ERROR_INTERNAL_ERROR, agent->Unsupported44());
  EXPECT_EQ(kAgentDefaultTimeout, 45000u);
  agent->SetPair2(4, 5);
  EXPECT_EQ(4u, agent->GetPair2First());
  EXPECT_EQ(5u, agent->GetPair2Second());
  EXPECT_EQ(2u, agent->AddRef());
  EXPECT_EQ(1u, agent->Release());
  agent->Release();

  // Logged off: calls that need the session are refused without being sent.
  Session s(Scenario(15));
  ASSERT_SESSION(s);
  EXPECT_EQ(0u, s.agent->Logoff());
  EXPECT_STREQ(L"", s.agent->GetSession());
  EXPECT_EQ("[15,\"S1\"]", Appliance::Args(s.appliance.Calls(2).at(0)));
  EXPECT_EQ(kAgentNoSession, s.agent->GetInterrogationList(&engine));
  EXPECT_EQ(kAgentNoSession, s.agent->GetAgentList(&list));
  EXPECT_EQ(kAgentNoSession, s.agent->Logoff());
  EXPECT_EQ(2u, s.appliance.Journal().size());
  EXPECT_EQ(0u, s.agent->Disconnect());
  EXPECT_FALSE(s.agent->IsConnected());
}

TEST(LogonAgent, InterrogationListFeedsTheLiteralSection) {
  const std::string list = R"("interrogation_list": ["before", "[interrogationliterals]", "L1=FILE,R1,x",
      "[Other]", "L2=FILE,R2,y", "[InterrogationLiterals]", "L3=REGISTRY,R3,z", "L4=PROCESS,R4,w"], "interval": 45)";
  struct Case {
    int version;
    int interval;
  } cases[] = {{6, -1}, {7, 45}, {8, -1}, {15, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version);
    Session s(Scenario(c.version, list));
    ASSERT_SESSION(s);
    FakeEngine engine;
    ASSERT_EQ(0u, s.agent->GetInterrogationList(&engine));
    EXPECT_EQ(2, engine.clears);
    EXPECT_EQ((std::vector<std::string>{"L3=REGISTRY,R3,z", "L4=PROCESS,R4,w"}), engine.literals);
    EXPECT_EQ(c.interval, engine.interval);
    EXPECT_EQ("[" + std::to_string(c.version) + ",\"S1\"]", Appliance::Args(s.appliance.Calls(10).at(0)));
  }
}

TEST(LogonAgent, InterrogationListReplyShapes) {
  Session s(Scenario(7, R"("interval": 30, "faults": [
      {"procedure": 10, "call": 0, "result": [["[InterrogationLiterals]", "L1=FILE,R,x", 5, "L2=FILE,R,y"], 12]},
      {"procedure": 10, "call": 1, "result": [["[InterrogationLiterals]", "L1=FILE,R,x"]]},
      {"procedure": 10, "call": 2, "result": [["L1=FILE,R,x"], 12]},
      {"procedure": 10, "call": 3, "result": ["[InterrogationLiterals]", 12]}])"));
  ASSERT_SESSION(s);
  FakeEngine engine;
  // The walk stops at the first member that is not a String.
  ASSERT_EQ(0u, s.agent->GetInterrogationList(&engine));
  EXPECT_EQ(std::vector<std::string>{"L1=FILE,R,x"}, engine.literals);
  EXPECT_EQ(12, engine.interval);
  // Version 7 needs the interval; nothing is fed from a reply that lacks it.
  FakeEngine missing;
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->GetInterrogationList(&missing));
  EXPECT_EQ(0, missing.clears);
  EXPECT_EQ(-1, missing.interval);
  // Without the section header the engine keeps its list.
  FakeEngine kept;
  kept.literals = {"OLD"};
  ASSERT_EQ(0u, s.agent->GetInterrogationList(&kept));
  EXPECT_EQ(0, kept.clears);
  EXPECT_EQ(std::vector<std::string>{"OLD"}, kept.literals);
  // The lines must be a Structure.
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->GetInterrogationList(&missing));
}

// Every form of reply that is not a result, and transport failures, on one procedure.
TEST(LogonAgent, FaultsAndMalformedReplies) {
  Session s(Scenario(15, R"("faults": [
      {"procedure": 10, "call": 0, "fault": {"code": 7, "code2": 9, "text": "denied"}},
      {"procedure": 10, "call": 1, "fault": {"code": 7, "code2": 9, "extra": 5, "text": "denied"}},
      {"procedure": 10, "call": 2, "fault": [7, "x"]},
      {"procedure": 10, "call": 3, "reply": [4, []]},
      {"procedure": 10, "call": 4, "reply": [2, "not a structure"]},
      {"procedure": 10, "call": 5, "reply": ["2", []]},
      {"procedure": 10, "call": 6, "body_hex": "11 00"},
      {"procedure": 10, "call": 7, "body_hex": "10 00 02 02 00 00 00 02 10 00 01 04 00 09 61"},
      {"procedure": 10, "call": 8, "empty_body": true},
      {"procedure": 10, "call": 9, "http_status": 500},
      {"procedure": 10, "call": 10, "no_content_length": true}])"));
  ASSERT_SESSION(s);
  struct Case {
    const char* name;
    DWORD result;
  } cases[] = {
      {"fault {7, 9, text}", kAgentReplyUnreadable},
      {"fault {7, 9, 5, text}", kAgentReplyUnreadable},
      {"malformed fault {7, text}", kAgentReplyUnreadable},
      {"unknown reply kind", kAgentReplyUnreadable},
      {"result kind without a Structure", kAgentReplyUnreadable},
      {"kind not an Integer", kAgentReplyUnreadable},
      {"not a Structure", kAgentReplyUnreadable},
      {"String running past the end", kAgentReplyUnreadable},
      {"empty body", kAgentReplyUnreadable},
      {"HTTP 500", ERROR_INTERNET_EXTENDED_ERROR},
      {"no Content-Length", ERROR_HTTP_HEADER_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    EXPECT_EQ(c.result, s.agent->GetInterrogationList(&engine));
    EXPECT_EQ(0, engine.clears);
  }
  FakeEngine engine;
  EXPECT_EQ(0u, s.agent->GetInterrogationList(&engine));  // the twelfth call is answered normally
  EXPECT_EQ(1, engine.clears);
}

// A reply that the client will not take in ends the exchange with 4336 and feeds nothing: one that
// announces more than the cap (a valid list, which taken in whole would be read), and ones under the cap
// whose nested empty Structures would each become a vector object. A reply of exactly the cap is read,
// and the session goes on.
TEST(LogonAgent, RepliesTooLargeToTakeIn) {
  Session s(Scenario(15, R"("faults": [
      {"procedure": 10, "call": 0, "large_reply": 4194305},
      {"procedure": 10, "call": 1, "expansion_reply": 4194304},
      {"procedure": 10, "call": 2, "large_reply": 4194304},
      {"procedure": 17, "call": 0, "expansion_reply": 1000000}])"));
  ASSERT_SESSION(s);
  struct Case {
    const char* name;
    DWORD result;
    size_t literals;
  } cases[] = {
      {"one byte over the cap", ERROR_MESSAGE_EXCEEDS_MAX_SIZE, 0},
      {"expansion under the cap", ERROR_MESSAGE_EXCEEDS_MAX_SIZE, 0},
      {"exactly the cap", 0, 70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    EXPECT_EQ(c.result, s.agent->GetInterrogationList(&engine));
    EXPECT_EQ(c.literals, engine.literals.size());
  }
  AgentList agents;
  EXPECT_EQ(static_cast<DWORD>(ERROR_MESSAGE_EXCEEDS_MAX_SIZE), s.agent->GetAgentList(&agents));
  EXPECT_EQ(nullptr, agents.First());
  FakeEngine engine;
  EXPECT_EQ(0u, s.agent->GetInterrogationList(&engine));

  std::vector<std::string> calls = s.appliance.Calls(10);
  ASSERT_EQ(4u, calls.size());
  EXPECT_NE(std::string::npos, calls[0].find(" generated=large_reply,4194305")) << calls[0];
  EXPECT_NE(std::string::npos, calls[1].find(" generated=expansion_reply,4128782")) << calls[1];
}

TEST(LogonAgent, PostResultsAtEachVersion) {
  const std::string results = R"([["R1",true,["a","b"]],["R2",false,[]]])";
  const std::string properties = R"([["user",1],["userHomeDirectory","HOME"],["systemDirectory","SYS"])";
  struct Case {
    int version;
    std::string args;
    int interval;
  } cases[] = {
      {1, R"([1,"S1",[["R1",true],["R2",false]]])", -1},
      {2, "[2,\"S1\"," + results + "]", -1},
      {3, "[3,\"S1\"," + results + "," + properties + "]]", -1},
      {7, "[7,\"S1\"," + results + "," + properties + R"(,["equipmentID","EQ1"]]])", -1},
      {8, "[8,\"S1\"," + results + "," + properties + R"(,["equipmentID","EQ1"]]])", 30},
      {9, "[9,\"S1\"," + results + "," + properties + R"(,["equipmentID","EQ1"],["x64",true]]])", 30},
      {15, "[15,\"S1\"," + results + "," + properties + R"(,["equipmentID","EQ1"],["x64",true]]])", 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version);
    Session s(Scenario(
        c.version,
        R"("continue": false, "interval": 30, "zone": "Quarantine", "zone_commands": ["LOGOUT", "", "NOTE"])"));
    ASSERT_SESSION(s);
    FakeEngine engine;
    BOOL proceed = TRUE;
    RQString zone(L"before");
    RQStringMZ commands;
    commands.Add(L"OLD");
    ASSERT_EQ(0u, s.agent->PostResults(&engine, &proceed, &zone, &commands));
    EXPECT_EQ(c.args, Appliance::Args(s.appliance.Calls(11).at(0)));
    EXPECT_FALSE(engine.ItemsLeft());
    EXPECT_FALSE(proceed);
    EXPECT_STREQ(L"Quarantine", static_cast<const wchar_t*>(zone));
    ASSERT_EQ(2u, commands.GetCount());
    EXPECT_STREQ(L"LOGOUT", commands.GetAt(0));
    EXPECT_STREQ(L"NOTE", commands.GetAt(1));
    EXPECT_EQ(c.interval, engine.interval);
  }
}

TEST(LogonAgent, PostResultsEdges) {
  Session s(Scenario(7, R"("faults": [{"procedure": 11, "call": 1, "result": [1, "Z", []]}])"));
  ASSERT_SESSION(s);
  FakeEngine engine;
  engine.equipment_ = L"";  // no equipment identifier: no property for it
  BOOL proceed = FALSE;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->PostResults(nullptr, &proceed, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->PostResults(&engine, nullptr, nullptr, nullptr));
  ASSERT_EQ(0u, s.agent->PostResults(&engine, &proceed, nullptr, nullptr));
  EXPECT_TRUE(proceed);
  EXPECT_EQ(R"([7,"S1",[["R1",true,["a","b"]],["R2",false,[]]],)"
            R"([["user",1],["userHomeDirectory","HOME"],["systemDirectory","SYS"]]])",
            Appliance::Args(s.appliance.Calls(11).at(0)));
  // An Integer where the continue flag belongs.
  RQStringMZ commands;
  commands.Add(L"OLD");
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->PostResults(&engine, &proceed, nullptr, &commands));
  EXPECT_EQ(0u, commands.GetCount());
}

TEST(LogonAgent, PostSubsequentResultsFromVersion7) {
  {
    Session s(Scenario(6));
    ASSERT_SESSION(s);
    FakeEngine engine;
    RQString zone(L"Z0");
    int32_t classification = 0;
    EXPECT_EQ(kAgentCallNotBuilt, s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, &zone, nullptr));
    EXPECT_EQ(1u, s.appliance.Journal().size());
  }
  Session s(Scenario(7, R"("subsequent": [
      {"classification": 3, "text": "t", "list": ["[InterrogationLiterals]", "N1=FILE,R9,x"], "interval": 60,
       "zone": "Z1", "zone_commands": ["LOGOUT"]},
      {"classification": 2, "list": ["N2=FILE,R9,x"], "interval": 0, "zone": "Z2", "zone_commands": []}])"));
  ASSERT_SESSION(s);
  FakeEngine engine;
  engine.hash_ = L"JUST_CLASSIFIED";
  RQString zone(L"Z0");
  RQStringMZ commands;
  int32_t classification = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->PostSubsequentResults(&engine, nullptr, &classification, &zone, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->PostSubsequentResults(&engine, L"TEAM", nullptr, &zone, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, nullptr, nullptr));
  ASSERT_EQ(0u, s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, &zone, &commands));
  EXPECT_EQ(R"([7,"TEAM","Z0","JUST_CLASSIFIED",[["R1",true,["a","b"]],["R2",false,[]]]])",
            Appliance::Args(s.appliance.Calls(21).at(0)));
  EXPECT_EQ(3, classification);
  EXPECT_EQ(1, engine.clears);
  EXPECT_EQ(std::vector<std::string>{"N1=FILE,R9,x"}, engine.literals);
  EXPECT_EQ(60, engine.interval);
  EXPECT_STREQ(L"Z1", static_cast<const wchar_t*>(zone));
  ASSERT_EQ(1u, commands.GetCount());
  EXPECT_STREQ(L"LOGOUT", commands.GetAt(0));

  // A list without the section header leaves the engine's list; the session is not needed.
  s.agent->Logoff();
  ASSERT_EQ(0u, s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, &zone, &commands));
  EXPECT_EQ(R"([7,"TEAM","Z1","JUST_CLASSIFIED",[["R1",true,[]],["R2",false,[]]]])",
            Appliance::Args(s.appliance.Calls(21).at(1)));
  EXPECT_EQ(2, classification);
  EXPECT_EQ(1, engine.clears);
  EXPECT_EQ(std::vector<std::string>{"N1=FILE,R9,x"}, engine.literals);
  EXPECT_EQ(0, engine.interval);
  EXPECT_STREQ(L"Z2", static_cast<const wchar_t*>(zone));
  EXPECT_EQ(0u, commands.GetCount());
}

const char kAgents[] = R"("agents": [
    {"name": "A1", "number1": 1, "text1": "t1", "number2": 2, "fileType": "msi", "version": "1.0.2",
     "url": "${BASE}/postauth/a1.msi", "number3": 3, "targetUser": "user", "installArguments": "/q", "extra": 9},
    {"name": "A2", "url": "u2"}],
  "deploy": [{"name": "D1", "fileType": "dll", "installArguments": "-s", "extra": 9}])";

TEST(LogonAgent, AgentListsAtEachVersion) {
  struct Case {
    int version;
    const char* agentArgs;  // the installArguments the records carry
    bool deployExtra;       // procedure 12 carries one more Integer
  } cases[] = {{4, "", false}, {5, "/q", false}, {9, "/q", false}, {10, "/q", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version);
    Session s(Scenario(c.version, kAgents));
    ASSERT_SESSION(s);
    AgentList list;
    list.Add(new AgentRecord());  // emptied first
    ASSERT_EQ(0u, s.agent->GetAgentList(&list));
    ASSERT_EQ(2u, list.GetCount());
    AgentRecord* a1 = list.First();
    EXPECT_STREQ(L"A1", a1->name);
    EXPECT_EQ(1, a1->number1);
    EXPECT_STREQ(L"t1", a1->text1);
    EXPECT_EQ(2, a1->number2);
    EXPECT_STREQ(L"msi", a1->fileType);
    EXPECT_STREQ(L"1.0.2", a1->version);
    EXPECT_STREQ(("https://127.0.0.1:" + std::to_string(s.appliance.Port()) + "/postauth/a1.msi").c_str(),
                 Narrow(a1->url).c_str());
    EXPECT_EQ(3, a1->number3);
    EXPECT_STREQ(L"user", a1->targetUser);
    EXPECT_STREQ(std::wstring(c.agentArgs, c.agentArgs + strlen(c.agentArgs)).c_str(), a1->installArguments);
    EXPECT_FALSE(a1->provisioned);
    EXPECT_STREQ(L"A2", list.Next(a1)->name);
    EXPECT_EQ(nullptr, list.Next(list.Next(a1)));

    AgentList deploy;
    ASSERT_EQ(0u, s.agent->GetDeployList(&deploy));
    ASSERT_EQ(1u, deploy.GetCount());
    EXPECT_STREQ(L"D1", deploy.First()->name);
    EXPECT_STREQ(L"dll", deploy.First()->fileType);
    EXPECT_STREQ(c.version >= 5 ? L"-s" : L"", deploy.First()->installArguments);
  }
}

TEST(LogonAgent, AgentListShapes) {
  Session s(Scenario(5, R"("faults": [
      {"procedure": 17, "call": 0, "result": [[["A1", 1, "t", 2, "f", "v", "u", 3, "user", "args"], 5,
                                                ["A2", 1, "t", 2, "f", "v", "u", 3, "user", "args"]]]},
      {"procedure": 17, "call": 1, "result": [[["A1", "1", "t", 2, "f", "v", "u", 3, "user", "args"]]]},
      {"procedure": 17, "call": 2, "result": [[["A1", 1, "t", 2, "f", "v", "u", 3, "user"]]]},
      {"procedure": 17, "call": 3, "result": ["not agents"]}])"));
  ASSERT_SESSION(s);
  AgentList list;
  // The walk ends at the first member that is not a Structure.
  ASSERT_EQ(0u, s.agent->GetAgentList(&list));
  ASSERT_EQ(1u, list.GetCount());
  EXPECT_STREQ(L"args", list.First()->installArguments);
  // A mistyped or missing member spoils the list.
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->GetAgentList(&list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->GetAgentList(&list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(kAgentReplyUnreadable, s.agent->GetAgentList(&list));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->GetAgentList(nullptr));
}

TEST(LogonAgent, ReportsSendNamesAndFlags) {
  Session s(Scenario(10, R"("report_answer": {"per_call": [false, true]})"));
  ASSERT_SESSION(s);
  AgentList list;
  auto* first = new AgentRecord();
  first->name = L"A1";
  first->provisioned = true;
  auto* second = new AgentRecord();
  second->name = L"B2";
  list.Add(first);
  list.Add(second);
  BOOL answer = TRUE;
  ASSERT_EQ(0u, s.agent->ReportAgentList(&list, &answer));
  EXPECT_FALSE(answer);
  EXPECT_EQ(R"([10,"S1",[["A1",true],["B2",false]]])", Appliance::Args(s.appliance.Calls(19).at(0)));
  ASSERT_EQ(0u, s.agent->ReportDeployList(&list, &answer));
  EXPECT_EQ(R"([10,"S1",[["A1",true],["B2",false]]])", Appliance::Args(s.appliance.Calls(13).at(0)));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, s.agent->ReportAgentList(nullptr, &answer));
}

TEST(LogonAgent, TextListsFromVersion4) {
  auto texts = [] {
    TextList list;
    list.push_back(std::make_unique<RQString>(L"x"));
    list.push_back(std::make_unique<RQString>(L"y z"));
    return list;
  };
  {
    Session s(Scenario(3));
    ASSERT_SESSION(s);
    TextList list = texts();
    EXPECT_EQ(kAgentCallNotBuilt, s.agent->PostTextList(4, &list));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(s.appliance.Calls(18).empty());
  }
  Session s(Scenario(4));
  ASSERT_SESSION(s);
  TextList list = texts();
  ASSERT_EQ(0u, s.agent->PostTextList(4, &list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(R"([4,"S1",4,["x","y z"]])", Appliance::Args(s.appliance.Calls(18).at(0)));
}

TEST(LogonAgent, QueryNumberOnlyAtVersion15) {
  {
    Session s(Scenario(14));
    ASSERT_SESSION(s);
    int32_t number = 0;
    EXPECT_EQ(kAgentCallNotBuilt, s.agent->QueryNumber(5, &number));
    EXPECT_TRUE(s.appliance.Calls(35).empty());
  }
  Session s(Scenario(15, R"("query_numbers": {"5": 77})"));
  ASSERT_SESSION(s);
  int32_t number = 0;
  ASSERT_EQ(0u, s.agent->QueryNumber(5, &number));
  EXPECT_EQ(77, number);
  EXPECT_EQ(R"([15,"S1",5])", Appliance::Args(s.appliance.Calls(35).at(0)));
}

TEST(LogonAgent, PostLogFileUploadsTheForm) {
  Session s(Scenario(15, R"("faults": [{"path": "/postauth/__EPClogfilesubmit", "call": 1, "http_status": 500}])"));
  ASSERT_SESSION(s);
  TempFile file("first line\r\nsecond line\r\n");
  ASSERT_EQ(0u, s.agent->PostLogFile(L"COOKIE-1", file.Path()));
  EXPECT_EQ(ERROR_INTERNET_EXTENDED_ERROR, s.agent->PostLogFile2(L"COOKIE-1", file.Path()));
  std::vector<std::string> journal = s.appliance.Journal();
  ASSERT_EQ(3u, journal.size());
  EXPECT_NE(std::string::npos, journal[1].find("cookie=\"FARLINK_ID=COOKIE-1\"")) << journal[1];
  EXPECT_NE(std::string::npos, journal[1].find("form=exact")) << journal[1];
  EXPECT_EQ("first line\r\nsecond line\r\n", s.appliance.Get("uploads/0/file").body);
}

// Sends that note how many exchanges are on the wire at once. The first holds its send until a second one
// arrives, or for a second when none does.
struct SendWatch {
  std::atomic<int> inFlight{0};
  std::atomic<int> most{0};
  UniqueHandle firstEntered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle secondEntered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  void Enter() {
    const int now = ++inFlight;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    if (now == 1 && WaitForSingleObject(firstEntered.get(), 0) == WAIT_TIMEOUT) {
      SetEvent(firstEntered.get());
      WaitForSingleObject(secondEntered.get(), 1000);
    } else if (now > 1) {
      SetEvent(secondEntered.get());
    }
  }
  void Leave() { --inFlight; }
};
SendWatch* g_sendWatch = nullptr;

BOOL WINAPI WatchedSend(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body, DWORD bodyLength) {
  g_sendWatch->Enter();
  const BOOL sent = HttpSendRequestW(request, headers, headersLength, body, bodyLength);
  g_sendWatch->Leave();
  return sent;
}

BOOL WINAPI WatchedSendEx(HINTERNET request, LPINTERNET_BUFFERSW in, LPINTERNET_BUFFERSW out, DWORD flags,
                          DWORD_PTR context) {
  g_sendWatch->Enter();
  const BOOL sent = HttpSendRequestExW(request, in, out, flags, context);
  g_sendWatch->Leave();
  return sent;
}

// The logon flow and the recurring interrogation share one agent: an exchange asked for while another is
// under way waits until that one is over, so the two never interleave on the agent's transport.
TEST(LogonAgent, ExchangesOfTwoThreadsDoNotOverlap) {
  Session s(Scenario(15, R"("deploy": [{"name": "A1"}])"));
  ASSERT_SESSION(s);
  SendWatch watch;
  g_sendWatch = &watch;
  GetTransportSeams().sendRequest = WatchedSend;
  GetTransportSeams().sendRequestEx = WatchedSendEx;
  AgentList list;
  DWORD deployed = ERROR_GEN_FAILURE;
  std::thread deploy([&] { deployed = s.agent->GetDeployList(&list); });
  const bool sending = WaitForSingleObject(watch.firstEntered.get(), 10000) == WAIT_OBJECT_0;
  FakeEngine engine;
  const DWORD listed = sending ? s.agent->GetInterrogationList(&engine) : ERROR_TIMEOUT;
  deploy.join();
  ResetTransportSeams();
  g_sendWatch = nullptr;
  ASSERT_TRUE(sending);
  EXPECT_EQ(1, watch.most.load());
  EXPECT_EQ(0u, deployed);
  EXPECT_EQ(1u, list.GetCount());
  EXPECT_EQ(0u, listed);
  EXPECT_EQ(1u, s.appliance.Calls(12).size());
  EXPECT_EQ(1u, s.appliance.Calls(10).size());
}

std::vector<std::string> g_traces;
void WINAPI KeepTrace(const wchar_t* line) { g_traces.push_back(Narrow(line)); }

// One logon session talks to one server. When the kept-alive connection drops and the next handshake
// meets another certificate, every kind of exchange of the session is refused before its body goes, and
// the refusal names the certificate's hash; a new Connect pins the certificate it meets.
TEST(LogonAgent, AnotherCertificateWithinTheSessionIsRefused) {
  g_traces.clear();
  SetCertificateTrace(KeepTrace);
  Session s(Scenario(15, R"("subsequent": [{"classification": 3}])"));
  ASSERT_SESSION(s);
  ASSERT_EQ("", s.appliance.SwitchCertificate("wrong-name"));
  // The refused requests carry zeros in place of their bodies.
  s.appliance.ExpectProblem("undecodable call");
  s.appliance.ExpectProblem("body is not framed by the boundary");

  FakeEngine engine;
  RQString zone(L"Z0");
  int32_t classification = 0;
  AgentList list;
  TempFile file("log line\r\n");
  EXPECT_EQ(kCertificateRefused, s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, &zone, nullptr));
  EXPECT_EQ(kCertificateRefused, s.agent->GetAgentList(&list));
  EXPECT_EQ(kCertificateRefused, s.agent->PostLogFile(L"COOKIE-1", file.Path()));
  SetCertificateTrace(nullptr);
  EXPECT_TRUE(s.appliance.Calls(21).empty());
  EXPECT_TRUE(s.appliance.Calls(17).empty());
  const std::string upload = s.appliance.Get("uploads/0/body").body;
  EXPECT_FALSE(upload.empty());
  EXPECT_EQ(std::string::npos, upload.find_first_not_of('\0'));
  ASSERT_EQ(3u, g_traces.size());
  for (const std::string& trace : g_traces) {
    EXPECT_NE(std::string::npos, trace.find("(not the certificate of this logon session)")) << trace;
    EXPECT_NE(std::string::npos, trace.find(" subject=wrong.invalid")) << trace;
  }

  ASSERT_EQ(0u, s.agent->Connect(s.appliance.Server().c_str(), nullptr, nullptr, nullptr, nullptr, FALSE, nullptr, TRUE,
                                 0, 0));
  EXPECT_EQ(0u, s.agent->PostSubsequentResults(&engine, L"TEAM", &classification, &zone, nullptr));
  EXPECT_EQ(1u, s.appliance.Calls(21).size());
}

TEST(AgentList, KeepsOrderAndOwnsRecords) {
  AgentList list;
  EXPECT_EQ(nullptr, list.First());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, list.Add(nullptr));
  auto* a = new AgentRecord();
  auto* b = new AgentRecord();
  a->name = L"a";
  b->name = L"b";
  EXPECT_EQ(0u, list.Add(a));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, list.Add(a));
  EXPECT_EQ(0u, list.Add(b));
  EXPECT_EQ(a, list.First());
  EXPECT_EQ(b, list.Next(a));
  EXPECT_EQ(nullptr, list.Next(b));
  EXPECT_EQ(nullptr, list.Next(nullptr));
  EXPECT_EQ(2u, list.GetCount());
  list.Clear();
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(nullptr, list.First());
}

}  // namespace
}  // namespace kesi
