// write_counter_test.cc - the debounce: a burst is written once it has
// settled for one whole tick, or a second after its first change.
#include "core/write_counter.h"

#include <gtest/gtest.h>

#include "testing/process_state.h"

namespace cms::core {
namespace {

TEST(WriteCounter, DueOneTickAfterSettlingOrASecondAfterTheFirstChange) {
  testing::ResetProcessState();
  const WriteClock::time_point start = WriteClock::now();
  const auto tick = std::chrono::milliseconds(20);
  EXPECT_FALSE(TickDue(start));  // nothing changed
  CountChange(start);
  EXPECT_FALSE(TickDue(start + tick / 2));  // still changing
  EXPECT_TRUE(TickDue(start + tick));       // settled
  EXPECT_FALSE(TickDue(start + 2 * tick));
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
