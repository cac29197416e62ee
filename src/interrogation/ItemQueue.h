#pragma once
// ItemQueue: the locked queue of extra texts that a result carries (certificate chains, equipment ids).
// Checks push while the result encoders drain, possibly on another thread, so every operation takes the
// queue's critical section.
#include <windows.h>

namespace kesi {

class RQString;

class ItemQueue {
 public:
  ItemQueue() noexcept;
  ItemQueue(const ItemQueue&) = delete;
  ItemQueue& operator=(const ItemQueue&) = delete;
  // Destroys every item still queued.
  ~ItemQueue();

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
  struct Node {
    Node* prev;
    Node* next;
    RQString* item;
  };

  CRITICAL_SECTION lock_;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  unsigned count_ = 0;
};

}  // namespace kesi
