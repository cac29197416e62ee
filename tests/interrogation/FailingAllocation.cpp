// The global allocation functions of this test program, with a failure that a test arms for its own
// thread (FailingAllocation.h). Otherwise they allocate as the runtime's own do.
#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int t_failIn = 0;  // 0: no failure armed; n: the nth allocation from now fails

bool FailThisOne() { return t_failIn > 0 && --t_failIn == 0; }

}  // namespace

namespace kesi::test {

FailingAllocation::FailingAllocation(int nth) { t_failIn = nth; }
FailingAllocation::~FailingAllocation() { t_failIn = 0; }

}  // namespace kesi::test

void* operator new(std::size_t size) {
  if (!FailThisOne()) {
    if (void* p = std::malloc(size ? size : 1)) return p;
  }
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
