// The logon interrogation through the interrogator object (create, credential, DoInterrogationLogon:
// connect, list, agent list, evaluation, post, deploy list and report, with the object's log) against
// the bare logon route of the same appliance (connect, list, evaluation, post), alternately in one
// process, median of each. Goal: the object costs at most 10 % more. A second reference adds the three
// agent-list exchanges that the object's flow makes and the bare route does not, so that the object's own
// cost (creation, provisioner, log) shows apart from them.
//   interrogator_bench HOST:PORT [RUNS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "Handles.h"
#include "KESInterrogator.h"
#include "LogonAgent.h"
#include "LogonRoute.h"
#include "RQCredential.h"
#include "SystemInterrogator.h"
#include "AgentList.h"

using kesi::bench::Now;

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One logon interrogation through a new object; seconds, or -1 when it did not succeed.
double ThroughObject(const std::wstring& configuration, const std::wstring& post) {
  const double t0 = Now();
  kesi::ComPtr<IKESInterrogator> object;
  if (FAILED(kesi::controls::CreateInterrogatorObject(IID_IKESInterrogator, object.put_void()))) return -1;
  auto* interrogator = static_cast<kesi::controls::KESInterrogator*>(object.get());
  kesi::UniqueBstr credential(SysAllocString(L"SIMSESSION-0001"));
  interrogator->put_AuthCredential(credential.get());
  LONG code = -1;
  const HRESULT hr = interrogator->DoInterrogationLogon(configuration.c_str(), post.c_str(), &code);
  object.reset();
  const double t = Now() - t0;
  if (hr != S_OK || code != 0) {
    std::fprintf(stderr, "the object's logon interrogation failed: 0x%08lX, code %ld\n", static_cast<unsigned long>(hr),
                 static_cast<long>(code));
    return -1;
  }
  return t;
}

// The same interrogation on the bare route: a new agent and engine, connect, list, evaluation, post; with
// agentLists also the agent list, the deploy list and its report that the object's flow exchanges.
double BareRoute(const wchar_t* server, bool agentLists) {
  const double t0 = Now();
  kesi::LogonAgent* agent = new kesi::LogonAgent();
  kesi::SystemInterrogator* engine = new kesi::SystemInterrogator();
  kesi::RQCredential proxy(kesi::kCredentialTargetName, 0);
  DWORD rc = agent->Connect(server, nullptr, L"SIMSESSION-0001", nullptr, &proxy, TRUE, nullptr, TRUE, 0, 0);
  if (rc == 0) rc = kesi::FetchInterrogationList(agent, engine);
  if (rc == 0) rc = engine->EvaluateAll();
  BOOL proceed = FALSE;
  kesi::RQString zone;
  kesi::RQStringMZ commands;
  if (rc == 0) rc = kesi::PostInterrogationResults(agent, engine, &proceed, &zone, &commands);
  if (rc == 0 && agentLists) {
    kesi::AgentList agents, deploy;
    BOOL answer = FALSE;
    rc = agent->GetAgentList(&agents);
    if (rc == 0) rc = agent->GetDeployList(&deploy);
    if (rc == 0) rc = agent->ReportDeployList(&deploy, &answer);
  }
  engine->Release();
  agent->Release();
  const double t = Now() - t0;
  if (rc != 0) {
    std::fprintf(stderr, "the bare route failed: %lu\n", static_cast<unsigned long>(rc));
    return -1;
  }
  return t;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: interrogator_bench HOST:PORT [RUNS]\n");
    return 2;
  }
  const wchar_t* server = argv[1];
  const int runs = argc > 2 && _wtoi(argv[2]) > 0 ? _wtoi(argv[2]) : 9;
  kesi::ComApartment apartment(COINIT_MULTITHREADED);
  const std::wstring base = std::wstring(L"https://") + server;
  const std::wstring configuration = base + L"/postauth/config";
  const std::wstring post = base + L"/postauth/post";

  // One of each first, so that neither side pays for the process's first connection and loads.
  if (ThroughObject(configuration, post) < 0 || BareRoute(server, false) < 0 || BareRoute(server, true) < 0) return 1;
  std::vector<double> object, bare, lists;
  for (int i = 0; i < runs; ++i) {
    const double o = ThroughObject(configuration, post);
    const double b = BareRoute(server, false);
    const double l = BareRoute(server, true);
    if (o < 0 || b < 0 || l < 0) return 1;
    object.push_back(o);
    bare.push_back(b);
    lists.push_back(l);
  }
  const double mo = Median(object);
  const double mb = Median(bare);
  const double ml = Median(lists);
  std::printf("bare logon route (connect, list, evaluation, post)              median %.3f s\n", mb);
  std::printf("  the same and the agent list, deploy list and report (17, 12, 13) median %.3f s\n", ml);
  std::printf("through the object (DoInterrogationLogon with its log)          median %.3f s\n", mo);
  std::printf("  ratio to the bare route %.2f (goal <= 1.10 %s); to the same procedures %.2f\n", mo / mb,
              mo / mb <= 1.10 ? "met" : "NOT met", mo / ml);
  std::printf("  over %d runs each, alternately in one process\n", runs);
  return 0;
}
