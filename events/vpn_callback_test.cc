// vpn_callback_test.cc - the VPN default-route decision table against a
// recording /sbin/ip. Hostile values: service_callbacks_test.cc.
#include "events/vpn_callback.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "events/device_test_fixture.h"

namespace cms::events {
namespace {

using cms::testing::DeviceTest;
using cms::testing::Lines;

constexpr char kBase[] =
    "op_operation_mode=1\nsys_operation_mode=0\nsys_vpn_if=ppp0\n"
    "sys_br_radio_if=br1\nwan_connection_mode=0\nwan_gw_dhcp=10.1.1.1\n"
    "wan_gateway=10.2.2.2\nop_pptp_remote_ip=172.16.0.1\n"
    "op_l2tp_remote_ip=172.17.0.1\nop_l2tp_bcp=0\n";
constexpr char kNone[] = "(no command trace)";

class VpnCallback : public DeviceTest {
 protected:
  // Runs the callback for `selector` at `phase`; returns what it printed,
  // line numbers shown as "L".
  std::string Run(const char* selector, int phase = 1) {
    stubs_.ClearCalls();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Call(VPNDefaultGWCallback, selector, phase), 1);
    return std::regex_replace(::testing::internal::GetCapturedStdout(),
                              std::regex(R"(\]\[\d+\])"), "][L]");
  }
  // The trace of a run: the entry line, then the command unless kNone.
  static std::string Trace(const std::string& command) {
    const std::string entry = "[VPNDefaultGWCallback][L]";
    return entry + "\n" +
           (command == kNone ? "" : entry + "cmd=[" + command + "]\n");
  }
  // The device text that moves the default route from `from` to `to`.
  static std::string Cmd(const std::string& from, const std::string& to) {
    return "/sbin/ip route del default " + from +
           " table main; /sbin/ip route add default " + to + " table main";
  }
  // The stub's view of one "/sbin/ip ..." command.
  static std::string IpCall(const std::string& text) {
    std::string out = "ip";
    for (char c : text.substr(text.find(' '))) out += c == ' ' ? '\t' : c;
    return out;
  }
};

TEST_F(VpnCallback, DecisionTable) {
  const struct {
    const char* conf;  // after kBase: a later line wins
    const char* selector;
    std::string command;
  } cases[] = {
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\n", "sys_pptp_gw_if",
       Cmd("via 10.1.1.1 dev br1", "via 172.16.0.1 dev ppp0")},
      {"op_vpn_mode=0\nsys_pptp_gw_if=1\nwan_connection_mode=1\n",
       "sys_pptp_gw_if",
       Cmd("via 172.16.0.1 dev ppp0", "via 10.2.2.2 dev br1")},
      {"op_vpn_mode=1\nsys_l2tp_gw_if=0\n", "sys_l2tp_gw_if",
       Cmd("via 10.1.1.1 dev br1", "via 172.17.0.1 dev ppp0")},
      {"op_vpn_mode=1\nsys_l2tp_gw_if=0\nop_l2tp_bcp=1\n", "sys_l2tp_gw_if",
       kNone},
      {"op_vpn_mode=2\nsys_gre_gw_if=0\n", "sys_gre_gw_if",
       Cmd("via 10.1.1.1 dev br1", "dev ppp0")},
      {"op_vpn_mode=2\nsys_gre_gw_if=1\n", "sys_gre_gw_if",
       Cmd("dev ppp0", "via 10.1.1.1 dev br1")},
      {"op_vpn_mode=0\nsys_pptp_gw_if=2\n", "sys_pptp_gw_if", ""},
      {"op_vpn_mode=3\nsys_pptp_gw_if=0\n", "sys_pptp_gw_if", kNone},
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\nop_operation_mode=0\n",
       "sys_pptp_gw_if", kNone},
      {"op_vpn_mode=0\nsys_pptp_gw_if=0\nsys_operation_mode=1\n",
       "sys_pptp_gw_if", kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    Load("vpn.conf", std::string(kBase) + c.conf);
    EXPECT_EQ(Run(c.selector, 0), "");  // nothing before the write-back
    EXPECT_EQ(Run(c.selector), Trace(c.command));
    const size_t split = c.command.find("; ");
    const Lines calls = split == std::string::npos
                            ? Lines{}
                            : Lines{IpCall(c.command.substr(0, split)),
                                    IpCall(c.command.substr(split + 2))};
    EXPECT_EQ(Calls(), calls);
  }
}

TEST_F(VpnCallback, InputsCutToCapacityAndCommandTo127) {
  Load("vpn.conf", std::string(kBase) + "op_vpn_mode=0\nsys_pptp_gw_if=0\n");
  Set("wan_gw_dhcp", "100.100.100.100XYZ");        // 15 kept
  Set("sys_br_radio_if", "bridge-radio-1XYZ");     // 14 kept
  Set("op_pptp_remote_ip", "200.200.200.200XYZ");  // 15 kept
  Set("sys_vpn_if", "tunnel-interfacXYZ");         // 15 kept
  const std::string full = Cmd("via 100.100.100.100 dev bridge-radio-1",
                               "via 200.200.200.200 dev tunnel-interfac");
  EXPECT_EQ(Run("sys_pptp_gw_if"), Trace(full.substr(0, 127)));
  // The add lost its tail with the cut and ran as what was left.
  EXPECT_EQ(Calls(2), (Lines{IpCall(full.substr(0, full.find(';'))),
                             "ip\troute\tadd\tdefault\tvia\t200.200.200.200"
                             "\tde"}));
  // A cut inside a quoted value leaves the shell an unfinished word: it
  // refuses the whole line rather than run any part of the value.
  Set("sys_vpn_if", "t;iperf;iperf;i");
  Run("sys_pptp_gw_if");
  for (const std::string& call : Calls()) EXPECT_EQ(call.rfind("ip\t", 0), 0u);
}

}  // namespace
}  // namespace cms::events
