// startup_test.cc - start-up, ready announcement, debug flag and signals of
// the real daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kEventTimeout = seconds(5);
// The ready check runs one second after the loop starts; past this nothing
// more can come from it.
constexpr auto kReadyWindow = milliseconds(2500);

constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";

// `content` with the line of parameter `name` replaced by `line` (given
// without its line feed).
std::string WithLine(const std::string& content, const std::string& name,
                     const std::string& line) {
  std::string out;
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    end = end == std::string::npos ? content.size() : end + 1;
    const std::string current = content.substr(at, end - at);
    const bool match =
        current.compare(0, name.size(), name) == 0 &&
        current.size() > name.size() &&
        (current[name.size()] == '=' || current[name.size()] == '\t');
    out += match ? line + "\n" : current;
    at = end;
  }
  return out;
}

std::string SysiniWithDebug(const std::string& debug_line) {
  return WithLine(ReadExample("user/sysini.conf"), "sys_cms_debug_mode",
                  debug_line);
}

// A get answered proves that start-up has finished and requests are served.
void ExpectServes(const Sandbox& sandbox) {
  const std::optional<Frame> answer =
      sandbox.Exchange(MakeFrame(1, "hostname"));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(FrameStatus(*answer), kStatusOk);
  EXPECT_EQ(FrameValue(*answer), "lte-router");
}

TEST(Startup, ReadyEventOnlyWithoutMarker) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_FALSE(sandbox.FileExists("/tmp/cms_started"));
  EXPECT_EQ(sandbox.messages()->WaitFor(1, kEventTimeout),
            std::vector<std::string>{"mc_trigger 23"});
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.FileExists("/tmp/cms_started"); }, kEventTimeout));
  // Once only.
  EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());

  // A restart finds the marker and stays quiet.
  sandbox.Stop();
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->WaitFor(1, kReadyWindow).empty());
  ExpectServes(sandbox);
}

TEST(Startup, MarkerIsCreatedWithoutMessageCenter) {
  Sandbox sandbox(SandboxOptions().WithoutMessageCenter());
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.FileExists("/tmp/cms_started"); }, kEventTimeout));
}

TEST(Startup, DebugFlagFollowsSysini) {
  // Only a tab-separated digit switches debugging on: the flag is the
  // second tab-separated field of the line.
  struct Case {
    std::string line;
    bool debug;
  };
  const std::vector<Case> cases = {{"sys_cms_debug_mode\t1", true},
                                   {"sys_cms_debug_mode\t0", false},
                                   {"sys_cms_debug_mode=1", false},
                                   {"sys_cms_debug_mode\tyes", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Sandbox sandbox(
        SandboxOptions().WithFile(kSysini, SysiniWithDebug(c.line)));
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    ExpectServes(sandbox);
    if (c.debug) {
      EXPECT_TRUE(sandbox.WaitForStderr(
          "/CMSMain): Initial event registration\n", kEventTimeout))
          << sandbox.Stderr();
      EXPECT_TRUE(sandbox.WaitForStderr(
          "/CMSMain): Initializaton finished...CMS service start..\n",
          kEventTimeout));
      EXPECT_TRUE(
          sandbox.WaitForStderr("): get value [hostname]\n", kEventTimeout));
    } else {
      EXPECT_EQ(sandbox.Stderr().find("[CMS_DBG]"), std::string::npos)
          << sandbox.Stderr();
    }
  }
}

TEST(Startup, MissingSysiniMeansNoDebug) {
  Sandbox sandbox(SandboxOptions().WithoutExampleTree());
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const std::optional<Frame> answer =
      sandbox.Exchange(MakeFrame(1, "hostname"));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(FrameStatus(*answer), kStatusFailed);
  EXPECT_EQ(sandbox.Stderr().find("[CMS_DBG]"), std::string::npos)
      << sandbox.Stderr();
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
            (std::vector<std::string>{"fw_printenv", "ifconfig\tbr0"}));

  auto get = [&](const char* name) -> std::string {
    const std::optional<Frame> answer = sandbox.Exchange(MakeFrame(1, name));
    return answer.has_value() && FrameStatus(*answer) == kStatusOk
               ? FrameValue(*answer)
               : "<none>";
  };
  EXPECT_EQ(get("bootdelay"), "3");
  EXPECT_EQ(get("serial"), "A=B");
  EXPECT_EQ(get("bad-name"), "<none>");
  EXPECT_EQ(get("bootrom_version"), "U-Boot 2016.11 ");
  EXPECT_EQ(get("bootrom_creation_date"), "Apr 13 2024 - 10:00:00");
  EXPECT_EQ(get("software_version"), "LTE-CPE_2.4.7_build0413");
  EXPECT_EQ(get("lanaddr"), "02:C0:FF:EE:00:01");
  // The boot loader's values live in memory only.
  EXPECT_EQ(sandbox.ReadFile("/mnt/jffs2/conf/user/XCFGtemp.conf"), "");
}

TEST(Startup, SignalActions) {
  const std::string sysini =
      WithLine(SysiniWithDebug("sys_cms_debug_mode\t1"),
               "sys_reset_default_level", "sys_reset_default_level=2");
  Sandbox sandbox(SandboxOptions().WithFile(kSysini, sysini));
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  MsgListener& mc = *sandbox.messages();
  ASSERT_EQ(mc.WaitFor(1, kEventTimeout),
            std::vector<std::string>{"mc_trigger 23"});

  ASSERT_TRUE(sandbox.Signal(SIGUSR1));
  EXPECT_EQ(mc.WaitFor(1, kEventTimeout),
            std::vector<std::string>{"mc_trigger 63"});

  // SIGINT is only logged. (Sent only now: while the ready check runs its
  // "touch", system() ignores SIGINT, and one sent then would be lost.)
  ASSERT_TRUE(sandbox.Signal(SIGINT));
  EXPECT_TRUE(
      sandbox.WaitForStderr("signal_cb: got signal 2\n", kEventTimeout));
  EXPECT_TRUE(sandbox.Running());
  ExpectServes(sandbox);
  EXPECT_TRUE(mc.Drain().empty());

  // SIGUSR2 resets the level in its file at once, leaving every other line
  // as it was, then announces it.
  ASSERT_TRUE(sandbox.Signal(SIGUSR2));
  EXPECT_EQ(mc.WaitFor(1, kEventTimeout),
            std::vector<std::string>{"mc_trigger 22"});
  EXPECT_EQ(
      sandbox.ReadFile(kSysini),
      WithLine(sysini, "sys_reset_default_level", "sys_reset_default_level=0"));
  const std::optional<Frame> level =
      sandbox.Exchange(MakeFrame(1, "sys_reset_default_level"));
  ASSERT_TRUE(level.has_value());
  EXPECT_EQ(FrameValue(*level), "0");

  // SIGALRM only re-arms the alarm: the daemon must not die of it.
  ASSERT_TRUE(sandbox.Signal(SIGALRM));
  EXPECT_TRUE(
      sandbox.WaitForStderr("signal_cb: got signal 14\n", kEventTimeout));
  EXPECT_TRUE(sandbox.Running());
  EXPECT_TRUE(mc.Drain().empty());
}

TEST(Startup, SignalsWithoutMessageCenterChangeNothing) {
  const std::string sysini =
      WithLine(SysiniWithDebug("sys_cms_debug_mode\t1"),
               "sys_reset_default_level", "sys_reset_default_level=2");
  Sandbox sandbox(
      SandboxOptions().WithoutMessageCenter().WithFile(kSysini, sysini));
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The marker shows that the loop, and with it the signal handling, runs.
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.FileExists("/tmp/cms_started"); }, kEventTimeout));
  ASSERT_TRUE(sandbox.Signal(SIGUSR2));
  // Signals are handled one after the other on the loop thread: once the
  // SIGINT line is out, the SIGUSR2 action is over.
  ASSERT_TRUE(
      sandbox.WaitForStderr("signal_cb: got signal 12\n", kEventTimeout));
  ASSERT_TRUE(sandbox.Signal(SIGINT));
  ASSERT_TRUE(
      sandbox.WaitForStderr("signal_cb: got signal 2\n", kEventTimeout));
  EXPECT_EQ(sandbox.ReadFile(kSysini), sysini);
  const std::optional<Frame> level =
      sandbox.Exchange(MakeFrame(1, "sys_reset_default_level"));
  ASSERT_TRUE(level.has_value());
  EXPECT_EQ(FrameValue(*level), "2");
}

TEST(Startup, PortTakenEndsWithBindError) {
  Sandbox sandbox;
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(taken, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(sandbox.port()));
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(taken, 1), 0);

  sandbox.Launch();
  EXPECT_EQ(sandbox.WaitExit(seconds(10)), 0);
  EXPECT_NE(sandbox.Stderr().find("bind: Address already in use\n"),
            std::string::npos)
      << sandbox.Stderr();
  EXPECT_TRUE(sandbox.messages()->Drain().empty());
  EXPECT_FALSE(sandbox.FileExists("/tmp/cms_started"));
  close(taken);
}

}  // namespace
}  // namespace cms::testing
