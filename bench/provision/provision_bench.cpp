// Provisioning 10 agents that are all current (nothing is fetched): one provisioner per agent, as the
// interrogator makes them (folders, the ciphered log, the credential, the decisions and their log lines),
// against the bare checks behind the same answers: the target's attributes, and for a DLL its version
// resource. Both over the same files in the deploy folder, interleaved.
//   provision_bench [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "ModuleVersion.h"
#include "Provision.h"

using namespace kesi;

namespace {

constexpr int kAgents = 10;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Agent {
  std::unique_ptr<AgentRecord> record;
  std::wstring target;
  bool dll = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rounds = argc > 1 ? _wtoi(argv[1]) : 50;
  if (rounds < 1) rounds = 50;

  install::Cprovision probe(L"FARLINK_ID=BENCH");
  const std::wstring folder = probe.BaseFolder() + L"\\deploy\\provbench";
  CreateDirectoryW((probe.BaseFolder() + L"\\deploy").c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring versioned = std::wstring(system) + L"\\kernel32.dll";

  std::vector<Agent> agents(kAgents);
  for (int i = 0; i < kAgents; ++i) {
    Agent& agent = agents[static_cast<size_t>(i)];
    agent.dll = i % 2 == 0;
    const std::wstring name = L"agent" + std::to_wstring(i) + (agent.dll ? L".dll" : L".cfg");
    agent.target = folder + L"\\" + name;
    if (agent.dll) {
      CopyFileW(versioned.c_str(), agent.target.c_str(), FALSE);
    } else {
      HANDLE file = CreateFileW(agent.target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      DWORD written = 0;
      WriteFile(file, "[cfg]\r\n", 7, &written, nullptr);
      CloseHandle(file);
    }
    agent.record = std::make_unique<AgentRecord>();
    agent.record->name = (L"Agent " + std::to_wstring(i)).c_str();
    agent.record->version = L"0.0.0.0";  // never newer than the file
    agent.record->url = (L"https://127.0.0.1:9/postauth/provbench/" + name).c_str();
  }

  std::vector<double> provision, bare;
  int notCurrent = 0;
  for (int round = 0; round < rounds; ++round) {
    double start = bench::Now();
    for (Agent& agent : agents) {
      install::Cprovision provisioner(L"FARLINK_ID=BENCH");
      provisioner.setAgent(agent.record.get());
      DWORD code = 0;
      if (!provisioner.Install(&code) || provisioner.Outcome() != install::ProvisionOutcome::kCurrent) ++notCurrent;
    }
    provision.push_back((bench::Now() - start) * 1e6);

    start = bench::Now();
    for (Agent& agent : agents) {
      if (GetFileAttributesW(agent.target.c_str()) == INVALID_FILE_ATTRIBUTES) ++notCurrent;
      if (agent.dll) {
        CModuleVersion version;
        WORD parts[4] = {};
        if (version.Load(agent.target.c_str()) || !version.GetFileVersion(&parts[0], &parts[1], &parts[2], &parts[3]))
          ++notCurrent;
      }
    }
    bare.push_back((bench::Now() - start) * 1e6);
  }

  for (Agent& agent : agents) DeleteFileW(agent.target.c_str());
  RemoveDirectoryW(folder.c_str());
  if (notCurrent) {
    std::fprintf(stderr, "provision bench: %d answers were not \"current\"\n", notCurrent);
    return 1;
  }
  const double p = Median(provision), b = Median(bare);
  std::printf("provision 10 current agents: median %.0f us over %d rounds (%.0f us per agent)\n", p, rounds, p / kAgents);
  std::printf("bare checks (attributes, DLL versions): median %.0f us\n", b);
  std::printf("ratio provision / bare: %.1f\n", b > 0 ? p / b : 0.0);
  return 0;
}
