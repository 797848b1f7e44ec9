// integration_test.cc - requests through the socket reach the files on
// flash and the message center, through the real daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using Messages = std::vector<std::string>;

constexpr auto kTimeout = std::chrono::seconds(5);

TEST(Integration, ChangesAreWrittenBackWithTheirEvents) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  MsgListener& mc = *sandbox.messages();
  ASSERT_EQ(mc.WaitFor(1, kTimeout), Messages{"mc_trigger 23"});
  // Start-up imported the boot loader's variables and found the LAN address.
  EXPECT_EQ(sandbox.stubs().Calls(),
            (Messages{"fw_printenv", "ifconfig\tbr0"}));
  EXPECT_EQ(sandbox.Ask(2, "wan_ntp2", "ntp2.example.net"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "wan_ntp1", "ntp1.example.net"), "ok:");
  EXPECT_EQ(sandbox.Ask(12, "wan_ntp3", "ntp3.example.net", "wan_network.conf"),
            "ok:");
  EXPECT_EQ(sandbox.Ask(2, "hostname", "gateway"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "sys_multicast", "disable"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "sys_multicast", "disable"), "failed");  // same
  EXPECT_EQ(sandbox.Ask(2, "scratch_value", "42"), "ok:");  // in no file

  // wan_network.conf: the two NTP callbacks in line order while the file is
  // rewritten, then the file's own callback. sysini.conf: host name, then
  // multicast. The order of the files among themselves is the file table's.
  const Messages got = mc.WaitFor(5, kTimeout);
  EXPECT_EQ(got.size(), 5u) << ::testing::PrintToString(got);
  for (const Messages& in_order :
       {Messages{"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000",
                 "mc_trigger_delay 38 1000"},
        Messages{"mc_trigger_delay 8 1000", "mc_trigger_delay 14 1000"}}) {
    Messages seen;
    std::copy_if(got.begin(), got.end(), std::back_inserter(seen),
                 [&](auto& m) {
                   return std::count(in_order.begin(), in_order.end(), m);
                 });
    EXPECT_EQ(seen, in_order);
  }
  // Changed files are rewritten; the in-memory file stays empty.
  const std::string conf = "/mnt/jffs2/conf/";
  for (const auto& [file, content] : Files{
           {"user/wan_network.conf",
            Edit(Sandbox::ReadExample("user/wan_network.conf"),
                 {{"wan_ntp1=pool.ntp.org", "wan_ntp1=ntp1.example.net"},
                  {"wan_ntp2=time.google.com", "wan_ntp2=ntp2.example.net"}}) +
                "wan_ntp3=ntp3.example.net\n"},
           {"user/sysini.conf",
            Edit(Sandbox::ReadExample("user/sysini.conf"),
                 {{"hostname=lte-router", "hostname=gateway"},
                  {"sys_multicast=igmp_proxy", "sys_multicast=disable"},
                  {"######end of file######\n", ""}})},
           {"app/hosts", "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n"},
           {"user/XCFGtemp.conf", ""}}) {
    Sandbox::WaitUntil([&] { return sandbox.Read(conf + file) == content; },
                       kTimeout);
    EXPECT_EQ(sandbox.Read(conf + file), content) << file;
  }
  EXPECT_EQ(sandbox.Ask(1, "hostname"), "ok:gateway");
  EXPECT_EQ(sandbox.Ask(3, "hostname"), "ok:lte-router");  // the ISP side
  EXPECT_EQ(sandbox.Ask(1, "scratch_value"), "ok:42");
  EXPECT_EQ(sandbox.Ask(1, "software_version"), "ok:LTE-CPE_2.4.7_build0413");
  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc.WaitFor(1, std::chrono::milliseconds(300)).empty());
}

}  // namespace
}  // namespace cms::testing
