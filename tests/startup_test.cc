// startup_test.cc - start-up, ready announcement, debug flag and signals of
// the real daemon.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Messages = std::vector<std::string>;

constexpr auto kEventTimeout = seconds(5);
// The ready check runs one second after the loop starts; past this nothing
// more can come from it.
constexpr auto kReadyWindow = milliseconds(2500);
constexpr char kSysini[] = "/mnt/jffs2/conf/user/sysini.conf";
constexpr char kMarker[] = "/tmp/cms_started";
constexpr char kLevel[] = "sys_reset_default_level";

// `content` with the line of parameter `name` replaced by `line`.
std::string WithLine(const std::string& content, const std::string& name,
                     const std::string& line) {
  return std::regex_replace(
      content, std::regex("(^|\n)" + name + "[=\t][^\n]*"), "$1" + line);
}

std::string SysiniWithDebug(const std::string& line) {
  return WithLine(ReadExample("user/sysini.conf"), "sys_cms_debug_mode", line);
}

// A user-side get; "<none>" when the daemon answers failure or nothing.
std::string Get(const Sandbox& sandbox, const char* name) {
  const std::optional<Frame> r = sandbox.Exchange(MakeFrame(1, name));
  return r && FrameStatus(*r) == kStatusOk ? FrameValue(*r) : "<none>";
}

TEST(Startup, ReadyEventOnlyWithoutMarker) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_FALSE(sandbox.FileExists(kMarker));
  EXPECT_EQ(sandbox.messages()->WaitFor(1, kEventTimeout),
            Messages{"mc_trigger 23"});
  EXPECT_TRUE(Sandbox::WaitUntil([&] { return sandbox.FileExists(kMarker); },
                                 kEventTimeout));
  EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());  // once

  // A restart finds the marker and stays quiet.
  sandbox.Stop();
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());
  EXPECT_EQ(Get(sandbox, "hostname"), "lte-router");
}

TEST(Startup, DebugFlagFollowsSysini) {
  // Only a tab-separated digit switches debugging on: the flag is the
  // second tab-separated field of the line. No sysini.conf: no debugging.
  for (const char* line :
       {"sys_cms_debug_mode\t1", "sys_cms_debug_mode\t0",
        "sys_cms_debug_mode=1", "sys_cms_debug_mode\tyes", "(no file)"}) {
    SCOPED_TRACE(line);
    const bool debug = line == std::string("sys_cms_debug_mode\t1");
    const bool tree = line != std::string("(no file)");
    Sandbox sandbox(
        tree ? SandboxOptions().WithFile(kSysini, SysiniWithDebug(line))
             : SandboxOptions().WithoutExampleTree());
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    EXPECT_EQ(Get(sandbox, "hostname"), tree ? "lte-router" : "<none>");
    if (!debug) {
      EXPECT_EQ(sandbox.Stderr().find("[CMS_DBG]"), std::string::npos)
          << sandbox.Stderr();
      continue;
    }
    for (const char* text : {"/CMSMain): Initial event registration\n",
                             "/CMSMain): Initializaton finished...CMS "
                             "service start..\n",
                             "): get value [hostname]\n"}) {
      EXPECT_TRUE(sandbox.WaitForStderr(text, kEventTimeout))
          << sandbox.Stderr();
    }
  }
}

TEST(Startup, BootLoaderAndSpecialParameters) {
  Sandbox sandbox;
  sandbox.stubs().AddStub(
      "/stub_bin/fw_printenv",
      "printf 'bootdelay=3\\nbad-name=1\\nserial=A=B\\nnoequals\\n'");
  sandbox.stubs().AddStub(
      "/stub_bin/ifconfig",
      "echo 'br0       Link encap:Ethernet  HWaddr 02:C0:FF:EE:00:01'");
  ASSERT_TRUE(
      sandbox.Start({"version_uboot=U-Boot 2016.11 (Apr 13 2024 - 10:00:00)"}))
      << sandbox.Stderr();
  EXPECT_EQ(sandbox.stubs().Calls(),
            (Messages{"fw_printenv", "ifconfig\tbr0"}));
  EXPECT_EQ(Get(sandbox, "bootdelay"), "3");
  EXPECT_EQ(Get(sandbox, "serial"), "A=B");
  EXPECT_EQ(Get(sandbox, "bad-name"), "<none>");
  EXPECT_EQ(Get(sandbox, "bootrom_version"), "U-Boot 2016.11 ");
  EXPECT_EQ(Get(sandbox, "bootrom_creation_date"), "Apr 13 2024 - 10:00:00");
  EXPECT_EQ(Get(sandbox, "software_version"), "LTE-CPE_2.4.7_build0413");
  EXPECT_EQ(Get(sandbox, "lanaddr"), "02:C0:FF:EE:00:01");
  // The boot loader's values live in memory only.
  EXPECT_EQ(sandbox.ReadFile("/mnt/jffs2/conf/user/XCFGtemp.conf"), "");
}

TEST(Startup, SignalActions) {
  const std::string sysini = WithLine(SysiniWithDebug("sys_cms_debug_mode\t1"),
                                      kLevel, std::string(kLevel) + "=2");
  for (const bool with_mc : {true, false}) {
    SCOPED_TRACE(with_mc ? "message center" : "no message center");
    SandboxOptions options = SandboxOptions().WithFile(kSysini, sysini);
    Sandbox sandbox(with_mc ? options : options.WithoutMessageCenter());
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    // The marker is made even when the ready event cannot be sent, and
    // shows that the loop, and with it the signal handling, runs.
    ASSERT_TRUE(Sandbox::WaitUntil([&] { return sandbox.FileExists(kMarker); },
                                   kEventTimeout));
    MsgListener* mc = sandbox.messages();
    if (mc != nullptr) {
      EXPECT_EQ(mc->WaitFor(1, kEventTimeout), Messages{"mc_trigger 23"});
      ASSERT_TRUE(sandbox.Signal(SIGUSR1));
      EXPECT_EQ(mc->WaitFor(1, kEventTimeout), Messages{"mc_trigger 63"});
    }
    // SIGUSR2 resets the level in its file at once, leaving every other
    // line as it was, then announces it; without a message center it does
    // nothing. SIGINT is only logged, SIGALRM only re-arms the alarm. Each is
    // sent once the one before is logged: signals are handled one after the
    // other on the loop thread, and while the ready check runs its "touch",
    // system() ignores SIGINT.
    for (int sig : {SIGUSR2, SIGINT, SIGALRM}) {
      ASSERT_TRUE(sandbox.Signal(sig));
      EXPECT_TRUE(sandbox.WaitForStderr(
          "signal_cb: got signal " + std::to_string(sig) + "\n",
          kEventTimeout));
    }
    EXPECT_TRUE(sandbox.Running());
    EXPECT_EQ(
        sandbox.ReadFile(kSysini),
        mc ? WithLine(sysini, kLevel, std::string(kLevel) + "=0") : sysini);
    EXPECT_EQ(Get(sandbox, kLevel), mc ? "0" : "2");
    if (mc) {
      EXPECT_EQ(mc->Drain(), Messages{"mc_trigger 22"});
    }
  }
}

TEST(Startup, PortTakenEndsWithBindError) {
  Sandbox sandbox;
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr{AF_INET,
                         htons(static_cast<uint16_t>(sandbox.port())),
                         {htonl(INADDR_LOOPBACK)},
                         {}};
  ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&addr), sizeof addr),
            0);
  ASSERT_EQ(listen(taken, 1), 0);
  sandbox.Launch();
  EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
  EXPECT_NE(sandbox.Stderr().find("bind: Address already in use\n"),
            std::string::npos)
      << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->Drain().empty());
  EXPECT_FALSE(sandbox.FileExists(kMarker));
  close(taken);
}

}  // namespace
}  // namespace cms::testing
