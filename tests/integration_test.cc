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
constexpr char kUser[] = "/mnt/jffs2/conf/user/";

// The example file with the value of every line of `name` replaced; the
// line keeps its separator.
std::string WithValue(const std::string& content, const std::string& name,
                      const std::string& value) {
  return std::regex_replace(
      content, std::regex("((?:^|\n)" + name + "[=\t])[^\n]*"), "$01" + value);
}

class Integration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
    ASSERT_EQ(mc().WaitFor(1, kTimeout), Messages{"mc_trigger 23"});
  }

  MsgListener& mc() { return *sandbox_.messages(); }

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
    const std::string path = kUser + file;
    Sandbox::WaitUntil([&] { return sandbox_.ReadFile(path) == expected; },
                       kTimeout);
    EXPECT_EQ(sandbox_.ReadFile(path), expected) << path;
  }

  Sandbox sandbox_;
};

TEST_F(Integration, SetsAreWrittenBackWithTheirEvents) {
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
  const Messages got = mc().WaitFor(6, kTimeout);
  auto expect_order = [&](const Messages& expected) {
    Messages out;
    for (const std::string& m : got) {
      if (std::count(expected.begin(), expected.end(), m) != 0)
        out.push_back(m);
    }
    EXPECT_EQ(out, expected);
  };
  expect_order({"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000",
                "mc_trigger_delay 38 1000"});
  expect_order({"mc_trigger_delay 8 1000", "mc_trigger_delay 14 1000"});
  expect_order({"mc_trigger_delay 10 1000"});
  EXPECT_EQ(got.size(), 6u) << ::testing::PrintToString(got);

  std::string wan = ReadExample("user/wan_network.conf");
  wan = WithValue(wan, "wan_ntp1", "ntp1.example.net");
  ExpectFile("wan_network.conf",
             WithValue(wan, "wan_ntp2", "ntp2.example.net") +
                 "wan_ntp3=ntp3.example.net\n");
  std::string sysini = ReadExample("user/sysini.conf");
  sysini = WithValue(sysini, "hostname", "gateway");
  sysini = WithValue(sysini, "sys_multicast", "disable");
  ExpectFile(
      "sysini.conf",
      std::regex_replace(sysini, std::regex("######end of file######\n"), ""));
  ExpectFile("fw_rule.conf",
             std::regex_replace(ReadExample("user/fw_rule.conf"),
                                std::regex("ui_wan_ping=disable\n"), ""));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/app/hosts"),
            "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n");

  // Files nobody changed are left alone, the in-memory file stays empty.
  ExpectFile("lan.conf", ReadExample("user/lan.conf"));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/isp/user/sysini.conf"),
            ReadExample("isp/user/sysini.conf"));
  ExpectFile("XCFGtemp.conf", "");

  EXPECT_EQ(Request(1, "hostname"), "ok:gateway");
  EXPECT_EQ(Request(3, "hostname"), "ok:lte-router");  // the ISP side
  EXPECT_EQ(Request(1, "scratch_value"), "ok:42");
  EXPECT_EQ(Request(1, "ui_wan_ping"), "failed");
  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc().WaitFor(1, milliseconds(300)).empty());
}

TEST_F(Integration, ReplaceWritesAtOnceAndExplicitWriteAnswersZeroFrame) {
  EXPECT_EQ(Request(17, "wan_ntp1", "ntp.replaced.net"), "ok:");
  EXPECT_EQ(Request(17, "wan_ntp1", "ntp.replaced.net"), "failed");
  // Replace rewrites the line itself before answering.
  EXPECT_EQ(sandbox_.ReadFile(std::string(kUser) + "wan_network.conf"),
            WithValue(ReadExample("user/wan_network.conf"), "wan_ntp1",
                      "ntp.replaced.net"));
  EXPECT_EQ(Request(2, "ui_dst", "0"), "ok:");
  const std::optional<Frame> answer = sandbox_.Exchange(MakeFrame(16, ""));
  ASSERT_TRUE(answer.has_value());
  EXPECT_TRUE(IsAllZero(*answer));
  // Written by the time the answer comes, by the request or by the tick.
  EXPECT_EQ(sandbox_.ReadFile(std::string(kUser) + "time.conf"),
            WithValue(ReadExample("user/time.conf"), "ui_dst", "0"));
  // The replaced file gets no callback and no second write.
  EXPECT_EQ(mc().WaitFor(2, milliseconds(300)),
            Messages{"mc_trigger_delay 29 1000"});
}

}  // namespace
}  // namespace cms::testing
