// startup_test.cc - start-up, ready announcement and signals of the real
// daemon.
#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr auto kTimeout = seconds(5);
// The ready check runs one second after the loop starts; past this nothing
// more can come from it.
constexpr auto kReadyWindow = milliseconds(2500);
constexpr char kSysini[] = "/mnt/jffs2/conf/user/sysini.conf";
constexpr char kMarker[] = "/tmp/cms_started";

// The example sysini.conf with debugging on (a tab, then 1) and the reset
// level set to `level`.
std::string Sysini(char level) {
  std::string text = Sandbox::ReadExample("user/sysini.conf");
  text[text.find("sys_cms_debug_mode\t0") + 19] = '1';
  text[text.find("sys_reset_default_level=0") + 24] = level;
  return text;
}

TEST(Startup, SignalActions) {
  for (const bool with_mc : {true, false}) {
    SCOPED_TRACE(with_mc ? "message center" : "no message center");
    Sandbox sandbox(Files{{kSysini, Sysini('2')}}, with_mc);
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    // The marker follows the ready event (made even when the event cannot
    // be sent) and shows that the loop, and with it signal handling, runs.
    ASSERT_TRUE(
        Sandbox::WaitUntil([&] { return sandbox.Exists(kMarker); }, kTimeout));
    // SIGUSR1 announces event 63. SIGUSR2 resets the level in its file at
    // once, leaving every other line as it was, then announces it; without
    // a message center it does nothing. SIGINT is only logged, SIGALRM only
    // re-arms the alarm. Each is sent once the one before is logged:
    // signals are handled one after the other on the loop thread, and
    // while the ready check runs its "touch", system() ignores SIGINT.
    for (int sig : {SIGUSR1, SIGUSR2, SIGINT, SIGALRM}) {
      ASSERT_TRUE(sandbox.Signal(sig));
      EXPECT_TRUE(sandbox.WaitForStderr(
          "signal_cb: got signal " + std::to_string(sig) + "\n", kTimeout));
    }
    EXPECT_TRUE(sandbox.Running());
    EXPECT_EQ(sandbox.Read(kSysini), Sysini(with_mc ? '0' : '2'));
    EXPECT_EQ(sandbox.Ask(1, "sys_reset_default_level"),
              with_mc ? "ok:0" : "ok:2");
    if (!with_mc) continue;
    // The ready event comes once; a restart finds the marker and is quiet.
    EXPECT_EQ(sandbox.messages()->WaitFor(4, kReadyWindow),
              (std::vector<std::string>{"mc_trigger 23", "mc_trigger 63",
                                        "mc_trigger 22"}));
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());
  }
}

TEST(Startup, PortTakenEndsWithBindError) {
  Sandbox sandbox;
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr{AF_INET,
                         htons(static_cast<uint16_t>(sandbox.port())),
                         {htonl(INADDR_LOOPBACK)},
                         {}};
  ASSERT_FALSE(bind(taken, (const sockaddr*)&addr, sizeof addr) ||
               listen(taken, 1));
  sandbox.Start(false);
  EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
  EXPECT_NE(sandbox.Stderr().find("bind: Address already in use\n"),
            std::string::npos)
      << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->Drain().empty());
  EXPECT_FALSE(sandbox.Exists(kMarker));
  close(taken);
}

}  // namespace
}  // namespace cms::testing
