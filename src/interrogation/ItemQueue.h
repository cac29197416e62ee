#pragma once
// ItemQueue: the locked queue of extra texts that a result carries (certificate chains, equipment ids).
// Checks push while the result encoders drain, possibly on another thread, so every operation takes the
// queue's critical section.
#include <windows.h>

#include <list>
#include <memory>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

class ItemQueue {
 public:
  ItemQueue() noexcept = default;
  ItemQueue(const ItemQueue&) = delete;
  ItemQueue& operator=(const ItemQueue&) = delete;
  // Destroys every item still queued.
  ~ItemQueue() = default;

  // Appends item and takes ownership of it in every case: when no node can be allocated the item is
  // destroyed and 14 is returned. 87 for a null item.
  DWORD PushBack(RQString* item);
  // Appends a copy of text (87 for null text, 14 when out of memory).
  DWORD PushBackText(const wchar_t* text);
  // Hands the oldest item to the caller, or null when the queue is empty.
  RQString* PopFront();
  // Destroys every item.
  void Clear();
  // Items queued.
  unsigned Count();

 private:
  CriticalSection lock_;
  std::list<std::unique_ptr<RQString>> items_;
};

}  // namespace kesi
