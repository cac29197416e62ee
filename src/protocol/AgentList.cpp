#include "AgentList.h"

namespace kesi {

namespace {

class Lock {
 public:
  explicit Lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~Lock() { LeaveCriticalSection(&cs_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

}  // namespace

AgentList::AgentList() noexcept { InitializeCriticalSection(&lock_); }

AgentList::~AgentList() {
  Clear();
  DeleteCriticalSection(&lock_);
}

AgentRecord* AgentList::First() {
  Lock lock(lock_);
  return head_;
}

AgentRecord* AgentList::Next(AgentRecord* record) {
  Lock lock(lock_);
  return record ? record->next_ : nullptr;
}

DWORD AgentList::Add(AgentRecord* record) {
  if (!record) return ERROR_INVALID_PARAMETER;
  Lock lock(lock_);
  if (record->next_ || record == tail_) return ERROR_INVALID_PARAMETER;
  if (tail_)
    tail_->next_ = record;
  else
    head_ = record;
  tail_ = record;
  ++count_;
  return 0;
}

void AgentList::Clear() {
  AgentRecord* record;
  {
    Lock lock(lock_);
    record = head_;
    head_ = tail_ = nullptr;
    count_ = 0;
  }
  while (record) {
    AgentRecord* next = record->next_;
    delete record;
    record = next;
  }
}

unsigned AgentList::GetCount() {
  Lock lock(lock_);
  return count_;
}

}  // namespace kesi
