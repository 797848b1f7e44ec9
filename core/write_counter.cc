// write_counter.cc - the debounce behind the write-back tick.
#include "core/write_counter.h"

namespace cms::core {

WriteBackCounters& Counters() {
  static WriteBackCounters counters{0, 0, {}};
  return counters;
}

void initPrivateData() { Counters() = WriteBackCounters{0, 0, {}}; }

void CountChange(WriteClock::time_point now) {
  WriteBackCounters& c = Counters();
  if (c.changes == 0) c.first_change = now;
  ++c.changes;
}

bool TickDue(WriteClock::time_point now) {
  WriteBackCounters& c = Counters();
  if (c.changes == 0) return false;
  // Bounded, unlike a pure debounce: changes arriving once per tick for
  // ever would otherwise never reach the files, and a power cut would lose
  // all of them.
  if (c.snapshot < c.changes && now - c.first_change < kMaxWriteDelay) {
    // Changes are still arriving: look again at the next tick.
    c.snapshot = c.changes;
    return false;
  }
  c.changes = 0;
  c.snapshot = 0;
  return true;
}

}  // namespace cms::core
