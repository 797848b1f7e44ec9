// security_test.cc - what a signal must not do to the daemon: lose what it
// has acknowledged. (A stuck message center, a sleeping callback and a full
// command queue: platform/libmc_test.cc, platform/libcmc_test.cc,
// core/cmd_queue_test.cc.)
#include <gtest/gtest.h>

#include <mutex>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

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

// Sets without a pause keep the settling tick from writing for a second:
// SIGHUP writes at once and the daemon goes on; the tick still writes at
// least once a second, so SIGKILL loses only the last second or so.
TEST(Security, SteadyTrafficIsWrittenOnSighupAndSurvivesSigkill) {
  constexpr int kNames = 2;
  Sandbox sandbox(Files{{kSecFile, "s0=0\ns1=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_EQ(sandbox.messages()->WaitFor(1, seconds(5)).size(), 1u);  // ready
  Traffic traffic(sandbox, kNames);
  std::this_thread::sleep_for(milliseconds(200));
  const long before = traffic.LastAcked(0);
  ASSERT_TRUE(sandbox.Signal(SIGHUP));
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return ValueIn(sandbox.Read(kSecFile), "s0") >= before; },
      milliseconds(600)));
  EXPECT_TRUE(sandbox.Running());

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

// SIGTERM and SIGQUIT write back what is pending and exit with 0, also
// while start-up still waits for the boot-loader environment.
TEST(Security, SigtermAndSigquitExitZeroWithChangesWritten) {
  for (const auto& [sig, in_start_up] :
       {std::pair{SIGTERM, false}, {SIGQUIT, false}, {SIGTERM, true}}) {
    SCOPED_TRACE(std::to_string(sig) + (in_start_up ? " in start-up" : ""));
    Sandbox sandbox(Files{{kSecFile, "s0=0\n"}});
    if (in_start_up) {
      sandbox.stubs().AddStub("/stub_bin/fw_printenv", "/bin/sleep 1");
      ASSERT_TRUE(sandbox.Start(/*wait=*/false));
      ASSERT_TRUE(Sandbox::WaitUntil(
          [&] { return !sandbox.stubs().Calls().empty(); }, seconds(10)));
    } else {
      ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
      ASSERT_EQ(sandbox.messages()->WaitFor(1, seconds(5)).size(), 1u);
      ASSERT_EQ(sandbox.Ask(2, "s0", "7"), "ok:");
    }
    ASSERT_TRUE(sandbox.Signal(sig));
    EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
    EXPECT_EQ(sandbox.Read(kSecFile), in_start_up ? "s0=0\n" : "s0=7\n");
  }
}

}  // namespace
}  // namespace cms::testing
