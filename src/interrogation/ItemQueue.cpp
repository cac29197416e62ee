#include "ItemQueue.h"

#include <new>
#include <utility>

namespace kesi {

DWORD ItemQueue::PushBack(RQString* item) {
  std::unique_ptr<RQString> owned(item);
  if (!owned) return ERROR_INVALID_PARAMETER;
  // The node is made outside the lock; only the splice into the queue is done under it.
  std::list<std::unique_ptr<RQString>> node;
  try {
    node.push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  CriticalSectionLock lock(lock_);
  items_.splice(items_.end(), node);
  return ERROR_SUCCESS;
}

DWORD ItemQueue::PushBackText(const wchar_t* text) {
  if (!text) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<RQString> item(new (std::nothrow) RQString(text));
  if (!item) return ERROR_OUTOFMEMORY;
  return PushBack(item.release());
}

RQString* ItemQueue::PopFront() {
  std::list<std::unique_ptr<RQString>> node;
  {
    CriticalSectionLock lock(lock_);
    if (items_.empty()) return nullptr;
    node.splice(node.end(), items_, items_.begin());
  }
  return node.front().release();
}

void ItemQueue::Clear() {
  std::list<std::unique_ptr<RQString>> items;
  {
    CriticalSectionLock lock(lock_);
    items.swap(items_);
  }
  // The items are destroyed outside the lock.
}

unsigned ItemQueue::Count() {
  CriticalSectionLock lock(lock_);
  return static_cast<unsigned>(items_.size());
}

}  // namespace kesi
