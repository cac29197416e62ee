#include "KESInterrogator.h"

#include <commctrl.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstdarg>
#include <cwchar>
#include <new>

#include "AgentList.h"
#include "BrokerClient.h"
#include "BrokerCommand.h"
#include "ConfigurationRoute.h"
#include "LastError.h"
#include "LogBundle.h"
#include "LogFolder.h"
#include "LogonAgent.h"
#include "LogonRoute.h"
#include "ModuleVersion.h"
#include "PageOrigin.h"
#include "Provision.h"
#include "RQCredential.h"
#include "Recurring.h"
#include "SystemInterrogator.h"
#include "messages.h"

namespace kesi::controls {

namespace {

constexpr wchar_t kObjectName[] = L"Velmora Interrogator";
constexpr wchar_t kTeamPrefix[] = L"FARLINK_ID=";
constexpr wchar_t kLogoutCommand[] = L"LOGOUT";
// The logon flow's outcomes (DoInterrogationLogon's *code) and the post's LOGOUT code.
constexpr LONG kOutcomeSuccess = 0;
constexpr LONG kOutcomeFailure = 1;
constexpr LONG kOutcomeLogout = 3;
constexpr LONG kPostLogout = 100;
// What a refused script call puts into result: a command the broker would not take, and a URL or file the
// caller may not name.
constexpr ULONG kResultRefused = 1;
constexpr ULONG kResultNotAllowed = ERROR_ACCESS_DENIED;
// URLs and zones are read into buffers of this many characters, terminator included.
constexpr size_t kUrlChars = 260;
constexpr size_t kZoneChars = 260;
// The families of agents that DeployAgents installs.
constexpr const wchar_t* kDeployFamilies[] = {L"ORV", L"Lumenway", L"TQC", L"ZAR"};
// A hung progress window does not hold the flow up for longer than this.
constexpr UINT kProgressTimeoutMs = 2000;
// ConnectMobile: the download's bounds.
constexpr DWORD kMobileTimeoutMs = 45000;
constexpr ULONGLONG kMobileMaxBytes = 64ull << 20;
constexpr DWORD kMobileChunk = 1023;

// Runs body, turning an exception into a code: nothing is thrown out of a COM method.
template <typename Body>
HRESULT Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CopyOut(const std::wstring& text, BSTR* out) {
  *out = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The library's file version text ("a.b.c.d"); empty when the module has no version resource.
std::wstring LibraryVersion() {
  CModuleVersion version;
  if (version.LoadModule(ControlsModule()) != 0) return std::wstring();
  return version.GetFileVersionText();
}

// The second piece of url split at "/" (runs of "/" count as one), from its first 259 characters: the
// host (and port) of "scheme://host/path". False when there is no second piece.
bool ServerNameOfUrl(const wchar_t* url, std::wstring* server) {
  if (!url) return false;
  std::wstring text(url, wcsnlen(url, kUrlChars - 1));
  size_t piece = 0;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == L'/') ++at;
    if (at >= text.size()) break;
    size_t end = text.find(L'/', at);
    if (end == std::wstring::npos) end = text.size();
    if (++piece == 2) {
      *server = text.substr(at, end - at);
      return true;
    }
    at = end;
  }
  return false;
}

// True when path, made full, lies inside the user's log folder.
bool InLogFolder(const wchar_t* path) {
  if (!path || !*path) return false;
  wchar_t folder[MAX_PATH];
  if (GetLogFolder(folder) != 0) return false;
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring prefix(folder);
  if (!prefix.empty() && prefix.back() != L'\\') prefix += L'\\';
  if (length <= prefix.size()) return false;
  return CompareStringOrdinal(full, static_cast<int>(prefix.size()), prefix.c_str(), static_cast<int>(prefix.size()),
                              TRUE) == CSTR_EQUAL &&
         wcschr(full + prefix.size(), L'\\') == nullptr;
}

// A provisioner for credential, or null when it could not be made (its constructor allocates).
std::unique_ptr<install::Cprovision> NewProvisioner(const std::wstring& credential) {
  try {
    return std::make_unique<install::Cprovision>(credential.c_str());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// A word of a remote install; a null argument is an empty word.
std::wstring_view Word(const wchar_t* text) { return text ? std::wstring_view(text) : std::wstring_view(); }

}  // namespace

KESInterrogator::KESInterrogator() noexcept : ScriptableObject(IID_IKESInterrogator, CLSID_KESInterrogator) {}

KESInterrogator::~KESInterrogator() {
  route_.reset();
  installer_.reset();
  if (agent_) agent_->Release();
  if (engine_) engine_->Release();
  LogMsg(kLogInfo, MSG_INTERROGATOR_DESTROYED);
  CriticalSectionLock hold(logLock_);
  log_.Close();
}

HRESULT KESInterrogator::FinalConstruct() {
  HRESULT hr = ScriptableObject::FinalConstruct();
  if (FAILED(hr)) return hr;
  return Guarded([&]() -> HRESULT {
    log_.SetCipher(true);
    log_.Open(kInterrogatorLogName, kLogFresh, ControlsModule());
    agent_ = new (std::nothrow) LogonAgent();
    engine_ = new (std::nothrow) SystemInterrogator();
    route_.reset(new (std::nothrow) ConfigurationRoute(&log_));
    if (!agent_ || !engine_ || !route_) return E_OUTOFMEMORY;
    // The configuration-file route asks no questions: nothing may wait for a user on the caller's thread.
    route_->Transfer().options = kTransferNoDialogs;
    // The inner installer is optional: the forwarded methods answer E_POINTER without it.
    CreateInstallerObject(IID_IKESInstaller, installer_.put_void());
    return S_OK;
  });
}

void KESInterrogator::Log(int level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  {
    CriticalSectionLock hold(logLock_);
    log_.Print(level, format, &args);
  }
  va_end(args);
}

void KESInterrogator::LogMsg(int level, DWORD messageId, ...) {
  va_list args;
  va_start(args, messageId);
  {
    CriticalSectionLock hold(logLock_);
    log_.PrintMsgId(level, messageId, &args);
  }
  va_end(args);
}

void KESInterrogator::ProgressStep() {
  HWND window;
  {
    CriticalSectionLock hold(Lock());
    window = progressWindow_;
  }
  if (window && IsWindow(window)) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, PBM_STEPIT, 0, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, kProgressTimeoutMs, &ignored);
  }
}

// ---- properties and the script's methods -------------------------------------------------------------

HRESULT KESInterrogator::get_VersionString(BSTR* pVal) {
  if (!pVal) {
    Log(kLogError, L"get_VersionString() called but the argument is NULL.");
    return E_POINTER;
  }
  *pVal = nullptr;
  return Guarded([&]() -> HRESULT {
    const std::wstring version = LibraryVersion();
    Log(kLogInfo, L"get_VersionString() returning %s.", version.c_str());
    return CopyOut(version, pVal);
  });
}

HRESULT KESInterrogator::GetVersion(BSTR* version) { return get_VersionString(version); }

HRESULT KESInterrogator::get_AuthCredential(BSTR* pVal) {
  if (!pVal) {
    Log(kLogError, L"get_AuthCredential() called but the argument is NULL.");
    return E_POINTER;
  }
  *pVal = nullptr;
  return Guarded([&]() -> HRESULT {
    std::wstring credential;
    bool set;
    {
      CriticalSectionLock hold(Lock());
      credential = credential_;
      set = credentialSet_;
    }
    Log(kLogInfo, L"get_AuthCredential() returning %s.", MaskCredential(credential).c_str());
    return set ? CopyOut(credential, pVal) : S_OK;
  });
}

HRESULT KESInterrogator::put_AuthCredential(BSTR newVal) {
  return Guarded([&]() -> HRESULT {
    ComPtr<IKESInstaller> installer;
    {
      CriticalSectionLock hold(Lock());
      installer = installer_;
    }
    if (installer) installer->put_AuthCredential(newVal);
    if (!newVal) {
      Log(kLogError, L"put_AuthCredential() called but the argument is NULL.");
      return E_POINTER;
    }
    std::wstring credential(newVal);
    Log(kLogInfo, L"put_AuthCredential() cred length [%d].", static_cast<int>(credential.size()));
    const std::wstring shown = MaskCredential(credential);
    {
      CriticalSectionLock hold(Lock());
      credential_.swap(credential);
      credentialSet_ = true;
    }
    Log(kLogInfo, L"put_AuthCredential() set %s, this[%d].", shown.c_str(),
        static_cast<int>(reinterpret_cast<INT_PTR>(this)));
    return S_OK;
  });
}

HRESULT KESInterrogator::SetPBwindow(OLE_HANDLE progressBar) {
  // A window handle's significant bits are its low 32, sign-extended on 64-bit systems.
  HWND window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<LONG>(progressBar)));
  CriticalSectionLock hold(Lock());
  progressWindow_ = window;
  return S_OK;
}

DWORD KESInterrogator::PushLogs(const wchar_t* path) {
  std::wstring credential;
  {
    CriticalSectionLock hold(Lock());
    credential = credential_;
  }
  const DWORD rc = agent_->PostLogFile(credential.c_str(), path);
  if (rc != 0) {
    LogMsg(kLogError, MSG_PUSH_LOGS_FAILED, path ? path : L"null", rc);
  } else {
    LogMsg(kLogInfo, MSG_PUSH_LOGS_SUCCEEDED, path ? path : L"null");
  }
  return rc;
}

HRESULT KESInterrogator::PushLogsAndReturnCode(BSTR PushLogUrl, ULONG* result) {
  return Guarded([&]() -> HRESULT {
    // From script only the client's own logs may leave the machine.
    DWORD rc;
    if (!InLogFolder(PushLogUrl)) {
      rc = kResultNotAllowed;
      LogMsg(kLogError, MSG_PUSH_LOGS_FAILED, PushLogUrl ? PushLogUrl : L"null", rc);
    } else {
      rc = PushLogs(PushLogUrl);
    }
    if (result) *result = rc;
    return S_OK;
  });
}

HRESULT KESInterrogator::GetLogFileLocation(BSTR* pVal) {
  if (!pVal) {
    Log(kLogError, L"GetLogFileLocation() called but the argument is NULL.");
    return E_POINTER;
  }
  *pVal = nullptr;
  return Guarded([&]() -> HRESULT {
    wchar_t path[MAX_PATH] = {};
    GetBootstrapperLogPath(path);
    Log(kLogInfo, L"GetLogFileLocation() returning %s.", path);
    *pVal = SysAllocString(path);
    return *pVal ? S_OK : E_OUTOFMEMORY;
  });
}

HRESULT KESInterrogator::IsComponentMsiInstalled(BSTR* isInstalled) {
  ComPtr<IKESInstaller> installer;
  {
    CriticalSectionLock hold(Lock());
    installer = installer_;
  }
  return installer ? installer->IsComponentMsiInstalled(isInstalled) : E_POINTER;
}

HRESULT KESInterrogator::get_ConfigurationString(BSTR* pVal) {
  ComPtr<IKESInstaller> installer;
  {
    CriticalSectionLock hold(Lock());
    installer = installer_;
  }
  return installer ? installer->get_ConfigurationString(pVal) : E_POINTER;
}

HRESULT KESInterrogator::put_ConfigurationString(BSTR newVal) {
  ComPtr<IKESInstaller> installer;
  {
    CriticalSectionLock hold(Lock());
    installer = installer_;
  }
  return installer ? installer->put_ConfigurationString(newVal) : E_POINTER;
}

void KESInterrogator::InstallerSettings(std::wstring* credential, std::wstring* configuration) {
  ComPtr<IKESInstaller> installer;
  {
    CriticalSectionLock hold(Lock());
    installer = installer_;
    *credential = credential_;
  }
  configuration->clear();
  if (!installer) return;
  UniqueBstr text;
  if (SUCCEEDED(installer->get_AuthCredential(text.put())) && text) *credential = text.get();
  if (SUCCEEDED(installer->get_ConfigurationString(text.put())) && text) *configuration = text.get();
}

bool KESInterrogator::RefusedByPageHost(const wchar_t* operation, const wchar_t* url) {
  const std::wstring page = PageUrl();
  if (page.empty() || SameHostAsPage(url ? url : L"", page)) return false;
  Log(kLogError, L"%s refused: the host of [%s] is not the host of the page [%s].", operation, url ? url : L"null",
      page.c_str());
  return true;
}

HRESULT KESInterrogator::InstallComponentMsi(BSTR serverIP, BSTR MsiURL, ULONG* result) {
  if (!result) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    if (RefusedByPageHost(L"InstallComponentMsi()", MsiURL)) {
      *result = kResultNotAllowed;
      return S_OK;
    }
    std::wstring credential, configuration, line;
    InstallerSettings(&credential, &configuration);
    if (!BuildMsiInstallCommand(credential, configuration, serverIP ? serverIP : L"", MsiURL ? MsiURL : L"", &line)) {
      Log(kLogError, L"KESInterrogator::InstallComponentMsi - Copy length exceeded");
      *result = kResultRefused;
      return S_OK;
    }
    DWORD reply = 0;
    {
      CriticalSectionLock flow(flowLock_);
      RemoteIt(line, &reply, &log_);
    }
    *result = reply;
    return S_OK;
  });
}

HRESULT KESInterrogator::DoVistaInterrogation(BSTR authID, BSTR urlConfiguration, BSTR urlPost, ULONG* result) {
  if (!result) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    const std::wstring_view team = authID ? authID : L"";
    const std::wstring_view configuration = urlConfiguration ? urlConfiguration : L"";
    const std::wstring_view post = urlPost ? urlPost : L"";
    if (RefusedByPageHost(L"DoVistaInterrogation()", urlConfiguration)) {
      *result = kResultNotAllowed;
      return S_OK;
    }
    std::wstring line;
    if (!BuildInterrogationCommand(team, configuration, post, &line)) {
      // Name the first word that did not fit.
      std::wstring partial = L"1";
      const wchar_t* message = L"KESInterrogator::DoVistaInterrogation - Copy length exceeded, urlPost buffer overflow";
      AppendCommandWord(partial, team);
      if (partial.size() > kBrokerCommandChars) {
        message = L"KESInterrogator::DoVistaInterrogation - Copy length exceeded, teamId buffer overflow";
      } else {
        AppendCommandWord(partial, configuration);
        if (partial.size() > kBrokerCommandChars)
          message = L"KESInterrogator::DoVistaInterrogation - Copy length exceeded, urlConfiguration buffer overflow";
      }
      Log(kLogError, message);
      *result = kResultRefused;
      return S_OK;
    }
    DWORD reply = 0;
    // One exchange with the broker at a time; it writes to the object's log, which is reopened here.
    CriticalSectionLock flow(flowLock_);
    if (team == L"junk") {
      // The broker runs already: one exchange with it, within the bound.
      SendToRunningBroker(line, &reply, &log_);
    } else {
      {
        CriticalSectionLock hold(logLock_);
        log_.Close();
        log_.Open(kInterrogatorLogName, kLogFresh, ControlsModule());
      }
      RemoteIt(line, &reply, &log_);
    }
    *result = reply;
    return S_OK;
  });
}

HRESULT KESInterrogator::RunLogonInterrogation(BSTR urlConfiguration, BSTR urlPost, ULONG* result) {
  if (!result) return E_POINTER;
  // Script hosts site their objects too; only a page (a site that tells a URL) is refused.
  if (!PageUrl().empty()) {
    *result = kResultNotAllowed;
    return S_OK;
  }
  LONG code = kOutcomeFailure;
  const HRESULT hr = DoInterrogationLogon(urlConfiguration, urlPost, &code);
  *result = hr == static_cast<HRESULT>(install::kProvisionHandedToLauncher) ? install::kProvisionHandedToLauncher
            : FAILED(hr)                                                    ? kOutcomeFailure
                                                                            : static_cast<ULONG>(code);
  return S_OK;
}

HRESULT KESInterrogator::get_Zone(BSTR* zone) {
  if (!zone) return E_POINTER;
  *zone = nullptr;
  if (!PageUrl().empty()) return E_ACCESSDENIED;
  return Guarded([&]() -> HRESULT {
    std::wstring copy;
    {
      CriticalSectionLock hold(Lock());
      copy = zone_;
    }
    return CopyOut(copy, zone);
  });
}

// ---- operations outside the type library -------------------------------------------------------------

HRESULT KESInterrogator::get_Name(BSTR* name) {
  if (!name) {
    Log(kLogError, L"get_Name() called but the argument is NULL.");
    return E_POINTER;
  }
  Log(kLogInfo, L"get_Name() returning %s.", kObjectName);
  *name = SysAllocString(kObjectName);
  return *name ? S_OK : E_OUTOFMEMORY;
}

HRESULT KESInterrogator::Run(LONG* code) {
  CriticalSectionLock flow(flowLock_);
  return Guarded([&] { return route_->Run(code); });
}

HRESULT KESInterrogator::ReadInterrogationConfiguration(const wchar_t* url, LONG* code) {
  return Guarded([&]() -> HRESULT {
    std::wstring credential;
    {
      CriticalSectionLock hold(Lock());
      credential = credential_;
    }
    CriticalSectionLock flow(flowLock_);
    route_->SetCredential(credential.c_str());
    return route_->ReadInterrogationConfiguration(url, code);
  });
}

HRESULT KESInterrogator::PostResult(const wchar_t* url, const wchar_t* cookie, LONG* code) {
  CriticalSectionLock flow(flowLock_);
  return Guarded([&] { return route_->PostResult(url, cookie, code); });
}

HRESULT KESInterrogator::PostResult(const wchar_t* url, LONG* code) {
  return Guarded([&]() -> HRESULT {
    std::wstring credential;
    {
      CriticalSectionLock hold(Lock());
      credential = credential_;
    }
    CriticalSectionLock flow(flowLock_);
    route_->SetCredential(credential.c_str());
    return route_->PostResult(url, code);
  });
}

HRESULT KESInterrogator::GetLocation(BSTR* location) {
  CriticalSectionLock flow(flowLock_);
  return Guarded([&] { return route_->GetLocation(location); });
}

std::wstring KESInterrogator::CredentialCopy() {
  CriticalSectionLock hold(Lock());
  return credential_;
}

HRESULT KESInterrogator::GetRecurringThread(HANDLE* thread) {
  if (!thread) return E_POINTER;
  if (!*thread) *thread = DuplicateRecurringThread();
  return S_OK;
}

HRESULT KESInterrogator::ProvisionAgents(LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    AgentList list;
    const DWORD listed = agent_->GetAgentList(&list);
    ProgressStep();
    if (listed != 0) {
      *code = static_cast<LONG>(listed);
      return S_OK;
    }
    *code = 0;
    std::unique_ptr<install::Cprovision> provisioner = NewProvisioner(CredentialCopy());
    if (!provisioner) {
      *code = ERROR_OUTOFMEMORY;
      return S_OK;
    }
    for (AgentRecord* record = list.First(); record; record = list.Next(record)) {
      provisioner->setAgent(record);
      DWORD out = 0;
      const bool installed = provisioner->Install(&out);
      ProgressStep();
      if (!installed) {
        if (out == install::kProvisionHandedToLauncher) {
          *code = static_cast<LONG>(install::kProvisionHandedToLauncher);
          break;
        }
        *code = E_FAIL;
      }
    }
    return S_OK;
  });
}

HRESULT KESInterrogator::DeployAgents(LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    AgentList list;
    const DWORD listed = agent_->GetDeployList(&list);
    ProgressStep();
    if (listed != 0) {
      *code = static_cast<LONG>(listed);
      return S_OK;
    }
    const std::wstring credential = CredentialCopy();
    *code = 0;
    std::unique_ptr<install::Cprovision> provisioner;
    for (AgentRecord* record = list.First(); record; record = list.Next(record)) {
      bool family = false;
      const wchar_t* name = record->name;
      for (const wchar_t* wanted : kDeployFamilies) family = family || wcscmp(name, wanted) == 0;
      if (!family) continue;
      if (!provisioner && !(provisioner = NewProvisioner(credential))) {
        *code = E_FAIL;
        break;
      }
      provisioner->setAgent(record);
      DWORD out = 0;
      record->provisioned = provisioner->Install(&out);
      ProgressStep();
      if (!record->provisioned) *code = E_FAIL;
    }
    BOOL answer = FALSE;
    agent_->ReportDeployList(&list, &answer);
    return S_OK;
  });
}

HRESULT KESInterrogator::GetConfigurationLogon(const wchar_t* urlConfiguration, LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    std::wstring server;
    const bool hasServer = ServerNameOfUrl(urlConfiguration, &server);
    Log(kLogInfo, L"GetConfigurationLogon() parsed server name [%s].", hasServer ? server.c_str() : L"null");

    std::wstring credential;
    bool credentialSet;
    {
      CriticalSectionLock hold(Lock());
      credential = credential_;
      credentialSet = credentialSet_;
    }
    std::wstring team;
    if (credentialSet) {
      team = credential.compare(0, wcslen(kTeamPrefix), kTeamPrefix) == 0 ? credential.substr(wcslen(kTeamPrefix))
                                                                          : credential;
      Log(kLogInfo, L"GetConfigurationLogon() parsed team credential [%s].", MaskCredential(team).c_str());
    } else {
      Log(kLogInfo, L"GetConfigurationLogon() team credential not set.");
    }
    {
      CriticalSectionLock hold(Lock());
      serverName_ = server;
      serverNameSet_ = hasServer;
      teamCredential_ = team;
    }

    RQCredential proxyCredential(kCredentialTargetName, 0);
    DWORD rc = agent_->Connect(hasServer ? server.c_str() : nullptr, nullptr, credentialSet ? team.c_str() : nullptr,
                               nullptr, &proxyCredential, TRUE, nullptr, TRUE, 0, 0);
    if (rc == 0) {
      Log(kLogInfo, L"GetConfigurationLogon() connected.");
      rc = FetchInterrogationList(agent_, engine_);
      const int interval = engine_->RecurringInterval();
      {
        CriticalSectionLock hold(Lock());
        recurringInterval_ = interval;
      }
      Log(rc == 0 ? kLogInfo : kLogError,
          rc == 0 ? L"GetConfigurationLogon() got list." : L"GetConfigurationLogon() failed to get list.");
    } else {
      Log(kLogError, L"GetConfigurationLogon() failed to connect.");
    }
    if (rc != 0) {
      LogMsg(kLogError, MSG_GET_FAILED, hasServer ? server.c_str() : L"null", rc);
    } else {
      LogMsg(kLogInfo, MSG_CONFIGURATION_DOWNLOADED);
    }
    *code = static_cast<LONG>(rc);
    return S_OK;
  });
}

HRESULT KESInterrogator::RunLogon(LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    Log(kLogInfo, L"KESInterrogator ::RunLogon: calling LogPrintDebugMsgId...");
    LogMsg(kLogInfo, MSG_ENTER_RUN);
    *code = static_cast<LONG>(engine_->EvaluateAll());
    LogMsg(kLogInfo, MSG_EXIT_RUN);
    return S_OK;
  });
}

HRESULT KESInterrogator::PostResultLogon(const wchar_t* urlPost, LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    BOOL proceed = FALSE;
    RQString zone;
    RQStringMZ zoneCommands;
    LONG rc = static_cast<LONG>(PostInterrogationResults(agent_, engine_, &proceed, &zone, &zoneCommands));
    const wchar_t* firstCommand = zoneCommands.GetCount() ? zoneCommands[0] : nullptr;
    const bool logout = firstCommand && wcscmp(firstCommand, kLogoutCommand) == 0;

    std::wstring kept(static_cast<const wchar_t*>(zone));
    if (kept.size() > kZoneChars - 1) kept.resize(kZoneChars - 1);
    std::wstring team, server;
    bool serverSet;
    {
      CriticalSectionLock hold(Lock());
      zone_ = kept;
      team = teamCredential_;
      server = serverName_;
      serverSet = serverNameSet_;
    }

    const int interval = engine_->RecurringInterval();
    SetRecurringIntervalSeconds(interval);
    if (interval > 0) {
      PrepareRecurringEvents(&log_);
      // Re-interrogation follows only a session that the appliance accepted and did not end.
      if (rc == 0 && !logout) {
        RecurringSession session;
        session.agent = agent_;
        session.teamCredential = team.c_str();
        session.serverName = server.c_str();
        StartRecurringInterrogation(session, &log_);
      }
    }

    Log(kLogInfo,
        L"PostResultLogon() successfully set interrogation results, contine [%d], zone [%s] zonecommand [%s]",
        proceed ? 1 : 0, kept.c_str(), firstCommand ? firstCommand : L"");
    if (rc == 0) {
      if (proceed) {
        std::wstring location;
        {
          CriticalSectionLock flow(flowLock_);
          if (const wchar_t* posted = route_->Location()) location = posted;
        }
        LogMsg(kLogInfo, MSG_POST_RESULT_SUCCEEDED, location.c_str());
      } else if (logout) {
        Log(kLogInfo, L"Got LOGOUT zone command.");
        rc = kPostLogout;
      } else {
        rc = kOutcomeFailure;
      }
    }
    if (rc != 0) LogMsg(kLogError, MSG_POST_RESULT_FAILED, serverSet ? server.c_str() : L"null", rc);
    *code = rc;
    return S_OK;
  });
}

HRESULT KESInterrogator::DoInterrogationLogon(const wchar_t* urlConfiguration, const wchar_t* urlPost, LONG* code) {
  if (!code) return E_POINTER;
  CriticalSectionLock flow(flowLock_);
  return Guarded([&] { return RunLogonFlow(urlConfiguration, urlPost, code); });
}

HRESULT KESInterrogator::RunLogonFlow(const wchar_t* urlConfiguration, const wchar_t* urlPost, LONG* code) {
  *code = kOutcomeFailure;
  LONG working = E_FAIL;
  LONG configured = 0;
  GetConfigurationLogon(urlConfiguration, &configured);
  ProgressStep();
  if (configured == 0) {
    LONG provisioned = 0;
    ProvisionAgents(&provisioned);
    if (provisioned == static_cast<LONG>(install::kProvisionHandedToLauncher))
      return static_cast<HRESULT>(install::kProvisionHandedToLauncher);
    const bool provisioningFailed = provisioned != 0;
    working = 0;
    ProgressStep();
    LONG evaluated = 0;
    RunLogon(&evaluated);
    ProgressStep();
    if (working == 0) {
      PostResultLogon(urlPost, &working);
      ProgressStep();
    }
    if (working == 0 && !provisioningFailed) {
      LONG deployed = 0;
      DeployAgents(&deployed);
      if (deployed == 0) {
        *code = kOutcomeSuccess;
        return S_OK;
      }
    }
  }
  if (working == kPostLogout) {
    *code = kOutcomeLogout;
    return S_OK;
  }
  // Support staff get the logs of a failed logon, once per object, unless the bootstrapper does that.
  if (!IsBootstrapperRunning()) {
    bool first;
    {
      CriticalSectionLock hold(Lock());
      first = !logBundleMade_;
      logBundleMade_ = true;
    }
    if (first) {
      wchar_t bundle[MAX_PATH] = {};
      const DWORD built = BuildLogBundle(nullptr, bundle);
      if (built != 0) Log(kLogError, L"DoInterrogationLogon() could not build the log bundle: %d", static_cast<int>(built));
      PushLogs(built == 0 ? bundle : nullptr);
    } else {
      PushLogs(nullptr);
    }
  }
  return S_OK;
}

// ---- the remote installs -----------------------------------------------------------------------------

void KESInterrogator::RemoteInstall(const wchar_t* command, std::initializer_list<std::wstring_view> words,
                                    LONG* code) {
  std::wstring credential, configuration;
  InstallerSettings(&credential, &configuration);
  std::wstring line;
  if (!BuildInstallCommand(command, credential, configuration, words, &line)) {
    Log(kLogError, L"KESInterrogator::RemoteInstall - Copy length exceeded");
    *code = static_cast<LONG>(kResultRefused);
    return;
  }
  DWORD reply = 0;
  CriticalSectionLock flow(flowLock_);
  RemoteIt(line, &reply, &log_);
  *code = static_cast<LONG>(reply);
}

HRESULT KESInterrogator::RemoteInstallComponentVer(const wchar_t* cabUrl, const wchar_t* versionString,
                                                   const wchar_t* location, LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&] {
    RemoteInstall(L"4", {Word(cabUrl), Word(versionString), Word(location)}, code);
    return S_OK;
  });
}

HRESULT KESInterrogator::RemoteInstallComponent(const wchar_t* cabUrl, const wchar_t* fileName, const wchar_t* classId,
                                                const wchar_t* versionString, const wchar_t* location, LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&] {
    RemoteInstall(L"3", {Word(cabUrl), Word(fileName), Word(classId), Word(versionString), Word(location)}, code);
    return S_OK;
  });
}

HRESULT KESInterrogator::RemoteInstall3rdPartyComponent(const wchar_t* cabUrl, const wchar_t* fileName,
                                                        const wchar_t* classId, const wchar_t* versionString,
                                                        const wchar_t* location, LONG* code) {
  if (!code) return E_POINTER;
  return Guarded([&] {
    RemoteInstall(L"2", {Word(cabUrl), Word(fileName), Word(classId), Word(versionString), Word(location)}, code);
    return S_OK;
  });
}

// ---- the mobile path ---------------------------------------------------------------------------------

DWORD KESInterrogator::ConnectMobile(const wchar_t* url) {
  if (!url) return ERROR_INVALID_PARAMETER;
  const size_t length = wcsnlen(url, kUrlChars);
  if (length >= kUrlChars) return ERROR_FILENAME_EXCED_RANGE;
  try {
    const std::wstring text(url, length);
    constexpr wchar_t kScheme[] = L"https://";
    constexpr size_t kSchemeChars = 8;
    if (text.size() <= kSchemeChars ||
        CompareStringOrdinal(text.c_str(), kSchemeChars, kScheme, kSchemeChars, TRUE) != CSTR_EQUAL)
      return ERROR_INVALID_PARAMETER;
    const size_t hostEnd = text.find(L'/', kSchemeChars);
    const size_t pathStart = text.find(L"/rq-state-", kSchemeChars);
    if (hostEnd == std::wstring::npos || hostEnd == kSchemeChars || pathStart == std::wstring::npos)
      return ERROR_INVALID_PARAMETER;
    const std::wstring host = text.substr(kSchemeChars, hostEnd - kSchemeChars);
    const std::wstring path = text.substr(pathStart);

    UniqueInternet session(InternetOpenW(L"ConnectMobile", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
      const DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      Log(kLogError, L"Failed to get https handle");
      return error;
    }
    DWORD timeout = kMobileTimeoutMs;
    InternetSetOptionW(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionW(session.get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    UniqueInternet connection(InternetConnectW(session.get(), host.c_str(), INTERNET_DEFAULT_HTTPS_PORT, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    const DWORD flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_IGNORE_CERT_CN_INVALID |
                        INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
    UniqueInternet request(connection ? HttpOpenRequestW(connection.get(), L"GET", path.c_str(), nullptr, nullptr,
                                                         nullptr, flags, 0)
                                      : nullptr);
    if (!request) {
      const DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      Log(kLogError, L"Failed to get https handle");
      return error;
    }
    DWORD security = 0;
    DWORD size = sizeof security;
    if (!InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size) ||
        (security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA,
         !InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security)))
      Log(kLogError, L"Couldn't set option");
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
      const DWORD error = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
      Log(kLogError, L"Failed to send request");
      return error;
    }

    wchar_t folder[MAX_PATH];
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"kmc", 0, temp)) return LastErrorOr(ERROR_PATH_NOT_FOUND);
    DeleteFileW(temp);
    std::wstring cab = std::wstring(temp) + L".cab";
    DWORD error = 0;
    {
      UniqueFile file(CreateFileW(cab.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) return LastErrorOr(ERROR_CANNOT_MAKE);
      char buffer[kMobileChunk];
      ULONGLONG total = 0;
      for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request.get(), buffer, kMobileChunk, &read)) {
          error = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
          break;
        }
        if (read == 0) break;
        total += read;
        DWORD written = 0;
        if (total > kMobileMaxBytes) {
          error = ERROR_FILE_TOO_LARGE;
          break;
        }
        if (!WriteFile(file.get(), buffer, read, &written, nullptr) || written != read) {
          error = LastErrorOr(ERROR_WRITE_FAULT);
          break;
        }
      }
    }
    if (error != 0) {
      Log(kLogError, L"Failed to download cab");
      DeleteFileW(cab.c_str());
      return error;
    }
    constexpr wchar_t kMobileCab[] = L"\\mobilekesi.cab";
    if (!MoveFileExW(cab.c_str(), kMobileCab, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
      error = LastErrorOr(ERROR_CANNOT_MAKE);
      DeleteFileW(cab.c_str());
      return error;
    }
    const INT_PTR launched = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", kMobileCab, nullptr, nullptr, SW_SHOWNORMAL));
    if (launched <= 32) {
      Log(kLogError, L"Failed to Launch wceload.exe, %d", static_cast<int>(launched));
      return launched == 0 ? ERROR_OUTOFMEMORY : static_cast<DWORD>(launched);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

HRESULT CreateInterrogatorObject(REFIID riid, void** out) { return ScriptableObject<IKESInterrogator>::Create<KESInterrogator>(riid, out); }

}  // namespace kesi::controls
