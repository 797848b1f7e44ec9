// startup_test.cc - the ready announcement and the signals of the daemon.
#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr auto kTimeout = seconds(5);
// The ready check runs one second after the loop starts; past this nothing
// more can come from it.
constexpr auto kReadyWindow = milliseconds(2500);
constexpr char kSysini[] = "/mnt/jffs2/conf/user/sysini.conf";

// The example sysini.conf with debugging on and the reset level `level`.
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
    // The marker follows the ready event, sent or not: the loop runs.
    ASSERT_TRUE(Sandbox::WaitUntil(
        [&] { return sandbox.Exists("/tmp/cms_started"); }, kTimeout));
    // SIGUSR1 announces event 63; SIGUSR2 resets the level (and only that
    // line), then announces it, but not without a message center. Each is
    // sent once the one before is logged: system() ignores SIGINT meanwhile.
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

}  // namespace
}  // namespace cms::testing
