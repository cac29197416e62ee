#pragma once
// One evaluation run on this thread: one EvaluateAll of the engine, one Run of the configuration route.
// While a run is open, the checks keep what is costly to ask the system for and what a run takes as one
// moment of the machine: the list of running processes, the opened certificate stores, the equipment
// identifier's sources. A list of a thousand literals then costs one process list, not five per
// anti-virus literal, and one opening of the certificate stores, not one per certificate literal.
// Outside a run nothing is kept and every check asks the system afresh, as it always did.
//
// Scopes nest: a scope opened while the thread already has a run joins that run, and the run ends with
// the outermost scope. Each thread has runs of its own.
#include <memory>
#include <new>

namespace kesi {

// What one kind of check keeps for the length of a run; destroyed when the run ends.
class RunCache {
 public:
  RunCache() = default;
  RunCache(const RunCache&) = delete;
  RunCache& operator=(const RunCache&) = delete;
  virtual ~RunCache() = default;
};

class EvaluationRun {
 public:
  // One slot per kind of cache; each slot always holds the same type.
  enum Slot { kProcessLists, kCertificateStores, kEquipmentSources, kSlotCount };

  EvaluationRun() noexcept;
  ~EvaluationRun();
  EvaluationRun(const EvaluationRun&) = delete;
  EvaluationRun& operator=(const EvaluationRun&) = delete;

  // The thread's open run, or null.
  static EvaluationRun* Current() noexcept;

  // The run's cache in slot, made on first use; null outside a run or when memory runs out (the check
  // then asks the system as it does outside a run).
  template <typename T>
  static T* Cache(Slot slot) noexcept {
    EvaluationRun* run = Current();
    if (!run) return nullptr;
    std::unique_ptr<RunCache>& cache = run->caches_[slot];
    if (!cache) cache.reset(new (std::nothrow) T());
    return static_cast<T*>(cache.get());
  }

 private:
  bool outermost_;
  std::unique_ptr<RunCache> caches_[kSlotCount];
};

}  // namespace kesi
