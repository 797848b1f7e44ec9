// write_counter.h - counts changing requests so that the tick writes a burst
// of changes back once, after it has settled, and no later than a second
// after the first of them.
#pragma once

#include <chrono>
#include <cstdint>

namespace cms::core {

using WriteClock = std::chrono::steady_clock;

// Changes pending this long are written at the next tick even while more
// keep arriving.
inline constexpr std::chrono::milliseconds kMaxWriteDelay{1000};

// All fields are touched only with ParamListLock held.
struct WriteBackCounters {
  uint32_t changes;   // successful changing requests since the last write
  uint32_t snapshot;  // `changes` as the previous tick saw it
  WriteClock::time_point first_change;  // when `changes` left 0
};

WriteBackCounters& Counters();

// Zeroes both counters (start-up, and the reset for tests).
void initPrivateData();

// One successful changing request.
void CountChange(WriteClock::time_point now = WriteClock::now());

// One tick of the debounce. True when the changes have settled since the
// previous tick, or have waited kMaxWriteDelay: the counters are zeroed and
// the caller writes back now.
bool TickDue(WriteClock::time_point now = WriteClock::now());

}  // namespace cms::core
