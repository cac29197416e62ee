#include "Recurring.h"

#include <atomic>

namespace kesi::controls {

namespace {
std::atomic<int> g_intervalSeconds{0};
}

// Placeholders until the recurring thread lands.
void PrepareRecurringEvents(LogFile*) {}
bool StartRecurringInterrogation(const RecurringSession&, LogFile*) { return false; }
void StopRecurringInterrogation() {}
HANDLE DuplicateRecurringThread() { return nullptr; }
int RecurringIntervalSeconds() { return g_intervalSeconds.load(); }
void SetRecurringIntervalSeconds(int seconds) { g_intervalSeconds.store(seconds); }

}  // namespace kesi::controls
