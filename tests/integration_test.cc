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

using Messages = std::vector<std::string>;

constexpr auto kTimeout = std::chrono::seconds(5);

// The example file `file` with every line named in `edits` set to its value
// (the line keeps its separator) or, for an empty value, removed.
std::string Example(const std::string& file, const Messages& edits) {
  std::string content = Sandbox::ReadExample(file);
  for (size_t i = 0; i + 1 < edits.size(); i += 2) {
    const bool remove = edits[i + 1].empty();
    content = std::regex_replace(
        content,
        std::regex(remove ? "\n" + edits[i] + "[^\n]*"
                          : "(\n" + edits[i] + "[=\t])[^\n]*"),
        remove ? "" : "$01" + edits[i + 1]);
  }
  return content;
}

TEST(Integration, ChangesAreWrittenBackWithTheirEvents) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  MsgListener& mc = *sandbox.messages();
  ASSERT_EQ(mc.WaitFor(1, kTimeout), Messages{"mc_trigger 23"});
  // Start-up imported the boot loader's variables and found the LAN address.
  EXPECT_EQ(sandbox.stubs().Calls(),
            (Messages{"fw_printenv", "ifconfig\tbr0"}));
  // One request: "ok:" and the value answered, or "failed".
  auto request = [&](int32_t cmd, std::string_view name,
                     std::string_view value = {},
                     std::string_view location = {}) -> std::string {
    const std::optional<Frame> r =
        sandbox.Exchange(MakeFrame(cmd, name, value, location));
    if (!r || FramePid(*r) != kTestPid) return "no answer";
    return FrameStatus(*r) == kStatusOk ? "ok:" + FrameValue(*r) : "failed";
  };
  // Waits until the user-side file holds `expected`, then compares.
  auto expect_file = [&](const std::string& file, const std::string& expected) {
    const std::string path = "/mnt/jffs2/conf/" + file;
    Sandbox::WaitUntil([&] { return sandbox.Read(path) == expected; },
                       kTimeout);
    EXPECT_EQ(sandbox.Read(path), expected) << path;
  };
  EXPECT_EQ(request(2, "wan_ntp2", "ntp2.example.net"), "ok:");
  EXPECT_EQ(request(2, "wan_ntp1", "ntp1.example.net"), "ok:");
  EXPECT_EQ(request(12, "wan_ntp3", "ntp3.example.net", "wan_network.conf"),
            "ok:");
  EXPECT_EQ(request(2, "hostname", "gateway"), "ok:");
  EXPECT_EQ(request(2, "sys_multicast", "disable"), "ok:");
  EXPECT_EQ(request(2, "sys_multicast", "disable"), "failed");  // unchanged
  EXPECT_EQ(request(9, "ui_wan_ping"), "ok:");
  EXPECT_EQ(request(2, "scratch_value", "42"), "ok:");  // not in any file

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
      Example("user/wan_network.conf", {"wan_ntp1", "ntp1.example.net",
                                        "wan_ntp2", "ntp2.example.net"}) +
      "wan_ntp3=ntp3.example.net\n";
  expect_file("user/wan_network.conf", wan);
  expect_file(
      "user/sysini.conf",
      Example("user/sysini.conf", {"hostname", "gateway", "sys_multicast",
                                   "disable", "######end of file", ""}));
  expect_file("user/fw_rule.conf",
              Example("user/fw_rule.conf", {"ui_wan_ping", ""}));
  expect_file("app/hosts", "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n");
  // Files nobody changed are left alone, the in-memory file stays empty.
  expect_file("user/lan.conf", Sandbox::ReadExample("user/lan.conf"));
  expect_file("isp/user/sysini.conf",
              Sandbox::ReadExample("isp/user/sysini.conf"));
  expect_file("user/XCFGtemp.conf", "");
  EXPECT_EQ(request(1, "hostname"), "ok:gateway");
  EXPECT_EQ(request(3, "hostname"), "ok:lte-router");  // the ISP side
  EXPECT_EQ(request(1, "scratch_value"), "ok:42");
  EXPECT_EQ(request(1, "ui_wan_ping"), "failed");
  EXPECT_EQ(request(1, "software_version"), "ok:LTE-CPE_2.4.7_build0413");
  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc.WaitFor(1, std::chrono::milliseconds(300)).empty());
}

}  // namespace
}  // namespace cms::testing
