#include "AgentList.h"

#include <utility>

namespace kesi {

AgentList::AgentList() noexcept = default;

AgentList::~AgentList() { Clear(); }

AgentRecord* AgentList::First() {
  CriticalSectionLock lock(lock_);
  return head_.get();
}

AgentRecord* AgentList::Next(AgentRecord* record) {
  CriticalSectionLock lock(lock_);
  return record ? record->next_.get() : nullptr;
}

DWORD AgentList::Add(AgentRecord* record) {
  if (!record) return ERROR_INVALID_PARAMETER;
  CriticalSectionLock lock(lock_);
  if (record->next_ || record == tail_) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<AgentRecord>& end = tail_ ? tail_->next_ : head_;
  end.reset(record);
  tail_ = record;
  ++count_;
  return 0;
}

void AgentList::Clear() {
  std::unique_ptr<AgentRecord> record;
  {
    CriticalSectionLock lock(lock_);
    record = std::move(head_);
    tail_ = nullptr;
    count_ = 0;
  }
  // One record at a time: a long chain released through its links would recurse as deep as it is long.
  while (record) record = std::move(record->next_);
}

unsigned AgentList::GetCount() {
  CriticalSectionLock lock(lock_);
  return count_;
}

}  // namespace kesi
