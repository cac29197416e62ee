#pragma once
// The engine's side of the logon route: procedure 10 fills the engine with the appliance's list,
// procedure 11 sends its results and global facts, procedure 21 sends the results of a recurring run and
// may bring a new list. The logon agent speaks the procedures; LogonRoute shows it the engine through
// the agent's LogonInterrogator view, and the three functions below are the calls the interrogator
// object and the recurring interrogation make.
//
// What goes in: a list reply whose lines name "[InterrogationLiterals]" (any case) replaces the engine's
// literals and results with the lines of that section; a reply without that line leaves the engine as it
// was (so a recurring run evaluates the previous list again). What goes out: one entry per result in
// the engine's order, TRUE when its value is not 0, with its item texts taken out of its queue in order.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "Handles.h"
#include "LogonAgent.h"
#include "SystemInterrogator.h"

namespace kesi {

class LogonRoute final : public LogonInterrogator {
 public:
  // Holds a reference to engine for its own lifetime.
  explicit LogonRoute(SystemInterrogator* engine) noexcept;
  ~LogonRoute();
  LogonRoute(const LogonRoute&) = delete;
  LogonRoute& operator=(const LogonRoute&) = delete;

  SystemInterrogator* Engine() const { return engine_.get(); }

  int Clear() override;
  int AddLiteral(const wchar_t* line) override;
  void SetRecurringInterval(int seconds) override;
  // The results in the engine's order; valid until the next call or the route's end. Null when the
  // engine has none (or when out of memory).
  LogonResult* FirstResult() override;
  DWORD User() override;
  RQString& UserHomeDirectory() override;
  RQString& SystemDirectory() override;
  RQString& EquipmentId() override;
  bool Is64Bit() override;
  RQString& ResultHash() override;

 private:
  class ResultView final : public LogonResult {
   public:
    const char* NameUtf8() override { return result->NameUtf8(); }
    int Value() override { return static_cast<int>(result->Value()); }
    RQString* NextItem(RQString* previous) override { return result->NextItem(previous); }
    LogonResult* Next() override { return next; }

    ResultSI* result = nullptr;
    ResultView* next = nullptr;
  };

  ComPtr<SystemInterrogator> engine_;
  std::unique_ptr<ResultView[]> views_;
};

// Procedure 10: the appliance's list into engine (and at version 7 the interval). 87 for a null argument;
// else the agent's code.
DWORD FetchInterrogationList(LogonAgent* agent, SystemInterrogator* engine);

// Procedure 11: engine's results and facts out; the continue flag, the zone and the zone commands (empty
// ones dropped) back. zone and zoneCommands may be null. 87 for a null agent, engine or continueFlag.
DWORD PostInterrogationResults(LogonAgent* agent, SystemInterrogator* engine, BOOL* continueFlag, RQString* zone,
                               RQStringMZ* zoneCommands);

// Procedure 21 (versions 7 to 15): engine's results and result hash out with the current zone; the
// classification, a new list (when it names the section), the interval, the zone and the zone commands
// back. 87 for a missing argument (zoneCommands may be null).
DWORD PostSubsequentInterrogationResults(LogonAgent* agent, SystemInterrogator* engine, const wchar_t* teamCredential,
                                         int32_t* classification, RQString* zone, RQStringMZ* zoneCommands);

}  // namespace kesi
