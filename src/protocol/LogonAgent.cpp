#include "LogonAgent.h"

#include <memory>
#include <new>

namespace kesi {

namespace {

constexpr wchar_t kLiteralSection[] = L"[InterrogationLiterals]";

bool VersionInRange(int32_t version) { return version >= 1 && version <= kAnnouncedVersion; }

// Appends a new Structure to parent and returns it (owned by parent), or null without memory.
LPRPCStructure* AddChild(LPRPCVector& parent) {
  std::unique_ptr<LPRPCStructure> child(new (std::nothrow) LPRPCStructure());
  if (!child || parent.AddStructure(child.get(), true) != 0) return nullptr;
  return child.release();  // parent's now
}

// A {String key, value} pair of the properties Structure; value is added by the caller.
LPRPCStructure* AddProperty(LPRPCVector& properties, const char* key) {
  LPRPCStructure* pair = AddChild(properties);
  if (pair && pair->AddString(key) != 0) return nullptr;
  return pair;
}

// One entry per result, in the engine's order: name, TRUE unless the value is 0, and from version 2 the
// item texts, which are taken out of the result as they are sent. Every result's items are drained even
// when memory runs out part way, so that none is left for a later post.
bool AddResultEntries(LPRPCVector& parameters, LogonInterrogator& engine, int32_t version) {
  LPRPCStructure* entries = AddChild(parameters);
  bool ok = entries != nullptr;
  for (LogonResult* result = engine.FirstResult(); result; result = result->Next()) {
    LPRPCStructure* entry = ok ? AddChild(*entries) : nullptr;
    ok = entry && entry->AddString(result->NameUtf8()) == 0 && entry->AddBoolean(result->Value() != 0) == 0;
    LPRPCStructure* items = ok && version >= 2 ? AddChild(*entry) : nullptr;
    if (version >= 2) ok = ok && items;
    RQString* item = nullptr;
    while ((item = result->NextItem(item)) != nullptr) {
      if (ok && items) ok = items->AddString(item->GetUtf8()) == 0;
    }
  }
  return ok;
}

bool AddProperties(LPRPCVector& parameters, LogonInterrogator& engine, int32_t version) {
  LPRPCStructure* properties = AddChild(parameters);
  if (!properties) return false;
  LPRPCStructure* pair = AddProperty(*properties, "user");
  if (!pair || pair->AddInteger(static_cast<int32_t>(engine.User())) != 0) return false;
  pair = AddProperty(*properties, "userHomeDirectory");
  if (!pair || pair->AddString(engine.UserHomeDirectory().GetUtf8()) != 0) return false;
  pair = AddProperty(*properties, "systemDirectory");
  if (!pair || pair->AddString(engine.SystemDirectory().GetUtf8()) != 0) return false;
  if (version >= 7 && !engine.EquipmentId().IsEmpty()) {
    pair = AddProperty(*properties, "equipmentID");
    if (!pair || pair->AddString(engine.EquipmentId().GetUtf8()) != 0) return false;
  }
  if (version >= 9) {
    pair = AddProperty(*properties, "x64");
    if (!pair || pair->AddBoolean(engine.Is64Bit()) != 0) return false;
  }
  return true;
}

// Hands the lines of a list reply to the engine: the "[InterrogationLiterals]" line (any case) clears it
// and opens the literal section, any other line starting with "[" closes it, and the lines inside go to
// AddLiteral. The walk stops at the first member that is not a String.
DWORD FeedList(LPRPCVector& lines, LogonInterrogator& engine) {
  bool inSection = false;
  lines.Rewind();
  while (const LPRPCValue* member = lines.Next()) {
    if (member->type != LPRPC_STRING) break;
    Utf8Buffer line;
    if (line.SetText(member->value.text) != 0) return ERROR_OUTOFMEMORY;
    const wchar_t* text = line.GetWide();
    if (!text) return ERROR_OUTOFMEMORY;
    if (lstrcmpiW(text, kLiteralSection) == 0) {
      engine.Clear();
      inSection = true;
    } else if (text[0] == L'[') {
      inSection = false;
    } else if (inSection) {
      engine.AddLiteral(text);
    }
  }
  return 0;
}

// The zone commands of a reply, empty ones dropped.
DWORD FeedZoneCommands(LPRPCVector& commands, RQStringMZ* zoneCommands) {
  if (!zoneCommands) return 0;
  commands.Rewind();
  while (const LPRPCValue* member = commands.Next()) {
    if (member->type != LPRPC_STRING) continue;
    Utf8Buffer command;
    if (command.SetText(member->value.text) != 0) return ERROR_OUTOFMEMORY;
    const wchar_t* text = command.GetWide();
    if (!text) return ERROR_OUTOFMEMORY;
    if (*text) zoneCommands->Add(text);
  }
  return 0;
}

// Reads the members of one agent Structure into a new record; null when one is missing or mistyped.
std::unique_ptr<AgentRecord> ReadAgent(LPRPCVector& agent, int32_t version, bool extraInteger) {
  const char* name;
  const char* text1;
  const char* fileType;
  const char* agentVersion;
  const char* url;
  const char* targetUser;
  const char* installArguments = nullptr;
  int32_t number1, number2, number3, extra;
  agent.Rewind();
  if (!agent.NextString(&name) || !agent.NextInteger(&number1) || !agent.NextString(&text1) ||
      !agent.NextInteger(&number2) || !agent.NextString(&fileType) || !agent.NextString(&agentVersion) ||
      !agent.NextString(&url) || !agent.NextInteger(&number3) || !agent.NextString(&targetUser))
    return nullptr;
  if (version >= 5 && !agent.NextString(&installArguments)) return nullptr;
  if (extraInteger && !agent.NextInteger(&extra)) return nullptr;
  std::unique_ptr<AgentRecord> record(new (std::nothrow) AgentRecord());
  if (!record) return nullptr;
  record->name.AssignUtf8(name);
  record->number1 = number1;
  record->text1.AssignUtf8(text1);
  record->number2 = number2;
  record->fileType.AssignUtf8(fileType);
  record->version.AssignUtf8(agentVersion);
  record->url.AssignUtf8(url);
  record->number3 = number3;
  record->targetUser.AssignUtf8(targetUser);
  if (installArguments) record->installArguments.AssignUtf8(installArguments);
  return record;
}

}  // namespace

LogonAgent::LogonAgent() noexcept = default;

LogonAgent::~LogonAgent() {
  if (transport_ && transport_->IsConnected()) transport_->Close();
  transport_.reset();
  session_.Clear();
}

ULONG LogonAgent::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG LogonAgent::Release() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    Disconnect();
    delete this;
  }
  return static_cast<ULONG>(count);
}

bool LogonAgent::IsConnected() { return transport_ && transport_->IsConnected(); }

DWORD LogonAgent::GetSetting1() { return settings_[0]; }
void LogonAgent::SetSetting1(DWORD value) { settings_[0] = value; }
DWORD LogonAgent::GetSetting2() { return settings_[1]; }
void LogonAgent::SetPair1(DWORD first, DWORD second) {
  settings_[2] = first;
  settings_[3] = second;
}
DWORD LogonAgent::GetPair1First() { return settings_[2]; }
DWORD LogonAgent::GetPair1Second() { return settings_[3]; }
void LogonAgent::SetPair2(DWORD first, DWORD second) {
  settings_[4] = first;
  settings_[5] = second;
}
DWORD LogonAgent::GetPair2First() { return settings_[4]; }
DWORD LogonAgent::GetPair2Second() { return settings_[5]; }
void LogonAgent::SetPair3(DWORD first, DWORD second) {
  settings_[6] = first;
  settings_[7] = second;
}
DWORD LogonAgent::GetPair3First() { return settings_[6]; }
DWORD LogonAgent::GetPair3Second() { return settings_[7]; }
DWORD LogonAgent::Reserved16() { return 0; }

const wchar_t* LogonAgent::GetSession() {
  const wchar_t* text = session_.IsEmpty() ? nullptr : session_.GetWide();
  return text ? text : L"";
}

const wchar_t* LogonAgent::GetProxyAddress() { return transport_ ? transport_->GetProxyAddress() : L""; }
RQCredential* LogonAgent::GetProxyCredential() { return transport_ ? transport_->GetProxyCredential() : nullptr; }
RQCertificateInfo* LogonAgent::GetSecondCertificate() {
  return transport_ ? transport_->GetSecondCertificate() : nullptr;
}
RQCertificateInfo* LogonAgent::GetServerCertificate() {
  return transport_ ? transport_->GetServerCertificate() : nullptr;
}
int32_t LogonAgent::GetVersion() { return version_; }
bool LogonAgent::HasVersion4() { return version_ >= 4; }
DWORD LogonAgent::CloseRequest() {
  CriticalSectionLock lock(exchangeLock_);
  return transport_ ? transport_->CloseRequest() : 0;
}

DWORD LogonAgent::Connect(const wchar_t* host, const RQCertificateInfo* trustedCertificate, const wchar_t* sessionText,
                          const wchar_t* proxyAddress, const RQCredential* proxyCredentialSource, BOOL allowUI,
                          HWND parentWindow, BOOL ignoreCertificateErrors, DWORD reserved1, DWORD reserved2) {
  CriticalSectionLock lock(exchangeLock_);
  if (!host || !*host) return ERROR_INVALID_PARAMETER;
  if (!transport_) {
    LPRPCTransport* made = nullptr;
    if (DWORD error = CreateTransport(&made, this)) return error;
    if (!made) return ERROR_INTERNAL_ERROR;
    transport_.reset(made);
  }
  if (trustedCertificate) {
    if (DWORD error = transport_->SetTrustedCertificate(trustedCertificate)) return error;
  }
  if (proxyAddress && *proxyAddress) {
    if (DWORD error = transport_->SetProxy(proxyAddress, proxyCredentialSource)) return error;
  }
  if (DWORD error = transport_->Open(host, allowUI, parentWindow, ignoreCertificateErrors, reserved1, reserved2))
    return error;
  // One logon session talks to one server: the certificate accepted first is the one it accepts.
  transport_->StartCertificatePin();
  return Logon(sessionText);
}

DWORD LogonAgent::Disconnect() {
  CriticalSectionLock lock(exchangeLock_);
  return transport_ ? transport_->Close() : 0;
}

DWORD LogonAgent::Logon(const wchar_t* sessionText) {
  CriticalSectionLock lock(exchangeLock_);
  return sessionText && *sessionText ? ResumeSession(sessionText) : NewSession();
}

DWORD LogonAgent::CheckConnection(bool needSession) {
  if (!IsConnected()) return ERROR_NOT_CONNECTED;
  if (needSession && session_.IsEmpty()) return kAgentNoSession;
  return 0;
}

DWORD LogonAgent::Call(Utf8Buffer* message) {
  CriticalSectionLock lock(exchangeLock_);
  return transport_ ? transport_->Call(kLogonPath, message) : ERROR_NOT_CONNECTED;
}

DWORD LogonAgent::PostLogFile(const wchar_t* cookie, const wchar_t* filePath) {
  CriticalSectionLock lock(exchangeLock_);
  return transport_ ? transport_->PostFile(kLogUploadPath, cookie, filePath) : ERROR_NOT_CONNECTED;
}

DWORD LogonAgent::PostLogFile2(const wchar_t* cookie, const wchar_t* filePath) { return PostLogFile(cookie, filePath); }

DWORD LogonAgent::Unsupported44() { return ERROR_INTERNAL_ERROR; }

int LogonAgent::AddCommonHead(LPRPCStructure& parameters) {
  int status = parameters.AddInteger(version_);
  return status ? status : parameters.AddString(session_.GetText());
}

DWORD LogonAgent::BeginSessionCall(LPRPCStructure& parameters) {
  if (DWORD error = CheckConnection(true)) return error;
  if (!VersionInRange(version_) || AddCommonHead(parameters) != 0) return kAgentCallNotBuilt;
  return 0;
}

DWORD LogonAgent::Exchange(int32_t procedure, LPRPCStructure& parameters, Reply& reply) {
  if (BuildCall(procedure, &parameters, reply.message) != LPRPCStatus::kOk) return kAgentCallNotBuilt;
  if (DWORD error = Call(&reply.message)) return error;
  LPRPCFault fault;
  LPRPCStatus status = ReadReply(reply.message, reply.structure, &reply.result, &fault);
  if (status == LPRPCStatus::kTooLarge) return kReplyTooLarge;
  return status == LPRPCStatus::kOk ? 0 : kAgentReplyUnreadable;
}

DWORD LogonAgent::StartSession(int32_t procedure, const char* text) {
  if (DWORD error = CheckConnection(false)) return error;
  LPRPCStructure parameters;
  if (parameters.AddInteger(kAnnouncedVersion) != 0) return kAgentCallNotBuilt;
  if (text && parameters.AddString(text) != 0) return kAgentCallNotBuilt;
  Reply reply;
  if (DWORD error = Exchange(procedure, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  int32_t version = 0;
  const char* session = nullptr;
  if (!result->NextInteger(&version) || !result->NextString(&session)) return kAgentReplyUnreadable;
  if (!session[0]) return ERROR_INTERNAL_ERROR;
  if (session_.SetText(session) != 0) return ERROR_OUTOFMEMORY;
  version_ = version;
  return 0;
}

DWORD LogonAgent::NewSession() {
  CriticalSectionLock lock(exchangeLock_);
  return StartSession(kProcNewSession, nullptr);
}

DWORD LogonAgent::ResumeSession(const wchar_t* text) {
  CriticalSectionLock lock(exchangeLock_);
  if (!text || !*text) return ERROR_INVALID_PARAMETER;
  Utf8Buffer utf8;
  if (DWORD error = static_cast<DWORD>(utf8.SetWide(text))) return error;
  DWORD result = StartSession(kProcResumeSession, utf8.GetText());
  return result;
}

DWORD LogonAgent::Logoff() {
  CriticalSectionLock lock(exchangeLock_);
  LPRPCStructure parameters;
  Utf8Buffer message;
  DWORD result = BeginSessionCall(parameters);
  if (!result) {
    // The reply is not read.
    result = BuildCall(kProcLogoff, &parameters, message) == LPRPCStatus::kOk ? Call(&message) : kAgentCallNotBuilt;
  }
  session_.Clear();
  return result;
}

DWORD LogonAgent::QueryNumber(int32_t n, int32_t* number) {
  CriticalSectionLock lock(exchangeLock_);
  if (!number) return ERROR_INVALID_PARAMETER;
  if (DWORD error = CheckConnection(true)) return error;
  if (version_ != kAnnouncedVersion) return kAgentCallNotBuilt;
  LPRPCStructure parameters;
  if (parameters.AddInteger(kAnnouncedVersion) != 0 || parameters.AddString(session_.GetText()) != 0 ||
      parameters.AddInteger(n) != 0)
    return kAgentCallNotBuilt;
  Reply reply;
  if (DWORD error = Exchange(kProcQueryNumber, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  int32_t value = 0;
  if (!result->NextInteger(&value)) return kAgentReplyUnreadable;
  *number = value;
  return 0;
}

DWORD LogonAgent::GetInterrogationList(LogonInterrogator* receiver) {
  CriticalSectionLock lock(exchangeLock_);
  if (!receiver) return ERROR_INVALID_PARAMETER;
  LPRPCStructure parameters;
  if (DWORD error = BeginSessionCall(parameters)) return error;
  Reply reply;
  if (DWORD error = Exchange(kProcGetInterrogationList, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  LPRPCVector* lines = result->NextStructure();
  int32_t interval = 0;
  if (!lines || (version_ == 7 && !result->NextInteger(&interval))) return kAgentReplyUnreadable;
  if (DWORD error = FeedList(*lines, *receiver)) return error;
  if (version_ == 7) receiver->SetRecurringInterval(interval);
  return 0;
}

DWORD LogonAgent::PostResults(LogonInterrogator* interrogator, BOOL* continueFlag, RQString* zone,
                              RQStringMZ* zoneCommands) {
  CriticalSectionLock lock(exchangeLock_);
  if (!interrogator || !continueFlag) return ERROR_INVALID_PARAMETER;
  if (zoneCommands) zoneCommands->Clear(false);
  LPRPCStructure parameters;
  if (DWORD error = BeginSessionCall(parameters)) return error;
  if (!AddResultEntries(parameters, *interrogator, version_) ||
      (version_ >= 3 && !AddProperties(parameters, *interrogator, version_)))
    return kAgentCallNotBuilt;
  Reply reply;
  if (DWORD error = Exchange(kProcPostResults, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  bool proceed = false;
  int32_t interval = 0;
  const char* zoneText = nullptr;
  if (!result->NextBoolean(&proceed) || (version_ >= 8 && !result->NextInteger(&interval)) ||
      !result->NextString(&zoneText))
    return kAgentReplyUnreadable;
  LPRPCVector* commands = result->NextStructure();
  if (!commands) return kAgentReplyUnreadable;
  *continueFlag = proceed ? TRUE : FALSE;
  if (version_ >= 8) interrogator->SetRecurringInterval(interval);
  if (zone) zone->AssignUtf8(zoneText);
  return FeedZoneCommands(*commands, zoneCommands);
}

DWORD LogonAgent::PostSubsequentResults(LogonInterrogator* interrogator, const wchar_t* teamCredential,
                                        int32_t* classification, RQString* zone, RQStringMZ* zoneCommands) {
  CriticalSectionLock lock(exchangeLock_);
  if (!interrogator || !teamCredential || !classification || !zone) return ERROR_INVALID_PARAMETER;
  if (zoneCommands) zoneCommands->Clear(false);
  if (DWORD error = CheckConnection(false)) return error;
  if (version_ < 7 || version_ > kAnnouncedVersion) return kAgentCallNotBuilt;
  Utf8Buffer credential;
  if (credential.SetWide(teamCredential) != 0) return kAgentCallNotBuilt;
  LPRPCStructure parameters;
  bool built = parameters.AddInteger(version_) == 0 && parameters.AddString(credential.GetText()) == 0 &&
               parameters.AddString(zone->GetUtf8()) == 0 &&
               parameters.AddString(interrogator->ResultHash().GetUtf8()) == 0;
  // Results are drained even when the head could not be built, as in every post.
  if (!AddResultEntries(parameters, *interrogator, version_) || !built) return kAgentCallNotBuilt;
  credential.Clear();
  Reply reply;
  if (DWORD error = Exchange(kProcPostSubsequentResults, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  int32_t newClassification = 0;
  int32_t interval = 0;
  const char* ignored = nullptr;
  const char* zoneText = nullptr;
  if (!result->NextInteger(&newClassification) || !result->NextString(&ignored)) return kAgentReplyUnreadable;
  LPRPCVector* lines = result->NextStructure();
  if (!lines || !result->NextInteger(&interval) || !result->NextString(&zoneText)) return kAgentReplyUnreadable;
  LPRPCVector* commands = result->NextStructure();
  if (!commands) return kAgentReplyUnreadable;
  *classification = newClassification;
  if (DWORD error = FeedList(*lines, *interrogator)) return error;
  interrogator->SetRecurringInterval(interval);
  zone->AssignUtf8(zoneText);
  return FeedZoneCommands(*commands, zoneCommands);
}

DWORD LogonAgent::GetAgents(int32_t procedure, AgentList* list) {
  if (!list) return ERROR_INVALID_PARAMETER;
  list->Clear();
  LPRPCStructure parameters;
  if (DWORD error = BeginSessionCall(parameters)) return error;
  Reply reply;
  if (DWORD error = Exchange(procedure, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  LPRPCVector* agents = result->NextStructure();
  if (!agents) return kAgentReplyUnreadable;
  const bool extraInteger = procedure == kProcGetDeployList && version_ >= 10;
  agents->Rewind();
  while (const LPRPCValue* member = agents->Next()) {
    if (member->type != LPRPC_STRUCTURE) break;
    std::unique_ptr<AgentRecord> record = ReadAgent(*member->value.vector, version_, extraInteger);
    if (!record) {
      // A record that is not of the expected shape spoils the whole list.
      list->Clear();
      return kAgentReplyUnreadable;
    }
    list->Add(record.release());
  }
  return 0;
}

DWORD LogonAgent::GetAgentList(AgentList* list) {
  CriticalSectionLock lock(exchangeLock_);
  return GetAgents(kProcGetAgentList, list);
}

DWORD LogonAgent::GetDeployList(AgentList* list) {
  CriticalSectionLock lock(exchangeLock_);
  return GetAgents(kProcGetDeployList, list);
}

DWORD LogonAgent::ReportAgents(int32_t procedure, AgentList* list, BOOL* answer) {
  if (!list) return ERROR_INVALID_PARAMETER;
  LPRPCStructure parameters;
  if (DWORD error = BeginSessionCall(parameters)) return error;
  LPRPCStructure* entries = AddChild(parameters);
  if (!entries) return kAgentCallNotBuilt;
  for (AgentRecord* record = list->First(); record; record = list->Next(record)) {
    LPRPCStructure* entry = AddChild(*entries);
    if (!entry || entry->AddString(record->name.GetUtf8()) != 0 || entry->AddBoolean(record->provisioned) != 0)
      return kAgentCallNotBuilt;
  }
  Reply reply;
  if (DWORD error = Exchange(procedure, parameters, reply)) return error;
  LPRPCVector* result = reply.result;
  bool value = false;
  if (!result->NextBoolean(&value)) return kAgentReplyUnreadable;
  if (answer) *answer = value ? TRUE : FALSE;
  return 0;
}

DWORD LogonAgent::ReportAgentList(AgentList* list, BOOL* answer) {
  CriticalSectionLock lock(exchangeLock_);
  return ReportAgents(kProcReportAgentList, list, answer);
}

DWORD LogonAgent::ReportDeployList(AgentList* list, BOOL* answer) {
  CriticalSectionLock lock(exchangeLock_);
  return ReportAgents(kProcReportDeployList, list, answer);
}

DWORD LogonAgent::PostTextList(int32_t kind, TextList* texts) {
  CriticalSectionLock lock(exchangeLock_);
  if (!texts) return ERROR_INVALID_PARAMETER;
  DWORD result = CheckConnection(true);
  if (!result && (version_ < 4 || version_ > kAnnouncedVersion)) result = kAgentCallNotBuilt;
  if (!result) {
    LPRPCStructure parameters;
    LPRPCStructure* strings = nullptr;
    bool built = AddCommonHead(parameters) == 0 && parameters.AddInteger(kind) == 0 &&
                 (strings = AddChild(parameters)) != nullptr;
    for (auto it = texts->begin(); built && it != texts->end(); ++it) {
      built = strings->AddString(*it ? (*it)->GetUtf8() : nullptr) == 0;
    }
    if (!built) {
      result = kAgentCallNotBuilt;
    } else {
      Reply reply;
      result = Exchange(kProcPostTextList, parameters, reply);
    }
  }
  texts->clear();
  return result;
}

}  // namespace kesi
