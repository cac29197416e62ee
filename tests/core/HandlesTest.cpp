#include <gtest/gtest.h>
#include "Handles.h"

using namespace kesi;

// Every owner releases exactly once: an event closed by its owner can no longer be used.
TEST(Handles, OwnersCloseOnResetAndMove) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  kesi::UniqueHandle a(raw);
  kesi::UniqueHandle b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(raw, b.get());
  b.reset();
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(raw, &flags));

  kesi::UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()));
  EXPECT_TRUE(key);
}

// "Fail, clean up, return GetLastError()": a release that fails itself must not replace the caller's error.
TEST(Handles, ReleaseKeepsTheCallersLastError) {
  const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0));  // closing it fails
  struct Case {
    const char* owner;
    void (*release)(HANDLE);
  } cases[] = {
      {"UniqueHandle", [](HANDLE h) { kesi::UniqueHandle owned(h); }},
      {"UniqueFile", [](HANDLE h) { kesi::UniqueFile owned(h); owned.reset(); }},
      {"UniqueFind", [](HANDLE h) { kesi::UniqueFind owned(h); }},
      {"UniqueKey", [](HANDLE h) { kesi::UniqueKey owned(static_cast<HKEY>(h)); }},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    c.release(bogus);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << c.owner;
  }
}

// A thread that already runs COM in the other model may use it through the scope, and the scope must not
// uninitialise what it did not initialise.
TEST(Handles, ComApartmentOnAThreadInTheOtherModel) {
  struct Outcome {
    HRESULT scope = E_FAIL;
    bool usable = false;
    HRESULT afterScope = E_FAIL;
  } outcome;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* arg) WINAPI -> DWORD {
        auto* o = static_cast<Outcome*>(arg);
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
        {
          kesi::ComApartment apartment(COINIT_APARTMENTTHREADED);
          o->scope = apartment.Result();
          o->usable = apartment.Usable();
        }
        // Still initialised by the thread itself: a second initialisation in its model answers S_FALSE.
        o->afterScope = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(o->afterScope)) CoUninitialize();
        CoUninitialize();
        return 0;
      },
      &outcome, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(RPC_E_CHANGED_MODE, outcome.scope);
  EXPECT_TRUE(outcome.usable);
  EXPECT_EQ(S_FALSE, outcome.afterScope);

  // On a thread without COM the scope initialises and uninitialises it.
  {
    kesi::ComApartment apartment;
    EXPECT_EQ(S_OK, apartment.Result());
  }
  const HRESULT fresh = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  EXPECT_EQ(S_OK, fresh);
  if (SUCCEEDED(fresh)) CoUninitialize();
}

// The lock holds another thread out for its scope, and only for its scope.
TEST(Handles, CriticalSectionLockHoldsItsScope) {
  struct Shared {
    kesi::CriticalSection section;
    kesi::UniqueHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  } shared;
  kesi::UniqueHandle thread;
  {
    kesi::CriticalSectionLock lock(shared.section);
    thread.reset(CreateThread(
        nullptr, 0,
        [](void* arg) WINAPI -> DWORD {
          auto* s = static_cast<Shared*>(arg);
          kesi::CriticalSectionLock inner(s->section);
          SetEvent(s->entered.get());
          return 0;
        },
        &shared, 0, nullptr));
    ASSERT_TRUE(thread);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(shared.entered.get(), 200));
  }
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(shared.entered.get(), 10000));
  WaitForSingleObject(thread.get(), 10000);
}
