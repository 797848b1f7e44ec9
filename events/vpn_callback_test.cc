// vpn_callback_test.cc - the VPN default-route decision table against a
// recording ip (hostile values: service_callbacks_test.cc).
#include "events/vpn_callback.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/device_fixture.h"

namespace cms::events {
namespace {

using cms::testing::Lines;

constexpr char kBase[] =
    "op_operation_mode=1\nsys_operation_mode=0\nsys_vpn_if=ppp0\n"
    "sys_br_radio_if=br1\nwan_connection_mode=0\nwan_gw_dhcp=10.1.1.1\n"
    "wan_gateway=10.2.2.2\nop_pptp_remote_ip=172.16.0.1\n"
    "op_l2tp_remote_ip=172.17.0.1\nop_l2tp_bcp=0\n";
class VpnCallback : public cms::testing::DeviceTest {
 protected:
  // The stub calls of the callback for `selector` at `phase`.
  Lines Run(const char* selector, int phase = 1) {
    stubs_.ClearCalls();
    ::testing::internal::CaptureStdout();  // its trace
    EXPECT_EQ(Call(VPNDefaultGWCallback, selector, phase), 1);
    ::testing::internal::GetCapturedStdout();
    return Calls();
  }
  // The calls that move the default route from `from` to `to`.
  static Lines Move(const std::string& from, const std::string& to) {
    return {"ip\troute\tdel\tdefault\t" + from + "\ttable\tmain",
            "ip\troute\tadd\tdefault\t" + to + "\ttable\tmain"};
  }
};

TEST_F(VpnCallback, DecisionTable) {
  const std::string wan = "via\t10.1.1.1\tdev\tbr1";
  const struct {
    const char* conf;  // after kBase: a later line wins
    const char* selector;
    Lines calls;
  } cases[] = {
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\n", "sys_pptp_gw_if",
       Move(wan, "via\t172.16.0.1\tdev\tppp0")},
      {"op_vpn_mode=0\nsys_pptp_gw_if=1\nwan_connection_mode=1\n",
       "sys_pptp_gw_if",
       Move("via\t172.16.0.1\tdev\tppp0", "via\t10.2.2.2\tdev\tbr1")},
      {"op_vpn_mode=1\nsys_l2tp_gw_if=0\n", "sys_l2tp_gw_if",
       Move(wan, "via\t172.17.0.1\tdev\tppp0")},
      {"op_vpn_mode=1\nsys_l2tp_gw_if=0\nop_l2tp_bcp=1\n", "sys_l2tp_gw_if",
       {}},
      {"op_vpn_mode=2\nsys_gre_gw_if=0\n", "sys_gre_gw_if",
       Move(wan, "dev\tppp0")},
      {"op_vpn_mode=3\nsys_pptp_gw_if=0\n", "sys_pptp_gw_if", {}},
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\nop_operation_mode=0\n",
       "sys_pptp_gw_if", {}},
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\nsys_operation_mode=1\n",
       "sys_pptp_gw_if", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    Load("vpn.conf", std::string(kBase) + c.conf);
    EXPECT_EQ(Run(c.selector, 0), Lines{});  // nothing before the write-back
    EXPECT_EQ(Run(c.selector), c.calls);
  }
}

TEST_F(VpnCallback, InputsCutToCapacityAndCommandTo127) {
  Load("vpn.conf", std::string(kBase) + "op_vpn_mode=0\nsys_pptp_gw_if=0\n");
  Set("wan_gw_dhcp", "100.100.100.100XYZ");        // 15 kept
  Set("sys_br_radio_if", "bridge-radio-1XYZ");     // 14 kept
  Set("op_pptp_remote_ip", "200.200.200.200XYZ");  // 15 kept
  Set("sys_vpn_if", "tunnel-interfacXYZ");         // 15 kept
  // The add lost its tail with the cut at 127 and ran as what was left.
  EXPECT_EQ(Run("sys_pptp_gw_if")[1],
            "ip\troute\tadd\tdefault\tvia\t200.200.200.200\tde");
  // A cut inside a quoted value leaves the shell an unfinished word: it
  // refuses the whole line rather than run any part of the value.
  Set("sys_vpn_if", "t;iperf;iperf;i");
  for (const std::string& call : Run("sys_pptp_gw_if"))
    EXPECT_EQ(call.rfind("ip\t", 0), 0u);
}

}  // namespace
}  // namespace cms::events
