// startup_test.cc - the ready announcement and the signals of the daemon,
// and the findings on the configuration tree.
#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr auto kTimeout = seconds(5);
// The ready check runs a second after the loop starts: nothing comes later.
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
  Sandbox sandbox(Files{{kSysini, Sysini('2')}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The marker follows the ready event: the loop runs.
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Exists("/tmp/cms_started"); }, kTimeout));
  // SIGUSR1 announces event 63; SIGUSR2 resets the level (and only that
  // line), then announces it. Each is sent once the one before is logged:
  // system() ignores SIGINT meanwhile.
  for (int sig : {SIGUSR1, SIGUSR2, SIGINT, SIGALRM}) {
    ASSERT_TRUE(sandbox.Signal(sig));
    EXPECT_TRUE(sandbox.WaitForStderr(
        "signal_cb: got signal " + std::to_string(sig) + "\n", kTimeout));
  }
  EXPECT_EQ(sandbox.Read(kSysini), Sysini('0'));
  EXPECT_EQ(sandbox.Ask(1, "sys_reset_default_level"), "ok:0");
  // The ready event comes once; a restart finds the marker and is quiet.
  EXPECT_EQ(sandbox.messages()->WaitFor(4, kReadyWindow),
            (std::vector<std::string>{"mc_trigger 23", "mc_trigger 63",
                                      "mc_trigger 22"}));
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());
}

// A daemon that cannot listen ends quietly, and without a leak report in the
// sanitizer build.
TEST(Startup, PortTakenEndsWithBindError) {
  Sandbox sandbox;
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(sandbox.port())),
                         {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_FALSE(bind(taken, (const sockaddr*)&addr, sizeof addr) ||
               listen(taken, 1));
  sandbox.Start(false);
  EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
  EXPECT_NE(sandbox.Stderr().find("bind: Address already in use\n"),
            std::string::npos) << sandbox.Stderr();
  EXPECT_FALSE(sandbox.Exists("/tmp/cms_started"));
  close(taken);
}

// cmsd --check and the start-up warnings report the same findings, and no
// other: the ISP side's cc_a is no double, the example tree is clean.
TEST(ConfigCheck, FindingsOfCheckAndStartUpAgree) {
  const std::string file = "/mnt/jffs2/conf/user/cc.conf";
  Sandbox sandbox(Files{{file, "cc_a=1\ncc_b 2\ncc_a=5\n"},
                        {"/mnt/jffs2/conf/isp/user/cc.conf", "cc_a=isp\n"}});
  const std::string no_eq = file + ":2: no \"=\" after the name cc_b\n",
                    again = file + ":3: cc_a again (first at " + file +
                            ":1); the last one read wins\n";
  const std::string check = CMS_BUILD_DIR "/cmsd --check --root " +
                            sandbox.dir() + " >" + sandbox.Host("/check.out");
  EXPECT_EQ(WEXITSTATUS(system(check.c_str())), 1);
  EXPECT_EQ(sandbox.Read("/check.out"), no_eq + again);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_TRUE(
      sandbox.WaitForStderr("cmsd: " + no_eq + "cmsd: " + again, kTimeout))
      << sandbox.Stderr();
}

}  // namespace
}  // namespace cms::testing
