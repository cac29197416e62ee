#include "ItemQueue.h"

#include <new>

#include "RQString.h"

namespace kesi {

namespace {

class Lock {
 public:
  explicit Lock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~Lock() { LeaveCriticalSection(cs_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

}  // namespace

ItemQueue::ItemQueue() noexcept { InitializeCriticalSection(&lock_); }

ItemQueue::~ItemQueue() {
  Clear();
  DeleteCriticalSection(&lock_);
}

DWORD ItemQueue::PushBack(RQString* item) {
  if (!item) return ERROR_INVALID_PARAMETER;
  Node* node = new (std::nothrow) Node{nullptr, nullptr, item};
  if (!node) {
    delete item;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  Lock lock(&lock_);
  node->prev = tail_;
  if (tail_)
    tail_->next = node;
  else
    head_ = node;
  tail_ = node;
  ++count_;
  return ERROR_SUCCESS;
}

DWORD ItemQueue::PushBackText(const wchar_t* text) {
  if (!text) return ERROR_INVALID_PARAMETER;
  RQString* item = new (std::nothrow) RQString(text);
  if (!item) return ERROR_NOT_ENOUGH_MEMORY;
  return PushBack(item);
}

RQString* ItemQueue::PopFront() {
  Node* node;
  {
    Lock lock(&lock_);
    node = head_;
    if (!node) return nullptr;
    head_ = node->next;
    if (head_)
      head_->prev = nullptr;
    else
      tail_ = nullptr;
    --count_;
  }
  RQString* item = node->item;
  delete node;
  return item;
}

void ItemQueue::Clear() {
  Node* node;
  {
    Lock lock(&lock_);
    node = head_;
    head_ = tail_ = nullptr;
    count_ = 0;
  }
  while (node) {
    Node* next = node->next;
    delete node->item;
    delete node;
    node = next;
  }
}

unsigned ItemQueue::Count() {
  Lock lock(&lock_);
  return count_;
}

}  // namespace kesi
