// security_test.cc - what a stuck peer, a flood or a signal must not do to
// the daemon: hold its lock, grow it without bound, or lose what it has
// acknowledged.
#include <gtest/gtest.h>
#include <sys/un.h>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

// Slowest of `count` gets of `name` on new connections, in ms; each must
// answer `value`.
double SlowestGetMs(const Sandbox& sandbox, const std::string& name,
                    const std::string& value, int count) {
  double slowest = 0;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(sandbox.Ask(1, name), "ok:" + value);
    slowest = std::max(
        slowest,
        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return slowest;
}

TEST(Security, MessageCenterThatNeverReadsDoesNotDelayAGet) {
  Sandbox sandbox(Files{}, /*message_center=*/false);
  // Bound, never read: its short queue fills with the first few events.
  const int stuck = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = sandbox.Host("/var/run/msgcenter.sock");
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const double alone = SlowestGetMs(sandbox, "hostname", "lte-router", 20);
  // Sixteen firewall settings, one event each at write-back, and a storm of
  // SIGUSR1, one event each.
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(sandbox.Ask(2, i % 2 ? "sys_firewall" : "ui_wan_ping",
                          "v" + std::to_string(i)),
              "ok:");
  }
  for (int i = 0; i < 30; ++i) {
    sandbox.Signal(SIGUSR1);
    std::this_thread::sleep_for(milliseconds(2));
  }
  const double stuck_center = SlowestGetMs(sandbox, "hostname", "lte-router", 50);
  printf("security: stuck message center: slowest get alone=%.2f ms, "
         "after events=%.2f ms\n",
         alone, stuck_center);
  // A second per event before; the generous bound allows for a busy host.
  EXPECT_LT(stuck_center, alone + 200.0);
  close(stuck);
}

}  // namespace
}  // namespace cms::testing
