// integration_test.cc - requests through the socket reach the files on
// flash and the message center, through the real daemon.
#include <gtest/gtest.h>

#include "testing/sandbox.h"

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

  // The tick writes back: the two NTP callbacks in line order while
  // wan_network.conf is rewritten, then its file callback; the host name's
  // callback for sysini.conf (the files' own order is the file table's).
  Messages got = mc.WaitFor(4, kTimeout);
  EXPECT_EQ(std::erase(got, "mc_trigger_delay 8 1000"), 1u);
  EXPECT_EQ(got,
            (Messages{"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000",
                      "mc_trigger_delay 38 1000"}));
  const std::string wan =
      Edit(Sandbox::ReadExample("user/wan_network.conf"),
           {{"wan_ntp1=pool.ntp.org", "wan_ntp1=ntp1.example.net"},
            {"wan_ntp2=time.google.com", "wan_ntp2=ntp2.example.net"}}) +
      "wan_ntp3=ntp3.example.net\n";
  for (const auto& [file, content] :
       Files{{"/mnt/jffs2/conf/user/wan_network.conf", wan},
             {"/mnt/jffs2/conf/app/hosts",
              "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n"}}) {
    Sandbox::WaitUntil([&] { return sandbox.Read(file) == content; }, kTimeout);
    EXPECT_EQ(sandbox.Read(file), content);
  }
  EXPECT_EQ(sandbox.Ask(1, "hostname"), "ok:gateway");
  EXPECT_EQ(sandbox.Ask(3, "hostname"), "ok:lte-router");  // the ISP side
  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc.WaitFor(1, std::chrono::milliseconds(300)).empty());
}

}  // namespace
}  // namespace cms::testing
