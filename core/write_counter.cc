// write_counter.cc - the debounce behind the write-back tick.
#include "core/write_counter.h"

namespace cms::core {

WriteBackCounters& Counters() {
  static WriteBackCounters counters{0, 0};
  return counters;
}

void initPrivateData() { Counters() = WriteBackCounters{0, 0}; }

void CountChange() { ++Counters().changes; }

bool TickDue() {
  WriteBackCounters& c = Counters();
  if (c.changes == 0) return false;
  if (c.snapshot < c.changes) {
    // Changes are still arriving: look again at the next tick.
    c.snapshot = c.changes;
    return false;
  }
  c.changes = 0;
  c.snapshot = 0;
  return true;
}

}  // namespace cms::core
