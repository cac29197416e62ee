#include "CheckLog.h"

#include <atomic>

namespace kesi {

namespace {
std::atomic<kesi::LogFile*> g_checkLog{nullptr};
}

kesi::LogFile* CheckLog() { return g_checkLog.load(std::memory_order_acquire); }

void SetCheckLog(kesi::LogFile* log) { g_checkLog.store(log, std::memory_order_release); }

}  // namespace kesi
