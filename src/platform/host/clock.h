// The platform clock behind Sleep, GetTickCount and the module's seconds clocks.
#pragma once

#include <chrono>
#include <cstdint>

namespace plat {

// Module time: milliseconds on the current clock, starting from the calendar's
// reading when the clock was chosen; never steps (Sleep, GetTickCount).
std::uint64_t ClockNowMs();
// The calendar: milliseconds since 1 January 1970 UTC, module time plus the
// steps made with StepCalendarClock (GetClockSeconds, GetLocalTime).
std::uint64_t CalendarNowMs();
// Steps the calendar by `ms` (negative: back), leaving module time alone, as
// a change of the system's date does. Choosing a clock clears the steps.
void StepCalendarClock(std::int64_t ms);

// Real time: module time is wall-clock time.
void UseRealClock();
// Module time runs `factor` times faster than real time, starting from now.
void UseScaledClock(double factor);
// Module time stands still until AdvanceClock; it starts at `startMs`.
void UseManualClock(std::uint64_t startMs = 1'000'000'000'000ULL);
// Manual clock only: moves time forward and wakes every sleeper that is due.
void AdvanceClock(std::uint64_t ms);
bool IsManualClock();

// Number of threads currently inside Sleep (any clock).
int SleeperCount();
// Waits (real time, bounded) until at least `count` threads sleep in module time.
bool WaitForSleepers(int count, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
// Manual clock: advance in steps of `stepMs` up to `totalMs`, letting the threads
// that wake run until `sleepers` of them sleep again before each next step.
void AdvanceClockStepwise(std::uint64_t totalMs, std::uint64_t stepMs, int sleepers);

}  // namespace plat
