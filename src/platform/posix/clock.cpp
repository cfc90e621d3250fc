// The platform clock: real, scaled or manual module time for Sleep and the
// module's seconds clock.
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>

#include "../host/clock.h"
#include "../win32/kernel.h"

namespace plat {
namespace {

enum class Mode { Real, Scaled, Manual };

struct ClockState {
  std::mutex mutex;
  std::condition_variable changed;  // time moved, mode changed, or sleepers changed
  Mode mode = Mode::Real;
  double factor = 1.0;
  std::uint64_t manualNowMs = 0;
  std::uint64_t scaledBaseModuleMs = 0;
  std::chrono::steady_clock::time_point scaledBaseReal;
  int sleepers = 0;
  // Deadlines of the threads inside Sleep; a due one is no longer counted as
  // asleep, even before its thread has run again.
  std::multiset<std::uint64_t> deadlines;
};

ClockState& State() {
  static ClockState state;
  return state;
}

std::uint64_t RealNowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::uint64_t NowLocked(ClockState& s) {
  switch (s.mode) {
    case Mode::Manual:
      return s.manualNowMs;
    case Mode::Scaled: {
      auto real = std::chrono::steady_clock::now() - s.scaledBaseReal;
      double ms = std::chrono::duration<double, std::milli>(real).count() * s.factor;
      return s.scaledBaseModuleMs + static_cast<std::uint64_t>(ms);
    }
    case Mode::Real:
      break;
  }
  return RealNowMs();
}

int PendingSleepersLocked(ClockState& s) {
  std::uint64_t now = NowLocked(s);
  return static_cast<int>(std::distance(s.deadlines.upper_bound(now), s.deadlines.end()));
}

}  // namespace

std::uint64_t ClockNowMs() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  return NowLocked(s);
}

void UseRealClock() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  s.mode = Mode::Real;
  s.changed.notify_all();
}

void UseScaledClock(double factor) {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  s.scaledBaseModuleMs = NowLocked(s);
  s.scaledBaseReal = std::chrono::steady_clock::now();
  s.factor = factor > 0 ? factor : 1.0;
  s.mode = Mode::Scaled;
  s.changed.notify_all();
}

void UseManualClock(std::uint64_t startMs) {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  s.manualNowMs = startMs;
  s.mode = Mode::Manual;
  s.changed.notify_all();
}

void AdvanceClock(std::uint64_t ms) {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.mode != Mode::Manual) return;
  s.manualNowMs += ms;
  s.changed.notify_all();
}

bool IsManualClock() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  return s.mode == Mode::Manual;
}

int SleeperCount() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  return PendingSleepersLocked(s);
}

bool WaitForSleepers(int count, std::chrono::milliseconds realTimeout) {
  ClockState& s = State();
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, realTimeout, [&] { return PendingSleepersLocked(s) >= count; });
}

void AdvanceClockStepwise(std::uint64_t totalMs, std::uint64_t stepMs, int sleepers) {
  if (stepMs == 0) stepMs = totalMs ? totalMs : 1;
  for (std::uint64_t done = 0; done < totalMs; done += stepMs) {
    WaitForSleepers(sleepers);
    AdvanceClock(std::min(stepMs, totalMs - done));
  }
}

// Sleeps until module time reaches `deadline`, whatever clock is in use.
void SleepUntil(std::uint64_t deadline) {
  ClockState& s = State();
  std::unique_lock lock(s.mutex);
  ++s.sleepers;
  auto mine = s.deadlines.insert(deadline);
  s.changed.notify_all();
  for (;;) {
    std::uint64_t now = NowLocked(s);
    if (now >= deadline) break;
    if (s.mode == Mode::Manual) {
      s.changed.wait(lock);
    } else {
      double realMs = static_cast<double>(deadline - now) / (s.mode == Mode::Scaled ? s.factor : 1.0);
      auto wait = std::chrono::microseconds(static_cast<std::int64_t>(realMs * 1000.0) + 1);
      s.changed.wait_for(lock, std::min<std::chrono::microseconds>(wait, std::chrono::seconds(1)));
    }
  }
  --s.sleepers;
  s.deadlines.erase(mine);
  s.changed.notify_all();
}

}  // namespace plat

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  plat::SleepUntil(plat::ClockNowMs() + dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(plat::ClockNowMs()); }

DWORD GetClockSeconds(void) { return static_cast<DWORD>(plat::ClockNowMs() / 1000); }

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  std::uint64_t ms = plat::ClockNowMs();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  lpSystemTime->wYear = static_cast<WORD>(tm.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(tm.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(tm.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(tm.tm_min);
  lpSystemTime->wSecond = static_cast<WORD>(tm.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(ms % 1000);
}
