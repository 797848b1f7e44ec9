// write_counter_test.cc - the debounce: a burst is written once, after it
// has settled for one whole tick.
#include "core/write_counter.h"

#include <gtest/gtest.h>

namespace cms::core {
namespace {

TEST(WriteCounter, BurstIsDueOneTickAfterItSettles) {
  initPrivateData();
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

}  // namespace
}  // namespace cms::core
