// security_test.cc - what a stuck peer, a flood or a signal must not do to
// the daemon: hold its lock, grow it without bound, or lose what it has
// acknowledged.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <mutex>

#include "testing/sandbox.h"

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

TEST(Security, SleepingCallbackDoesNotDelayAnotherClient) {
  Sandbox sandbox;  // ui_sys_rm_type=2: a new web page restarts TR-069
  // The restart begins with a real sleep, shorter than the device's.
  sandbox.stubs().AddStub("/stub_bin/sleep", "/bin/sleep 2");
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  sandbox.stubs().ClearCalls();  // the start-up's own calls
  ASSERT_EQ(sandbox.Ask(2, "ipv6_webpage", "0"), "ok:");
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return !sandbox.stubs().Calls().empty(); }, seconds(5)));
  const double during = SlowestGetMs(sandbox, "hostname", "lte-router", 5);
  printf("security: get while the restart sleeps: %.2f ms\n", during);
  EXPECT_LT(during, 1000.0);
  // The commands themselves are those of the device, in its order.
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.stubs().Calls().size() == 3; }, seconds(5)));
  EXPECT_EQ(sandbox.stubs().Calls(),
            (std::vector<std::string>{"sleep\t10", "killall\tcwmpc", "cwmpc"}));
}

TEST(Security, FullCommandQueueRefusesAndKeepsOrder) {
  constexpr int kLimit = 4096;  // the queue's stated cap
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  for (int i = 0; i < kLimit; ++i) {
    ASSERT_EQ(sandbox.Ask(33, i % 2 ? "q_odd" : "q_even", std::to_string(i)),
              "ok:");
  }
  EXPECT_EQ(sandbox.Ask(33, "q_new", "x"), "failed");
  EXPECT_EQ(sandbox.Ask(34, "q_new"), "failed");
  EXPECT_EQ(sandbox.Ask(34, "q_odd"), "ok:1");
  EXPECT_EQ(sandbox.Ask(33, "q_new", "x"), "ok:");  // room for one again
  EXPECT_EQ(sandbox.Ask(33, "q_new", "y"), "failed");
  EXPECT_EQ(sandbox.Ask(34, "q_even"), "ok:0");
  EXPECT_EQ(sandbox.Ask(34, "q_odd"), "ok:3");
  EXPECT_EQ(sandbox.Ask(34, "q_new"), "ok:x");
}

// ---- Signals and the write-back ------------------------------------------

constexpr char kSecFile[] = "/mnt/jffs2/conf/user/sec.conf";

// The value of `name` in the text of a configuration file, or -1.
long ValueIn(const std::string& text, const std::string& name) {
  const size_t at = text.find(name + "=");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 1));
}

// Clients setting s0 .. s<n-1> of kSecFile to 1, 2, 3, ... back to back, each
// acknowledgement timed, until stopped.
class Traffic {
 public:
  Traffic(const Sandbox& sandbox, int names) : acks_(names) {
    for (int i = 0; i < names; ++i) {
      threads_.emplace_back([this, &sandbox, i] {
        for (long v = 1; !stop_; ++v) {
          if (sandbox.Ask(2, "s" + std::to_string(i), std::to_string(v)) !=
              "ok:")
            continue;
          std::lock_guard lock(mutex_);
          acks_[i].emplace_back(Clock::now(), v);
        }
      });
    }
  }
  ~Traffic() { Stop(); }
  void Stop() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }
  long LastAcked(int i) {
    std::lock_guard lock(mutex_);
    return acks_[i].empty() ? 0 : acks_[i].back().second;
  }
  // How long before `end` the oldest acknowledged value of s<i> above
  // `on_disk` came: the age of the oldest loss (0 when nothing was lost).
  double LostWindowMs(int i, long on_disk, Clock::time_point end) {
    std::lock_guard lock(mutex_);
    for (const auto& [when, value] : acks_[i]) {
      if (value > on_disk)
        return std::chrono::duration<double, std::milli>(end - when).count();
    }
    return 0;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::vector<std::pair<Clock::time_point, long>>> acks_;
  std::vector<std::thread> threads_;
};

TEST(Security, SighupWritesBackAndTheDaemonGoesOn) {
  Sandbox sandbox(Files{{kSecFile, "s0=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_TRUE(sandbox.messages()->WaitFor(1, seconds(5)).size() == 1);  // ready
  Traffic traffic(sandbox, 1);
  // Sets without a pause keep the settling tick from writing for a second.
  std::this_thread::sleep_for(milliseconds(200));
  const long before = traffic.LastAcked(0);
  ASSERT_TRUE(sandbox.Signal(SIGHUP));
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return ValueIn(sandbox.Read(kSecFile), "s0") >= before; },
      milliseconds(600)));
  EXPECT_TRUE(sandbox.Running());
  sandbox.Stop();  // SIGKILL
  traffic.Stop();
  EXPECT_GE(ValueIn(sandbox.Read(kSecFile), "s0"), before);
}

TEST(Security, SigtermAndSigquitExitZeroWithChangesWritten) {
  for (int sig : {SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(sig);
    Sandbox sandbox(Files{{kSecFile, "s0=0\n"}});
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    ASSERT_TRUE(sandbox.messages()->WaitFor(1, seconds(5)).size() == 1);
    ASSERT_EQ(sandbox.Ask(2, "s0", "7"), "ok:");
    ASSERT_TRUE(sandbox.Signal(sig));
    EXPECT_EQ(sandbox.WaitExit(seconds(5)), 0);
    EXPECT_EQ(sandbox.Read(kSecFile), "s0=7\n");
  }
}

TEST(Security, SigtermDuringStartUpExitsZero) {
  Sandbox sandbox;
  // Start-up waits here for the boot-loader environment.
  sandbox.stubs().AddStub("/stub_bin/fw_printenv", "/bin/sleep 1");
  ASSERT_TRUE(sandbox.Start(/*wait=*/false));
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return !sandbox.stubs().Calls().empty(); }, seconds(10)));
  ASSERT_TRUE(sandbox.Signal(SIGTERM));
  EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
}

TEST(Security, SigkillUnderSteadyTrafficLosesOnlyTheLastSecond) {
  constexpr int kNames = 2;
  Sandbox sandbox(Files{{kSecFile, "s0=0\ns1=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  Traffic traffic(sandbox, kNames);
  std::this_thread::sleep_for(seconds(3));
  const Clock::time_point kill_time = Clock::now();
  sandbox.Stop();  // SIGKILL
  traffic.Stop();
  const std::string file = sandbox.Read(kSecFile);
  double window = 0;
  for (int i = 0; i < kNames; ++i) {
    const long on_disk = ValueIn(file, "s" + std::to_string(i));
    EXPECT_GT(on_disk, 0) << file;
    window = std::max(window, traffic.LostWindowMs(i, on_disk, kill_time));
  }
  printf("security: steady sets, SIGKILL: oldest lost acknowledgement "
         "%.0f ms before the kill\n",
         window);
  // A second of settling at most, plus a tick and the write itself.
  EXPECT_LT(window, 1500.0);
}

}  // namespace
}  // namespace cms::testing
