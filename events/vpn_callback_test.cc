// vpn_callback_test.cc - the VPN default-route decision table against a
// recording /sbin/ip, and the route change with the real ip inside a network
// namespace of its own.
#include "events/vpn_callback.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "events/device_test_fixture.h"

namespace cms::events {
namespace {

using Lines = std::vector<std::string>;
using cms::testing::DeviceTest;

constexpr char kBase[] =
    "op_operation_mode=1\nsys_operation_mode=0\nsys_vpn_if=ppp0\n"
    "sys_br_radio_if=br1\nwan_connection_mode=0\nwan_gw_dhcp=10.1.1.1\n"
    "wan_gateway=10.2.2.2\nop_pptp_remote_ip=172.16.0.1\n"
    "op_l2tp_remote_ip=172.17.0.1\nop_l2tp_bcp=0\n";

class VpnCallback : public DeviceTest {
 protected:
  // Runs the callback for `selector` at `phase`; returns what it printed.
  std::string Run(const char* selector, int phase = 1) {
    stubs_.ClearCalls();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Call(VPNDefaultGWCallback, selector, phase), 1);
    return ::testing::internal::GetCapturedStdout();
  }

  void Set(const char* name, const std::string& value) {
    store::SetParamValue(name, value.c_str(), store::kModeSetUser);
  }

  // The command shown in the trace, or "(no command trace)". The entry
  // trace must come first.
  static std::string TracedCommand(const std::string& out) {
    static const std::regex entry(R"(^\[VPNDefaultGWCallback\]\[\d+\]\n)");
    static const std::regex cmd(
        R"(^\[VPNDefaultGWCallback\]\[\d+\]cmd=\[(.*)\]\n$)");
    std::smatch m;
    if (!std::regex_search(out, m, entry)) return "(no entry trace)";
    const std::string rest = m.suffix();
    if (rest.empty()) return "(no command trace)";
    if (!std::regex_match(rest, m, cmd)) return "(bad trace) " + rest;
    return m[1];
  }
};

TEST_F(VpnCallback, DecisionTable) {
  struct Case {
    const char* vpn_mode;
    const char* selector_name;
    const char* selector;
    const char* wan_mode;
    const char* bcp;
    std::string command;  // device text; "(no command trace)" when none
  };
  const std::vector<Case> cases = {
      {"0", "sys_pptp_gw_if", "0", "0", "0",
       "/sbin/ip route del default via 10.1.1.1 dev br1 table main; /sbin/ip "
       "route add default via 172.16.0.1 dev ppp0 table main"},
      {"0", "sys_pptp_gw_if", "1", "1", "0",
       "/sbin/ip route del default via 172.16.0.1 dev ppp0 table main; "
       "/sbin/ip route add default via 10.2.2.2 dev br1 table main"},
      {"1", "sys_l2tp_gw_if", "0", "0", "0",
       "/sbin/ip route del default via 10.1.1.1 dev br1 table main; /sbin/ip "
       "route add default via 172.17.0.1 dev ppp0 table main"},
      {"1", "sys_l2tp_gw_if", "0", "0", "1", "(no command trace)"},
      {"2", "sys_gre_gw_if", "0", "0", "0",
       "/sbin/ip route del default via 10.1.1.1 dev br1 table main; /sbin/ip "
       "route add default dev ppp0 table main"},
      {"2", "sys_gre_gw_if", "1", "0", "0",
       "/sbin/ip route del default dev ppp0 table main; /sbin/ip route add "
       "default via 10.1.1.1 dev br1 table main"},
      {"0", "sys_pptp_gw_if", "2", "0", "0", ""},
      {"3", "sys_pptp_gw_if", "0", "0", "0", "(no command trace)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.vpn_mode) + " " + c.selector_name + "=" +
                 c.selector + " bcp=" + c.bcp);
    store::ResetParamList();
    store::initialConfigLocationArray();
    Load("vpn.conf", std::string(kBase) + "op_vpn_mode=" + c.vpn_mode +
                         "\nwan_connection_mode=" + c.wan_mode +
                         "\nop_l2tp_bcp=" + c.bcp + "\n" + c.selector_name +
                         "=" + c.selector + "\n");
    EXPECT_EQ(TracedCommand(Run(c.selector_name)), c.command);
    if (c.command.empty() || c.command[0] == '(') {
      EXPECT_EQ(Calls(), Lines{});
    } else {
      // Both invocations, in order, as the stub saw their arguments.
      const size_t split = c.command.find("; ");
      auto args = [](std::string text) {
        text = text.substr(text.find(' ') + 1);
        std::string out = "ip\t";
        for (char ch : text) out += ch == ' ' ? '\t' : ch;
        return out;
      };
      EXPECT_EQ(Calls(), (Lines{args(c.command.substr(0, split)),
                                args(c.command.substr(split + 2))}));
    }
  }
}

TEST_F(VpnCallback, NothingOutsideTheModeOrBeforeWriteBack) {
  Load("vpn.conf", std::string(kBase) + "op_vpn_mode=0\nsys_pptp_gw_if=0\n");
  EXPECT_EQ(Run("sys_pptp_gw_if", 0), "");
  Set("op_operation_mode", "0");
  EXPECT_EQ(TracedCommand(Run("sys_pptp_gw_if")), "(no command trace)");
  Set("op_operation_mode", "1");
  Set("sys_operation_mode", "1");
  EXPECT_EQ(TracedCommand(Run("sys_pptp_gw_if")), "(no command trace)");
  EXPECT_EQ(Calls(), Lines{});
}

TEST_F(VpnCallback, InputsCutToCapacityAndCommandTo127) {
  Load("vpn.conf", std::string(kBase) + "op_vpn_mode=0\nsys_pptp_gw_if=0\n");
  Set("wan_gw_dhcp", "100.100.100.100XYZ");        // 15 kept
  Set("sys_br_radio_if", "bridge-radio-1XYZ");     // 14 kept
  Set("op_pptp_remote_ip", "200.200.200.200XYZ");  // 15 kept
  Set("sys_vpn_if", "tunnel-interfacXYZ");         // 15 kept
  const std::string full =
      "/sbin/ip route del default via 100.100.100.100 dev bridge-radio-1 "
      "table main; /sbin/ip route add default via 200.200.200.200 dev "
      "tunnel-interfac table main";
  EXPECT_EQ(TracedCommand(Run("sys_pptp_gw_if")), full.substr(0, 127));
  // The add lost its tail with the cut and ran as what was left.
  EXPECT_EQ(Calls(2),
            (Lines{"ip\troute\tdel\tdefault\tvia\t100.100.100.100\tdev\t"
                   "bridge-radio-1\ttable\tmain",
                   "ip\troute\tadd\tdefault\tvia\t200.200.200.200\tde"}));
}

TEST_F(VpnCallback, HostileValuesStayOneArgument) {
  // PPTP with the static WAN gateway, L2TP with the DHCP one: between them
  // every parameter that reaches the command. Short companions keep the
  // command within its 127 characters.
  struct Setup {
    const char* conf;
    const char* selector;
    const char* gateway;
    const char* remote;
  };
  const Setup setups[] = {
      {"op_vpn_mode=0\nsys_pptp_gw_if=1\nwan_connection_mode=1\n",
       "sys_pptp_gw_if", "wan_gateway", "op_pptp_remote_ip"},
      {"op_vpn_mode=1\nop_l2tp_bcp=0\nsys_l2tp_gw_if=1\n"
       "wan_connection_mode=0\n",
       "sys_l2tp_gw_if", "wan_gw_dhcp", "op_l2tp_remote_ip"}};
  for (const Setup& s : setups) {
    store::ResetParamList();
    store::initialConfigLocationArray();
    Load("vpn.conf", std::string("op_operation_mode=1\nsys_operation_mode=0\n"
                                 "sys_br_radio_if=b\nsys_vpn_if=v\n") +
                         s.conf + s.gateway + "=g\n" + s.remote + "=r\n");
    for (const std::string v :
         {"x;iperf", "$(iperf)", "`cwmpc`", "a b", "'\"", "x|iperf&"}) {
      for (const char* param :
           {s.gateway, "sys_br_radio_if", s.remote, "sys_vpn_if"}) {
        SCOPED_TRACE(std::string(param) + "=" + v);
        const std::string before = Value(param);
        Set(param, v);
        Run(s.selector);
        const auto is = [&](const char* p, const char* other) {
          return std::string(p) == param ? v : std::string(other);
        };
        EXPECT_EQ(
            Calls(2),
            (Lines{"ip\troute\tdel\tdefault\tvia\t" + is(s.remote, "r") +
                       "\tdev\t" + is("sys_vpn_if", "v") + "\ttable\tmain",
                   "ip\troute\tadd\tdefault\tvia\t" + is(s.gateway, "g") +
                       "\tdev\t" + is("sys_br_radio_if", "b") +
                       "\ttable\tmain"}));
        Set(param, before);
      }
    }
  }
  // A cut that falls inside a quoted value leaves the shell an unfinished
  // word: it refuses the whole line rather than run any part of the value.
  Set("sys_l2tp_gw_if", "0");
  Set("wan_gw_dhcp", "100.100.100.100");
  Set("sys_br_radio_if", "bridge-radio-1");
  Set("op_l2tp_remote_ip", "200.200.200.200");
  Set("sys_vpn_if", "t;iperf;iperf;i");
  Run("sys_l2tp_gw_if");
  for (const std::string& call : Calls()) {
    EXPECT_EQ(call.rfind("ip\t", 0), 0u) << call;
  }
}

// The real ip, confined to a namespace made for this test. The root's
// /sbin/ip runs it there, so the host's own routes are never touched.
class Namespace {
 public:
  explicit Namespace(std::string ip) : ip_(std::move(ip)) {
    std::random_device rd;
    name_ = "cmsd-vpn-" + std::to_string(getpid()) + "-" +
            std::to_string(rd() % 100000);
    ok_ = Sh(ip_ + " netns add " + name_);
  }
  ~Namespace() {
    if (ok_) Sh(ip_ + " netns delete " + name_);
  }
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  bool ok() const { return ok_; }
  // The real ip run inside the namespace, with `args`.
  std::string Ip(const std::string& args) const {
    return ip_ + " netns exec " + name_ + " " + ip_ + " " + args;
  }
  bool In(const std::string& args) const { return Sh(Ip(args)); }
  // Output of `args`, each line without trailing blanks.
  std::string Out(const std::string& args) const {
    std::string out;
    FILE* p = popen(Ip(args).c_str(), "r");
    if (p == nullptr) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p) != nullptr) {
      std::string line = buf;
      while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
      }
      out += line + "\n";
    }
    pclose(p);
    return out;
  }

 private:
  static bool Sh(const std::string& command) {
    return system((command + " > /dev/null 2>&1").c_str()) == 0;
  }
  std::string ip_;
  std::string name_;
  bool ok_ = false;
};

TEST_F(VpnCallback, RealIpMovesDefaultRouteInsideNamespace) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a network namespace";
  }
  // The stub ip is first on PATH: the real one is named by its path.
  const char* real_ip = access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip"
                        : access("/sbin/ip", X_OK) == 0   ? "/sbin/ip"
                                                          : "/bin/ip";
  Namespace ns(real_ip);
  if (!ns.ok()) GTEST_SKIP() << "ip netns is not usable here";
  // Veth pairs stand in for the bridge and the tunnel, with documentation
  // addresses; both ends stay inside the namespace and nothing is sent.
  // Short names keep the command within its 127 characters.
  for (const char* step :
       {"link add br1 type veth peer name br1-peer", "link set br1-peer up",
        "link set br1 up", "addr add 192.0.2.2/24 dev br1",
        "link add vpn0 type veth peer name vpn-peer", "link set vpn-peer up",
        "link set vpn0 up", "addr add 198.51.100.2/24 dev vpn0",
        "route add default via 192.0.2.1 dev br1"}) {
    ASSERT_TRUE(ns.In(step)) << step;
  }
  stubs_.AddStub("/sbin/ip", "exec " + ns.Ip("\"$@\""));

  Load("vpn.conf",
       "op_operation_mode=1\nsys_operation_mode=0\nop_vpn_mode=0\n"
       "sys_pptp_gw_if=0\nwan_connection_mode=0\nwan_gw_dhcp=192.0.2.1\n"
       "sys_br_radio_if=br1\nop_pptp_remote_ip=198.51.100.1\n"
       "sys_vpn_if=vpn0\nsys_gre_gw_if=0\n");
  const std::string show = "route show table main default";

  Run("sys_pptp_gw_if");
  EXPECT_EQ(ns.Out(show), "default via 198.51.100.1 dev vpn0\n");

  store::SetParamValue("sys_pptp_gw_if", "1", store::kModeSetUser);
  Run("sys_pptp_gw_if");
  EXPECT_EQ(ns.Out(show), "default via 192.0.2.1 dev br1\n");

  store::SetParamValue("op_vpn_mode", "2", store::kModeSetUser);
  Run("sys_gre_gw_if");
  EXPECT_EQ(ns.Out(show), "default dev vpn0 scope link\n");
}

}  // namespace
}  // namespace cms::events
