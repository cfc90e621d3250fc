// Threads with exit codes, critical sections and the per-thread last error.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "../host/clock.h"
#include "../host/system.h"
#include "../win32/kernel.h"
#include "handles.h"

namespace plat {
namespace {

// Thrown by ExitThread and caught where the thread started, so that the
// thread's destructors run as they would on return.
struct ThreadExit {
  DWORD code;
};

struct ThreadObject : KernelObject {
  std::mutex mutex;
  std::condition_variable ended;
  DWORD exitCode = STILL_ACTIVE;
  bool done = false;
};

struct ThreadCounter {
  std::mutex mutex;
  std::condition_variable changed;
  int live = 0;
  std::multiset<const void*> starts;  // start routines of the live threads
};

// Never destroyed: a detached thread may still be leaving while the process
// exits and runs its static destructors.
ThreadCounter& Counter() {
  static ThreadCounter& counter = *new ThreadCounter();
  return counter;
}

thread_local DWORD t_lastError = 0;

// Injected failure of CreateThread: the nth call from now (1 = the next) fails.
std::atomic<std::uint64_t> g_failThreadIn{0};

std::recursive_mutex* MutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(cs->Opaque));
}

}  // namespace

void FailNthThreadCreation(std::uint64_t n) { g_failThreadIn.store(n); }

int LiveThreadCount() {
  ThreadCounter& c = Counter();
  std::lock_guard lock(c.mutex);
  return c.live;
}

bool WaitForAllThreads(std::chrono::milliseconds realTimeout) {
  ThreadCounter& c = Counter();
  std::unique_lock lock(c.mutex);
  return c.changed.wait_for(lock, realTimeout, [&] { return c.live == 0; });
}

std::vector<const void*> LiveThreadStarts() {
  ThreadCounter& c = Counter();
  std::lock_guard lock(c.mutex);
  return {c.starts.begin(), c.starts.end()};
}

}  // namespace plat

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::Opaque));
static_assert(alignof(std::recursive_mutex) <= 16);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  new (cs->Opaque) std::recursive_mutex();
  cs->Initialized = 1;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) { plat::MutexOf(cs)->lock(); }

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) { plat::MutexOf(cs)->unlock(); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  if (cs->Initialized) {
    plat::MutexOf(cs)->~recursive_mutex();
    cs->Initialized = 0;
  }
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param,
                           DWORD, LPDWORD threadId) {
  std::uint64_t failIn = plat::g_failThreadIn.load();
  while (failIn != 0 && !plat::g_failThreadIn.compare_exchange_weak(failIn, failIn - 1)) {
  }
  if (failIn == 1) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto object = std::make_shared<plat::ThreadObject>();
  const void* startAddress = reinterpret_cast<const void*>(start);
  {
    plat::ThreadCounter& c = plat::Counter();
    std::lock_guard lock(c.mutex);
    ++c.live;
    c.starts.insert(startAddress);
  }
  try {
    std::thread([object, start, param, startAddress] {
      DWORD code = 0;
      try {
        code = start(param);
      } catch (const plat::ThreadExit& exit) {
        code = exit.code;
      }
      {
        std::lock_guard lock(object->mutex);
        object->exitCode = code;
        object->done = true;
      }
      object->ended.notify_all();
      plat::ThreadCounter& c = plat::Counter();
      std::lock_guard lock(c.mutex);
      --c.live;
      c.starts.erase(c.starts.find(startAddress));
      c.changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    plat::ThreadCounter& c = plat::Counter();
    std::lock_guard lock(c.mutex);
    --c.live;
    c.starts.erase(c.starts.find(startAddress));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  static std::atomic<DWORD> nextId{1};
  if (threadId != nullptr) *threadId = nextId.fetch_add(1);
  return new plat::HandleHolder{object};
}

static plat::ThreadObject* ThreadOf(HANDLE h) {
  if (h == nullptr) return nullptr;
  return dynamic_cast<plat::ThreadObject*>(static_cast<plat::HandleHolder*>(h)->object.get());
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  plat::ThreadObject* t = ThreadOf(hThread);
  if (t == nullptr || lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(t->mutex);
  *lpExitCode = t->exitCode;
  return TRUE;
}

void WINAPI ExitThread(DWORD dwExitCode) { throw plat::ThreadExit{dwExitCode}; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete static_cast<plat::HandleHolder*>(hObject);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  plat::ThreadObject* t = ThreadOf(hHandle);
  if (t == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::uint64_t deadline = plat::ClockNowMs() + dwMilliseconds;
  std::unique_lock lock(t->mutex);
  while (!t->done) {
    if (dwMilliseconds != INFINITE && plat::ClockNowMs() >= deadline) return WAIT_TIMEOUT;
    t->ended.wait_for(lock, std::chrono::milliseconds(5));
  }
  return WAIT_OBJECT_0;
}

DWORD WINAPI GetLastError(void) { return plat::t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { plat::t_lastError = dwErrCode; }
