// shell_test.cc - command texts: device text kept, root at the edge, values
// never reaching the shell as code.
#include "platform/shell.h"

#include <gtest/gtest.h>

#include "platform/root.h"
#include "tests/stub_programs.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

class ShellTest : public ::testing::Test {
 protected:
  void TearDown() override { SetRoot("/"); }
};

TEST_F(ShellTest, RootSlashKeepsDeviceText) {
  SetRoot("/");
  const char* text =
      "(release_local_ip=`ifconfig %s | grep \"Scope:G\"`;ip -6 addr add "
      "%s/64 dev %s;)&";
  const Command c = FormatCommand(text, {"br0", "fd00::1", "br0"});
  EXPECT_EQ(c.device, c.host);
  EXPECT_EQ(c.device,
            "(release_local_ip=`ifconfig br0 | grep \"Scope:G\"`;ip -6 addr "
            "add fd00::1/64 dev br0;)&");
  EXPECT_EQ(HostPath("/tmp/x"), "/tmp/x");
}

TEST_F(ShellTest, RootGoesBeforeAbsolutePathsOfTheFormatOnly) {
  SetRoot("/sandbox/");
  EXPECT_EQ(Root(), "/sandbox");
  EXPECT_EQ(HostPath("/tmp/env.log"), "/sandbox/tmp/env.log");
  EXPECT_EQ(HostPath("/dev/null"), "/dev/null");

  Command c = FormatCommand(
      "rm -rf /tmp/env.log; fw_printenv 2> /dev/null | sed -e \"/^[^=]*$/d\" "
      "> /tmp/env.log");
  EXPECT_EQ(c.device,
            "rm -rf /tmp/env.log; fw_printenv 2> /dev/null | sed -e "
            "\"/^[^=]*$/d\" > /tmp/env.log");
  // A sed address is no path, even at a word start.
  EXPECT_EQ(c.host,
            "rm -rf /sandbox/tmp/env.log; fw_printenv 2> /dev/null | sed -e "
            "\"/^[^=]*$/d\" > /sandbox/tmp/env.log");

  c = FormatCommand("(/bin/sleep 1; /bin/ipv6_start.sh LANrestart) &");
  EXPECT_EQ(c.host,
            "(/sandbox/bin/sleep 1; /sandbox/bin/ipv6_start.sh LANrestart) &");

  // The login program is an argument for telnetd; values are never rooted.
  c = FormatCommand("telnetd -l /bin/login -f %s > /dev/null 2>&1 &",
                    {"/etc/banner"});
  EXPECT_EQ(c.host, "telnetd -l /bin/login -f /etc/banner > /dev/null 2>&1 &");
  c = FormatCommand("/usr/sbin/vsftpd -obanner_file=%s &", {"/etc/b"});
  EXPECT_EQ(c.host, "/sandbox/usr/sbin/vsftpd -obanner_file=/etc/b &");
}

TEST_F(ShellTest, UnsafeValuesAreQuotedForTheirContext) {
  SetRoot("/");
  EXPECT_EQ(FormatCommand("a %s b", {"x-1.2:3/4@5%6+7,8=9_"}).device,
            "a x-1.2:3/4@5%6+7,8=9_ b");
  EXPECT_EQ(FormatCommand("a %s", {"x; rm -rf /"}).device, "a 'x; rm -rf /'");
  EXPECT_EQ(FormatCommand("a %s", {"it's"}).device, "a 'it'\\''s'");
  EXPECT_EQ(FormatCommand("grep -v \"%s\"", {"$(id)`x`\"\\"}).device,
            "grep -v \"\\$(id)\\`x\\`\\\"\\\\\"");
  EXPECT_EQ(FormatCommand("awk '%s'", {"a'b"}).device, "awk 'a'\\''b'");
  EXPECT_EQ(FormatCommand("a %s %s", {"only"}).device, "a only ");
}

TEST_F(ShellTest, CutFollowsTheDeviceLength) {
  testing::TempRoot root;
  SetRoot(root.dir());
  const Command c = FormatCommand("/sbin/ip route del default dev %s table main",
                                  {"tun0"}, 20);
  EXPECT_EQ(c.device, "/sbin/ip route del d");
  EXPECT_EQ(c.host, root.dir() + "/sbin/ip route del d");
}

TEST_F(ShellTest, HostileValueRunsAsOneArgument) {
  testing::TempRoot root;
  testing::StubPrograms stubs(root);
  stubs.Install();
  SetRoot(root.dir());
  for (const char* evil :
       {"a; touch /tmp/pwned", "$(touch /tmp/pwned)", "`touch /tmp/pwned`",
        "x' ; touch /tmp/pwned ; '", "two words", "line\nbreak"}) {
    stubs.ClearCalls();
    RunCommand(FormatCommand("iptables -D INPUT -s %s -j ACCEPT", {evil}));
    const auto calls = stubs.Calls();
    ASSERT_FALSE(calls.empty()) << evil;
    std::string expected = std::string("iptables\t-D\tINPUT\t-s\t") + evil;
    // The recorder writes one line per call; a value with a line feed spans
    // two lines of the log, so compare the joined log.
    std::string joined;
    for (const auto& line : calls) joined += (joined.empty() ? "" : "\n") + line;
    EXPECT_EQ(joined, expected + "\t-j\tACCEPT") << evil;
    EXPECT_FALSE(root.Exists("/tmp/pwned"));
  }
}

TEST_F(ShellTest, OpenCommandReadsOutput) {
  SetRoot("/");
  FILE* p = OpenCommand(FormatCommand("printf '%s'", {"a b"}));
  ASSERT_NE(p, nullptr);
  char buf[16] = {};
  ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
  EXPECT_STREQ(buf, "a b");
  CloseCommand(p);
}

}  // namespace
}  // namespace cms::platform
