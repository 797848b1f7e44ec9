// security_test.cc - what a signal must not do to the daemon: lose what it
// has acknowledged.
#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kSecFile[] = "/mnt/jffs2/conf/user/sec.conf";

long ValueIn(const std::string& text, const std::string& name) {
  const size_t at = text.find(name + "=");
  return at == std::string::npos ? -1
                                 : std::stol(text.substr(at + name.size() + 1));
}

// Sets back to back keep the settling tick from writing: SIGHUP writes at
// once, and the tick still writes once a second, so SIGKILL loses only the
// last second or so.
TEST(Security, SteadyTrafficIsWrittenOnSighupAndSurvivesSigkill) {
  Sandbox sandbox(Files{{kSecFile, "s0=0\ns1=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_EQ(sandbox.messages()->WaitFor(1, seconds(5)).size(), 1u);  // ready
  std::atomic<bool> stop{false};
  std::atomic<long> acked[2] = {0, 0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 2; ++i)
    clients.emplace_back([&, i] {
      for (long v = 1; !stop; ++v)
        if (sandbox.Ask(2, "s" + std::to_string(i), std::to_string(v)) == "ok:")
          acked[i] = v;
    });
  std::this_thread::sleep_for(milliseconds(200));
  const long before = acked[0];
  EXPECT_TRUE(sandbox.Signal(SIGHUP));  // no ASSERT: the clients run
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return ValueIn(sandbox.Read(kSecFile), "s0") >= before; },
      milliseconds(600)));
  EXPECT_TRUE(sandbox.Running());

  std::this_thread::sleep_for(seconds(3));
  // A second of settling at most, plus a tick and the write itself.
  const long due[2] = {acked[0], acked[1]};
  std::this_thread::sleep_for(milliseconds(1500));
  sandbox.Stop();  // SIGKILL
  stop = true;
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(ValueIn(sandbox.Read(kSecFile), "s" + std::to_string(i)), due[i])
        << sandbox.Read(kSecFile);
  }
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
