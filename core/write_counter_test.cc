// write_counter_test.cc - the debounce: a burst is written once, after it
// has settled for one whole tick.
#include "core/write_counter.h"

#include <gtest/gtest.h>

#include "testing/process_state.h"

namespace cms::core {
namespace {

TEST(WriteCounter, BurstIsDueOneTickAfterItSettles) {
  testing::ResetProcessState();
  EXPECT_FALSE(TickDue());  // nothing changed
  for (int tick = 0; tick < 50; ++tick) {
    CountChange();
    EXPECT_FALSE(TickDue()) << tick;  // still changing: wait
  }
  EXPECT_TRUE(TickDue());  // settled
  EXPECT_EQ(Counters().changes, 0u);
  EXPECT_EQ(Counters().snapshot, 0u);
  EXPECT_FALSE(TickDue());

  // A reset forgets pending changes.
  CountChange();
  EXPECT_FALSE(TickDue());
  initPrivateData();
  EXPECT_FALSE(TickDue());
  EXPECT_FALSE(TickDue());
}

TEST(WriteCounter, SteadyChangesAreDueOnceTheFirstHasWaitedASecond) {
  testing::ResetProcessState();
  const WriteClock::time_point start = WriteClock::now();
  const auto tick = std::chrono::milliseconds(20);
  int due_at = -1;
  for (int i = 0; i < 60 && due_at < 0; ++i) {
    CountChange(start + i * tick);
    if (TickDue(start + i * tick + tick / 2)) due_at = i;
  }
  EXPECT_EQ(due_at, 50);  // the first tick a second after the first change
  CountChange(start + 51 * tick);
  EXPECT_FALSE(TickDue(start + 51 * tick + tick / 2));  // a new second
  testing::ResetProcessState();
}

}  // namespace
}  // namespace cms::core
