// The platform clock: real, scaled or manual module time for Sleep, the tick
// counts and the module's seconds clocks. Module time itself never steps; the
// calendar (the seconds clock and the local time) is module time plus an
// offset that a host may step, as an administrator sets a system's date.
#include <algorithm>
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
  // Real time: module time is the steady clock, started at the calendar's
  // reading when real time was chosen, so that a step of the system's date
  // moves only the calendar.
  std::uint64_t realBaseModuleMs = 0;
  std::chrono::steady_clock::time_point realBaseSteady;
  std::int64_t calendarOffsetMs = 0;
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

void StartRealLocked(ClockState& s) {
  s.realBaseModuleMs = RealNowMs();
  s.realBaseSteady = std::chrono::steady_clock::now();
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
  if (s.realBaseModuleMs == 0) StartRealLocked(s);
  auto real = std::chrono::steady_clock::now() - s.realBaseSteady;
  return s.realBaseModuleMs +
         static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(real).count());
}

std::uint64_t CalendarLocked(ClockState& s) {
  if (s.mode == Mode::Real) return RealNowMs() + static_cast<std::uint64_t>(s.calendarOffsetMs);
  return NowLocked(s) + static_cast<std::uint64_t>(s.calendarOffsetMs);
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

std::uint64_t CalendarNowMs() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  return CalendarLocked(s);
}

void StepCalendarClock(std::int64_t ms) {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  s.calendarOffsetMs += ms;
}

void UseRealClock() {
  ClockState& s = State();
  std::lock_guard lock(s.mutex);
  StartRealLocked(s);
  s.calendarOffsetMs = 0;
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
  s.calendarOffsetMs = 0;
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

ULONGLONG WINAPI GetTickCount64(void) { return plat::ClockNowMs(); }

DWORD GetClockSeconds(void) { return static_cast<DWORD>(plat::CalendarNowMs() / 1000); }

// Module seconds as they are (the clock starts from a calendar reading, far
// from 0), so that tests compare them with the clock they advance.
DWORD GetMonotonicSeconds(void) { return std::max<DWORD>(static_cast<DWORD>(plat::ClockNowMs() / 1000), 1); }

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  std::uint64_t ms = plat::CalendarNowMs();
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
