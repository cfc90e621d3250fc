// The kernel stand-ins: heap faults, threads and exit codes, the manual clock.
#include <gtest/gtest.h>

#include <atomic>

#include "host/clock.h"
#include "host/heap.h"
#include "host/system.h"
#include "platform.h"

namespace {

TEST(LocalAlloc, ZeroFillsAndInjectsFailures) {
  auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
  LocalFree(p);

  plat::FailNthAllocation(2);
  void* first = LocalAlloc(LPTR, 8);
  void* second = LocalAlloc(LPTR, 8);
  void* third = LocalAlloc(LPTR, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_NE(third, nullptr);
  LocalFree(first);
  LocalFree(third);

  plat::FailAllAllocations(true);
  EXPECT_EQ(LocalAlloc(LPTR, 1), nullptr);
  plat::ResetAllocationFaults();
  void* again = LocalAlloc(LPTR, 1);
  EXPECT_NE(again, nullptr);
  LocalFree(again);
}

std::atomic<int> g_ran{0};

DWORD WINAPI SleepThenExit(LPVOID param) {
  Sleep(3000);
  g_ran.fetch_add(1);
  ExitThread(static_cast<DWORD>(reinterpret_cast<uintptr_t>(param)));
}

TEST(Threads, ExitCodeIsStillActiveUntilTheManualClockWakesTheThread) {
  g_ran.store(0);
  plat::UseManualClock();
  HANDLE h = CreateThread(nullptr, 0, SleepThenExit, reinterpret_cast<LPVOID>(7), 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(plat::WaitForSleepers(1));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  plat::AdvanceClock(2999);
  EXPECT_EQ(g_ran.load(), 0);
  plat::AdvanceClock(1);
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(g_ran.load(), 1);
  CloseHandle(h);
  EXPECT_TRUE(plat::WaitForAllThreads());
  plat::UseRealClock();
}

TEST(Clock, SecondsFollowTheManualClock) {
  plat::UseManualClock(5'000'000);
  EXPECT_EQ(GetClockSeconds(), 5000u);
  plat::AdvanceClock(1500);
  EXPECT_EQ(GetClockSeconds(), 5001u);
  plat::UseRealClock();
}

TEST(LastError, IsPerThread) {
  SetLastError(42);
  DWORD other = 0;
  HANDLE h = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
    *static_cast<DWORD*>(p) = GetLastError();
    return 0;
  }, &other, 0, nullptr);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 42u);
}

}  // namespace
