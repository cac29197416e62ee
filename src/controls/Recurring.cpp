#include "Recurring.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "ComFrame.h"
#include "Handles.h"
#include "LogFolder.h"
#include "LogonRoute.h"
#include "SecureWipe.h"
#include "SessionNotice.h"
#include "SystemInterrogator.h"

namespace kesi::controls {

namespace {

constexpr wchar_t kRepcEventName[] = L"Global\\REPC_EVENT";
constexpr wchar_t kPhaseEventName[] = L"Global\\PHASE_EVENT";
constexpr wchar_t kJustClassified[] = L"JUST_CLASSIFIED";

constexpr DWORD kStepMs = 2000;        // the wait for the session's end is made in steps of this length
constexpr DWORD kPhaseWaitMs = 2000;   // how long the starter waits for the thread to take its arguments
constexpr DWORD kJoinMs = 5000;        // how long a new start waits for the previous thread to end
// An interval of more than a day is a day: the appliance's seconds times 1000 must stay a wait, not wrap.
constexpr uint64_t kMaxIntervalMs = 24ull * 60 * 60 * 1000;
constexpr size_t kMaxCopyChars = 4096;
constexpr size_t kCheckResultBytes = 1096;

constexpr wchar_t kPrefix[] = L"KESInterrogator ::subsequent epc: ";

enum ClassificationResult : int32_t {
  kTerminated = 2,
  kReclassify = 3,
  kFailure = 5,
};

std::atomic<int> g_intervalSeconds{0};

// The process's recurring thread and the event that stops it; replaced under ThreadLock().
std::atomic<HANDLE> g_thread{nullptr};
std::atomic<HANDLE> g_stop{nullptr};
// The events made by the last PrepareRecurringEvents: REPC_EVENT stays open so that the thread can open it
// by name; PHASE_EVENT is closed after the starter's wait.
std::atomic<HANDLE> g_repcEvent{nullptr};
std::atomic<HANDLE> g_phaseEvent{nullptr};

CriticalSection& ThreadLock() {
  static CriticalSection lock;
  return lock;
}

void CloseStored(std::atomic<HANDLE>& stored) {
  if (HANDLE handle = stored.exchange(nullptr)) CloseHandle(handle);
}

uint64_t IntervalMs(int seconds) {
  if (seconds <= 0) return 0;
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
  return ms > kMaxIntervalMs ? kMaxIntervalMs : ms;
}

// A copy of at most kMaxCopyChars characters of text, wiped before it is released.
class SecretCopy {
 public:
  SecretCopy() = default;
  SecretCopy(const SecretCopy&) = delete;
  SecretCopy& operator=(const SecretCopy&) = delete;
  ~SecretCopy() {
    if (text_) SecureWipe(text_.get(), (wcslen(text_.get()) + 1) * sizeof(wchar_t));
  }
  bool Assign(const wchar_t* text) {
    const size_t length = text ? wcsnlen(text, kMaxCopyChars) : 0;
    text_.reset(new (std::nothrow) wchar_t[length + 1]);
    if (!text_) return false;
    if (length) wmemcpy(text_.get(), text, length);
    text_[length] = L'\0';
    return true;
  }
  const wchar_t* Get() const { return text_ ? text_.get() : L""; }

 private:
  std::unique_ptr<wchar_t[]> text_;
};

// What the thread owns: made by the starter before the thread exists, deleted by the thread.
struct RecurringRecord {
  RecurringRecord() = default;
  RecurringRecord(const RecurringRecord&) = delete;
  RecurringRecord& operator=(const RecurringRecord&) = delete;
  ~RecurringRecord() {
    if (agent) agent->Release();
  }

  LogonAgent* agent = nullptr;  // one reference
  SecretCopy teamCredential;
  SecretCopy serverName;
  UniqueHandle stop;            // the thread's own handle of the stop event
};

class Log {
 public:
  Log() {
    file_.SetCipher(true);
    file_.Open(kInterrogatorLogName, 0, ControlsModule());
  }
  ~Log() { file_.Close(); }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // One line: the thread's prefix, then format with its arguments.
  void Info(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Write(kLogInfo, format, args);
    va_end(args);
  }
  void Error(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Write(kLogError, format, args);
    va_end(args);
  }

 private:
  void Write(int level, const wchar_t* format, va_list args) {
    wchar_t line[256];
    if (swprintf(line, 256, L"%ls%ls", kPrefix, format) < 0) return;
    va_list copy;
    va_copy(copy, args);
    file_.Print(level, line, &copy);
    va_end(copy);
  }

  LogFile file_;
};

enum class Wake { kInterval, kSessionEnded, kStopped };

// Waits intervalMs rounded up to whole steps, or until the session ends (REPC_EVENT) or a new start
// stops this thread. Without the event (it could not be opened) the steps are slept on the stop event
// alone, so that the interval is still waited.
Wake WaitInterval(HANDLE repc, HANDLE stop, uint64_t intervalMs) {
  uint64_t elapsed = 0;
  do {
    DWORD wait = WAIT_FAILED;
    if (repc) {
      const HANDLE both[2] = {repc, stop};
      wait = WaitForMultipleObjects(2, both, FALSE, kStepMs);
      if (wait == WAIT_OBJECT_0) return Wake::kSessionEnded;
      if (wait == WAIT_OBJECT_0 + 1) return Wake::kStopped;
    }
    if (wait == WAIT_FAILED) {
      wait = WaitForSingleObject(stop, kStepMs);
      if (wait == WAIT_OBJECT_0) return Wake::kStopped;
      if (wait == WAIT_FAILED) Sleep(kStepMs);
    }
    elapsed += kStepMs;
  } while (elapsed < intervalMs);
  return Wake::kInterval;
}

bool StopRequested(HANDLE stop) { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

// The thread's work; its exit code. The log lines are the ones support staff know.
DWORD RunRecurring(RecurringRecord& record) {
  Log log;
  ComPtr<SystemInterrogator> engine;
  engine.attach(new (std::nothrow) SystemInterrogator());
  if (!engine || !record.agent) {
    log.Error(L"Could not create sys interrogator or logon agent");
    return 1;
  }
  LogonAgent* const agent = record.agent;
  const HANDLE stop = record.stop.get();

  uint64_t intervalMs = IntervalMs(RecurringIntervalSeconds());
  log.Info(L"Recur epc interval is %d", static_cast<int>(intervalMs));
  if (intervalMs < 1) return 1;

  UniqueHandle repc(OpenEventW(EVENT_ALL_ACCESS, FALSE, kRepcEventName));
  if (repc) log.Info(L"REPC event openEvent", 1);
  log.Info(L"While m_REPC %d", 1);
  {
    UniqueHandle phase(OpenEventW(EVENT_MODIFY_STATE, FALSE, kPhaseEventName));
    if (phase) SetEvent(phase.get());
  }

  int32_t classification = 1;
  int threesInARow = 0;
  char checkResult[kCheckResultBytes] = {};
  RQString zone;
  RQStringMZ zoneCommands;
  for (bool carryOn = true; carryOn;) {
    // One cycle at once after a "re-classify"; a second one in a row waits a step, so that an appliance
    // that keeps asking cannot keep the machine evaluating without a pause.
    if (classification != kReclassify || threesInARow > 1) {
      const uint64_t waitMs = classification == kReclassify ? kStepMs : intervalMs;
      log.Info(L"Timer Started %d", static_cast<int>(waitMs));
      const Wake wake = WaitInterval(repc.get(), stop, waitMs);
      if (wake == Wake::kSessionEnded) {
        log.Info(L"Browser session expired");
        return 1;
      }
      if (wake == Wake::kStopped) {
        log.Info(L"Stopped for a new logon");
        return 0;
      }
    }

    if (StopRequested(stop)) {
      log.Info(L"Stopped for a new logon");
      return 0;
    }
    if (FetchInterrogationList(agent, engine.get()) != 0) {
      log.Error(L"system interrogation list fetch failed");
      return 1;
    }
    log.Info(L"system interrogation list fetch succeeded");

    engine->EvaluateAll();
    log.Info(L"classificationResult %d", classification);
    if (ResultSI* first = engine->FirstResult()) {
      log.Info(L"Result is set in epcCheckResult");
      strcpy(checkResult, first->Value() == 1 ? "1" : "0");
    }

    RQString hash;
    if (classification == kReclassify) {
      log.Info(L"RECLASSIFY : JUST CLASSIFIED");
      hash = kJustClassified;
    } else {
      log.Info(L"RECLASSIFY : Result epcCheckResult");
      hash = checkResult;
    }
    engine->SetResultHash(hash);

    log.Info(L"classificationResult : %d", classification);
    log.Info(L"SetResultHash : SetSubsequentInterrogationResult");
    if (StopRequested(stop)) {
      log.Info(L"Stopped for a new logon");
      return 0;
    }
    const DWORD posted = PostSubsequentInterrogationResults(agent, engine.get(), record.teamCredential.Get(),
                                                            &classification, &zone, &zoneCommands);
    log.Info(L"After classificationResult : %d", classification);
    if (posted != 0 || classification == kFailure) {
      log.Error(L"set subsequent results failed");
      return 1;
    }
    threesInARow = classification == kReclassify ? threesInARow + 1 : 0;

    log.Info(L"SetResultHash : Get New Interval");
    const int seconds = engine->RecurringInterval();
    // A thread that a new logon is stopping leaves the process-wide interval to the new one.
    if (!StopRequested(stop)) SetRecurringIntervalSeconds(seconds);

    if (seconds > 0) {
      intervalMs = IntervalMs(seconds);
      log.Info(L"Updated : New Interval %d %d", seconds, static_cast<int>(intervalMs));
      if (classification == kReclassify) {
        log.Info(L"New Interval: RECLASSIFY : JUSTCLASSIFIED");
        checkResult[0] = '\0';
      } else if (classification == kTerminated) {
        log.Info(L"User connection terminated");
        if (repc) SetEvent(repc.get());
        ShowSessionNotice();
        carryOn = false;
      } else {
        log.Info(L"No Changes in literals");
      }
    } else {
      log.Info(L"New Interval: %d", seconds);
      carryOn = false;
    }
  }
  return 0;
}

DWORD WINAPI RecurringThread(void* parameter) {
  auto* record = static_cast<RecurringRecord*>(parameter);
  DWORD code = 1;
  try {
    code = RunRecurring(*record);
  } catch (...) {
    code = 1;
  }
  delete record;
  // The starter took a module reference and a module lock for this thread: the code stays mapped until
  // the thread is out of it.
  HMODULE module = ControlsModule();
  UnlockModule();
  FreeLibraryAndExitThread(module, code);
  return code;
}

// Signals the running thread to stop and waits (bounded) for it; forgets it. Under ThreadLock().
void StopLocked() {
  HANDLE thread = g_thread.exchange(nullptr);
  HANDLE stop = g_stop.exchange(nullptr);
  if (stop) SetEvent(stop);
  if (thread) WaitForSingleObject(thread, kJoinMs);
  if (thread) CloseHandle(thread);
  if (stop) CloseHandle(stop);
}

}  // namespace

// Makes the manual-reset event name signalled and resets it at once (a new session starts with it clear
// wherever it was made), logs the outcome and keeps the handle in slot.
static void MakeClearEvent(const wchar_t* name, const wchar_t* made, const wchar_t* failed, std::atomic<HANDLE>& slot,
                           LogFile* log) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, name);
  if (event) {
    ResetEvent(event);
    LogInfo(log, made);
  } else {
    LogError(log, failed);
  }
  if (HANDLE old = slot.exchange(event)) CloseHandle(old);
}

void PrepareRecurringEvents(LogFile* log) {
  CriticalSectionLock lock(ThreadLock());
  MakeClearEvent(kRepcEventName, L"KESInterrogator ::REPC Interval:REPC_EVENT Created and Reset ",
                 L"KESInterrogator ::REPC Interval:REPC_EVENT Created failed ", g_repcEvent, log);
  MakeClearEvent(kPhaseEventName, L"KESInterrogator ::REPC Interval:PHASE_EVENT Created and Reset ",
                 L"KESInterrogator ::REPC Interval:PHASE_EVENT Created failed ", g_phaseEvent, log);
}

bool StartRecurringInterrogation(const RecurringSession& session, LogFile* log) {
  CriticalSectionLock lock(ThreadLock());
  StopLocked();

  LogInfo(log, L"KESInterrogator ::REPC Interval:CreateThread ");
  std::unique_ptr<RecurringRecord> record(new (std::nothrow) RecurringRecord());
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE threadStop = nullptr;
  HMODULE module = nullptr;
  HANDLE thread = nullptr;
  if (record && stop && record->teamCredential.Assign(session.teamCredential) &&
      record->serverName.Assign(session.serverName) &&
      DuplicateHandle(GetCurrentProcess(), stop.get(), GetCurrentProcess(), &threadStop, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    record->stop.reset(threadStop);
    if (session.agent) {
      session.agent->AddRef();
      record->agent = session.agent;
    }
    // The thread's hold on the code it runs, released by its FreeLibraryAndExitThread.
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const wchar_t*>(&RecurringThread),
                           &module)) {
      LockModule();
      thread = CreateThread(nullptr, 0, RecurringThread, record.get(), 0, nullptr);
      if (thread) {
        record.release();  // the thread's now
      } else {
        UnlockModule();
        FreeLibrary(module);
      }
    }
  }
  if (!thread) {
    LogError(log, L"KESInterrogator ::RunLogon: Failed to create recuring EPC thread");
    CloseStored(g_phaseEvent);
    return false;
  }
  g_stop.store(stop.release());
  g_thread.store(thread);

  // The thread signals PHASE_EVENT once it has begun; its arguments are its own already.
  if (HANDLE phase = g_phaseEvent.exchange(nullptr)) {
    WaitForSingleObject(phase, kPhaseWaitMs);
    CloseHandle(phase);
  }
  return true;
}

void StopRecurringInterrogation() {
  CriticalSectionLock lock(ThreadLock());
  StopLocked();
}

HANDLE DuplicateRecurringThread() {
  CriticalSectionLock lock(ThreadLock());
  HANDLE thread = g_thread.load();
  HANDLE duplicate = nullptr;
  if (thread && !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &duplicate, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
    duplicate = nullptr;
  return duplicate;
}

int RecurringIntervalSeconds() { return g_intervalSeconds.load(); }
void SetRecurringIntervalSeconds(int seconds) { g_intervalSeconds.store(seconds); }

}  // namespace kesi::controls
