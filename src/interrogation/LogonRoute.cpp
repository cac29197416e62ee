#include "LogonRoute.h"

#include <new>

namespace kesi {

LogonRoute::LogonRoute(SystemInterrogator* engine) noexcept : engine_(engine) {}

LogonRoute::~LogonRoute() = default;

int LogonRoute::Clear() {
  // The views point at results that Clear destroys.
  views_.reset();
  return static_cast<int>(engine_->Clear());
}

int LogonRoute::AddLiteral(const wchar_t* line) { return static_cast<int>(engine_->AddLiteral(line)); }
void LogonRoute::SetRecurringInterval(int seconds) { engine_->SetRecurringInterval(seconds); }

LogonResult* LogonRoute::FirstResult() {
  views_.reset();
  size_t count = 0;
  for (ResultSI* r = engine_->FirstResult(); r; r = r->Next()) ++count;
  if (count == 0) return nullptr;
  views_.reset(new (std::nothrow) ResultView[count]);
  if (!views_) return nullptr;
  size_t i = 0;
  for (ResultSI* r = engine_->FirstResult(); r; r = r->Next(), ++i) {
    views_[i].result = r;
    views_[i].next = i + 1 < count ? &views_[i + 1] : nullptr;
  }
  return &views_[0];
}

DWORD LogonRoute::User() { return engine_->User(); }
RQString& LogonRoute::UserHomeDirectory() { return engine_->UserHomeDirectory(); }
RQString& LogonRoute::SystemDirectory() { return engine_->SystemDirectory(); }
RQString& LogonRoute::EquipmentId() { return engine_->EquipmentId(); }
bool LogonRoute::Is64Bit() { return engine_->Is64Bit(); }
RQString& LogonRoute::ResultHash() { return engine_->ResultHash(); }

DWORD FetchInterrogationList(LogonAgent* agent, SystemInterrogator* engine) {
  if (!agent || !engine) return ERROR_INVALID_PARAMETER;
  LogonRoute route(engine);
  return agent->GetInterrogationList(&route);
}

DWORD PostInterrogationResults(LogonAgent* agent, SystemInterrogator* engine, BOOL* continueFlag, RQString* zone,
                               RQStringMZ* zoneCommands) {
  if (!agent || !engine || !continueFlag) return ERROR_INVALID_PARAMETER;
  LogonRoute route(engine);
  return agent->PostResults(&route, continueFlag, zone, zoneCommands);
}

DWORD PostSubsequentInterrogationResults(LogonAgent* agent, SystemInterrogator* engine, const wchar_t* teamCredential,
                                         int32_t* classification, RQString* zone, RQStringMZ* zoneCommands) {
  if (!agent || !engine || !teamCredential || !classification || !zone) return ERROR_INVALID_PARAMETER;
  LogonRoute route(engine);
  return agent->PostSubsequentResults(&route, teamCredential, classification, zone, zoneCommands);
}

}  // namespace kesi
