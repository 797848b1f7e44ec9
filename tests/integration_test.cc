// integration_test.cc - requests through the socket reach the files on
// flash and the message center, through the real daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using Messages = std::vector<std::string>;

constexpr auto kTimeout = std::chrono::seconds(5);

// `content` with the value of every line of `name` replaced; the line keeps
// its separator.
std::string WithValue(const std::string& content, const std::string& name,
                      const std::string& value) {
  return std::regex_replace(
      content, std::regex("((?:^|\n)" + name + "[=\t])[^\n]*"), "$01" + value);
}

std::string Without(const std::string& content, const std::string& line) {
  return std::regex_replace(content, std::regex(line + "\n"), "");
}

class Integration : public ::testing::Test {
 protected:
  // One request: "ok:" and the value answered, or "failed".
  std::string Request(int32_t cmd, std::string_view name,
                      std::string_view value = {},
                      std::string_view location = {}) {
    const std::optional<Frame> r =
        sandbox_.Exchange(MakeFrame(cmd, name, value, location));
    if (!r.has_value()) return "no answer";
    EXPECT_EQ(FramePid(*r), kTestPid);
    return FrameStatus(*r) == kStatusOk ? "ok:" + FrameValue(*r) : "failed";
  }

  // Waits until the user-side file holds `expected`, then compares (so
  // that a mismatch shows both texts).
  void ExpectFile(const std::string& file, const std::string& expected) {
    const std::string path = "/mnt/jffs2/conf/user/" + file;
    Sandbox::WaitUntil([&] { return sandbox_.ReadFile(path) == expected; },
                       kTimeout);
    EXPECT_EQ(sandbox_.ReadFile(path), expected) << path;
  }

  Sandbox sandbox_;
};

TEST_F(Integration, ChangesAreWrittenBackWithTheirEvents) {
  ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
  MsgListener& mc = *sandbox_.messages();
  ASSERT_EQ(mc.WaitFor(1, kTimeout), Messages{"mc_trigger 23"});
  EXPECT_EQ(Request(2, "wan_ntp2", "ntp2.example.net"), "ok:");
  EXPECT_EQ(Request(2, "wan_ntp1", "ntp1.example.net"), "ok:");
  EXPECT_EQ(Request(12, "wan_ntp3", "ntp3.example.net", "wan_network.conf"),
            "ok:");
  EXPECT_EQ(Request(2, "hostname", "gateway"), "ok:");
  EXPECT_EQ(Request(2, "sys_multicast", "disable"), "ok:");
  EXPECT_EQ(Request(2, "sys_multicast", "disable"), "failed");  // unchanged
  EXPECT_EQ(Request(9, "ui_wan_ping"), "ok:");
  EXPECT_EQ(Request(2, "scratch_value", "42"), "ok:");  // not in any file

  // wan_network.conf: the two NTP callbacks in line order while the file is
  // rewritten, then the file's own callback. sysini.conf: host name, then
  // multicast. fw_rule.conf: its file callback (firewall). The order of
  // the files among themselves is the file table's.
  const Messages got = mc.WaitFor(6, kTimeout);
  EXPECT_EQ(got.size(), 6u) << ::testing::PrintToString(got);
  for (const Messages& in_order :
       {Messages{"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000",
                 "mc_trigger_delay 38 1000"},
        Messages{"mc_trigger_delay 8 1000", "mc_trigger_delay 14 1000"},
        Messages{"mc_trigger_delay 10 1000"}}) {
    Messages seen;
    std::copy_if(got.begin(), got.end(), std::back_inserter(seen),
                 [&](auto& m) {
                   return std::count(in_order.begin(), in_order.end(), m) != 0;
                 });
    EXPECT_EQ(seen, in_order);
  }
  const std::string wan =
      WithValue(WithValue(ReadExample("user/wan_network.conf"), "wan_ntp1",
                          "ntp1.example.net"),
                "wan_ntp2", "ntp2.example.net") +
      "wan_ntp3=ntp3.example.net\n";
  ExpectFile("wan_network.conf", wan);
  ExpectFile("sysini.conf",
             Without(WithValue(WithValue(ReadExample("user/sysini.conf"),
                                         "hostname", "gateway"),
                               "sys_multicast", "disable"),
                     "######end of file######"));
  ExpectFile("fw_rule.conf",
             Without(ReadExample("user/fw_rule.conf"), "ui_wan_ping=disable"));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/app/hosts"),
            "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n");
  // Files nobody changed are left alone, the in-memory file stays empty.
  ExpectFile("lan.conf", ReadExample("user/lan.conf"));
  ExpectFile("XCFGtemp.conf", "");
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/isp/user/sysini.conf"),
            ReadExample("isp/user/sysini.conf"));
  EXPECT_EQ(Request(1, "hostname"), "ok:gateway");
  EXPECT_EQ(Request(3, "hostname"), "ok:lte-router");  // the ISP side
  EXPECT_EQ(Request(1, "scratch_value"), "ok:42");
  EXPECT_EQ(Request(1, "ui_wan_ping"), "failed");
  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc.WaitFor(1, milliseconds(300)).empty());

  // Replace rewrites the line itself before answering, and the file gets
  // no callback. An explicit write runs the file callbacks before its
  // all-zero answer.
  EXPECT_EQ(Request(17, "wan_ntp1", "ntp.replaced.net"), "ok:");
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/wan_network.conf"),
            WithValue(wan, "wan_ntp1", "ntp.replaced.net"));
  EXPECT_EQ(Request(2, "ui_dst", "0"), "ok:");
  const std::optional<Frame> answer = sandbox_.Exchange(MakeFrame(16));
  ASSERT_TRUE(answer.has_value());
  EXPECT_TRUE(IsAllZero(*answer));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/time.conf"),
            WithValue(ReadExample("user/time.conf"), "ui_dst", "0"));
  EXPECT_EQ(mc.WaitFor(2, milliseconds(300)),
            Messages{"mc_trigger_delay 29 1000"});
}

}  // namespace
}  // namespace cms::testing
