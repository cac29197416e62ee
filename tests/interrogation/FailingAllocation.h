#pragma once
// Allocation failure on demand. This test program replaces the global allocation functions
// (FailingAllocation.cpp); while a FailingAllocation lives, the nth allocation from then on of the thread
// that made it fails: new throws std::bad_alloc, new (std::nothrow) gives null. Other threads, and the
// thread after the object, allocate as usual.

namespace kesi::test {

class FailingAllocation {
 public:
  explicit FailingAllocation(int nth = 1);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
};

}  // namespace kesi::test
