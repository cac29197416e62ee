// kesiprobe provision: the agent provisioning as the interrogator runs it after a logon (log on, fetch the
// agent list, provision each agent on this machine with one provisioner per agent), with a report of what
// each agent is, what was done about it and how it ended. Run again, every agent reports current.
#include <windows.h>
#include <wininet.h>

#include <new>
#include <string>

#include "FileTransfer.h"
#include "Handles.h"
#include "LogonAgent.h"
#include "Probe.h"
#include "Provision.h"

namespace kesi::probe {

namespace {

using kesi::install::Cprovision;
using kesi::install::ProvisionOutcome;

constexpr wchar_t kCommand[] = L"provision";
constexpr DWORD kIgnoreCertificate = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION;

std::wstring Field(const RQString& text) {
  return text.IsEmpty() ? std::wstring(L"-") : std::wstring(static_cast<const wchar_t*>(text));
}

std::wstring DoneText(ProvisionOutcome outcome) {
  switch (outcome) {
    case ProvisionOutcome::kRefused: return L"refused: its URL or name gives no plain place in the deploy folder, nothing was fetched or written";
    case ProvisionOutcome::kFolderFailed: return L"the deploy folder could not be made";
    case ProvisionOutcome::kCurrent: return L"current, nothing to do";
    case ProvisionOutcome::kDownloadFailed: return L"the download failed or was not trusted; nothing was kept";
    case ProvisionOutcome::kInstalled: return L"fetched and installed";
    case ProvisionOutcome::kInstallFailed: return L"fetched, the install failed";
    case ProvisionOutcome::kHandedToLauncher: return L"fetched; the broker's package is installed by the launcher (1051)";
    default: return L"not run";
  }
}

}  // namespace

int RunProvision(int argc, wchar_t** argv) {
  ApplianceOptions options;
  if (int usage = ParseApplianceOptions(kCommand, argc, argv, &options)) return usage;
  try {
    PrintCertificateMode(options.ignoreCertificateErrors);
    ComPtr<LogonAgent> agent;
    agent.attach(new (std::nothrow) LogonAgent());
    if (!agent) return Failed(kCommand, L"making the agent", ERROR_OUTOFMEMORY);
    if (DWORD rc = agent->Connect(options.appliance, nullptr, options.credential, nullptr, nullptr, FALSE, nullptr,
                                  options.ignoreCertificateErrors, 0, 0))
      return Failed(kCommand, L"logon", rc);
    AgentList list;
    if (DWORD rc = agent->GetAgentList(&list)) return Failed(kCommand, L"fetching the agent list (procedure 17)", rc);
    Print(stdout, std::wstring(L"appliance ") + options.appliance + L", protocol version " +
                      std::to_wstring(agent->GetVersion()) + L", " + std::to_wstring(list.GetCount()) + L" agents\n\n");

    unsigned current = 0, installed = 0, failed = 0, index = 0;
    for (AgentRecord* record = list.First(); record; record = list.Next(record)) {
      Cprovision provisioner(agent->GetSession());
      provisioner.SetTransfer(options.ignoreCertificateErrors ? kIgnoreCertificate : 0, kTransferNoDialogs);
      provisioner.setAgent(record);
      DWORD code = 0;
      const bool ok = provisioner.Install(&code);
      std::wstring text = L"agent " + std::to_wstring(++index) + L": " + Field(record->name) + L"\n";
      text += L"  found:   version " + Field(record->version) + L", file type " + Field(record->fileType) + L", url " +
              Field(record->url) + L"\n";
      if (!provisioner.Target().empty()) text += L"  target:  " + provisioner.Target() + L"\n";
      text += L"  done:    " + DoneText(provisioner.Outcome()) + L"\n";
      std::wstring outcome = ok ? L"ok" : L"FAILED";
      if (code) outcome += L", code " + std::to_wstring(code);
      if (!ok && provisioner.LastResult())
        outcome += L", step result " + std::to_wstring(provisioner.LastResult()) + L" (" + Hex(provisioner.LastResult()) + L")";
      text += L"  outcome: " + outcome + L"\n\n";
      Print(stdout, text);
      if (!ok) ++failed;
      else if (provisioner.Outcome() == ProvisionOutcome::kCurrent) ++current;
      else ++installed;
    }
    Print(stdout, std::to_wstring(index) + L" agents: " + std::to_wstring(current) + L" current, " +
                      std::to_wstring(installed) + L" installed, " + std::to_wstring(failed) +
                      L" failed (the provisioner's log: kesiProvisioner.log in the user's log folder)\n");
    return failed ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Failed(kCommand, L"the report", ERROR_OUTOFMEMORY);
  }
}

}  // namespace kesi::probe
