// write_counter.h - counts changing requests so that the tick writes a burst
// of changes back once, after it has settled.
#pragma once

#include <cstdint>

namespace cms::core {

// Both fields are touched only with ParamListLock held.
struct WriteBackCounters {
  uint32_t changes;   // successful changing requests since the last write
  uint32_t snapshot;  // `changes` as the previous tick saw it
};

WriteBackCounters& Counters();

// Zeroes both counters (start-up, and the reset for tests).
void initPrivateData();

// One successful changing request.
void CountChange();

// One tick of the debounce. True when the changes have settled since the
// previous tick: the counters are zeroed and the caller writes back now.
bool TickDue();

}  // namespace cms::core
