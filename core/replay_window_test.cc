// replay_window_test.cc - what the window admits, and that forgetting never
// readmits.
#include "core/replay_window.h"

#include <gtest/gtest.h>

namespace cms::core {
namespace {

constexpr int64_t kStart = 1'000'000;

TEST(ReplayWindow, AdmitsEachSealOnceWithinTheWindowAndForgetsSafely) {
  ReplayWindow window(kStart, 2);
  const unsigned char a[16] = {1}, b[16] = {2}, c[16] = {3}, d[16] = {4};
  const int64_t now = kStart + 20'000;
  struct Row {
    const unsigned char (&id)[16];
    int64_t sealed_ms;
    bool admitted;
  } rows[] = {
      {a, now - 3, true},
      {a, now - 3, false},  // the same request again
      {b, now - 2, true},
      {c, now - 1, true},                      // full: forgets a, floor at a
      {a, now - 3, false},                     // forgotten, yet refused
      {d, now - 3, false},                     // at the floor
      {d, now - kSealFreshnessMs - 1, false},  // stale
      {d, now + kSealFreshnessMs + 1, false},  // ahead of the clock
      {b, now - 2, false},
      {d, now, true},  // forgets b
      // Unstamped: refused while remembered; past the capacity the oldest is
      // forgotten, the price of serving clients that do not stamp.
      {a, 0, true},
      {b, 0, true},
      {a, 0, false},
      {c, 0, true},
      {b, 0, false},
      {a, 0, true},  // c forgets a
  };
  for (const Row& row : rows) {
    EXPECT_EQ(window.Admit(row.id, row.sealed_ms, now), row.admitted)
        << int{row.id[0]} << " " << row.sealed_ms - now;
  }
  // Sealed before the daemon started: never, even within the window.
  ReplayWindow fresh(kStart);
  EXPECT_FALSE(fresh.Admit(a, kStart - 1, kStart + 1));
  EXPECT_TRUE(fresh.Admit(a, kStart + 1, kStart + 1));
}

}  // namespace
}  // namespace cms::core
