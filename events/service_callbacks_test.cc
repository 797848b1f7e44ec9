// service_callbacks_test.cc - service commands, IPv6 control, hosts file,
// DHCP range against stub programs; hostile values on every parameter that
// reaches a command.
#include "events/service_callbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>

#include "events/perf_measure.h"
#include "events/vpn_callback.h"
#include "store/write_back.h"
#include "testing/device_fixture.h"

namespace cms::events {
namespace {

using cms::testing::Lines;

class ServiceCallbacks : public cms::testing::DeviceTest {
 protected:
  // Runs `callback` for parameter (or file path) `subject`: its `count` stub
  // calls (sorted where the shell decides their order), then its events.
  std::string Run(store::ChangeCallback callback, const char* subject,
                  size_t count, bool sorted = false, int phase = 1) {
    stubs_.ClearCalls();
    subject[0] == '/' ? callback(const_cast<char*>(subject), nullptr, phase)
                      : Call(callback, subject, phase);
    Lines lines = Calls(count);
    if (sorted) std::sort(lines.begin(), lines.end());
    for (const std::string& event : mc_.Drain()) lines.push_back(event);
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
  }
};

TEST_F(ServiceCallbacks, TelnetdAndVsftpd) {
  Load("sys.conf",
       "sys_telnetd=enable\nui_banner_enable=enable\nui_banner_file=/etc/b\n"
       "sys_lmrshell=enable\nsys_ftpd=enable\nsys_ftpd_port=2121\n");
  const std::string fw = "mc_trigger_delay 10 1000\n";
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/bin/login\t-f\t/etc/b\n" + fw);
  // vsftpd gets a banner only when the file exists; a port change restarts a
  // running server.
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", 1), "vsftpd\n" + fw);
  root_.Write("/etc/b", "hello\n");
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd_port", 2),
            "killall\t-9\tvsftpd\nvsftpd\t-obanner_file=/etc/b\n" + fw);
  Set("ui_banner_enable", "disable");
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/mnt/jffs2/bin/login_without_shell_auth\n" + fw);
  store::DeleteParam("sys_lmrshell", store::kModeDeleteUser);
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/bin/login\n" + fw);
  Set("sys_telnetd", "disable");
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "killall\t-9\ttelnetd\n" + fw);
}

TEST_F(ServiceCallbacks, DdnsFileLeavesOutEmptyValuesAndThePassword) {
  WriteUser("ddns.conf",
            "ddns_enable=1\nddns_host=home.example.net\nddns_user=\n"
            "ddns_password=e0susu;\n");
  Load("misc.conf", "");
  EXPECT_EQ(Run(DDNSFileCallback, "/mnt/jffs2/conf/user/ddns.conf", 0),
            "mc_trigger_delay 6 1000\n");
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/ddns.conf"),
            "enable 1\nhost home.example.net\n");
}

TEST_F(ServiceCallbacks, Ipv6ControlFollowsItsSwitch) {
  Load("misc.conf",
       "ipv6_enable=disable\nipv6_dibbler_client_pd=enable\n"
       "ipv6_dibbler_server_dns_from_cpe=enable\n"
       "APN_DHCP6_Proxy_Enable=9\nipv6_lan_local_ip=fd00::1\nsys_br_if=br0\n"
       "ipv6_wan_ip=2001:db8::1\n");
  // Nothing but the stop runs while IPv6 is disabled.
  EXPECT_EQ(Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", 0), "");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "9");
  EXPECT_EQ(Run(IPv6ConfCallback, "ipv6_enable", 1), "ipv6_start.sh\tstop\n");
  EXPECT_EQ(Value("mon_diag_protocol_type"), "4");
  Set("ipv6_enable", "enable");
  EXPECT_EQ(Run(IPv6ConfCallback, "ipv6_enable", 5, true),
            "ipv6_start.sh\tWANstart\nipv6_start.sh\tstart\n"
            "ipv6_start.sh\tstop\nsleep\t1\nsleep\t2\n");
  // Prefix delegation flips the DHCPv6 proxy.
  EXPECT_EQ(Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", 3, true),
            "ipv6_start.sh\tLANrestart\nipv6_start.sh\tWANrestart\nsleep\t1\n");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "0");
}

TEST_F(ServiceCallbacks, HostsFileAndDhcpRangeFollowTheLan) {
  const char hosts[] = "/mnt/jffs2/conf/app/hosts";
  Load("lan.conf",
       "hostname=router\nsys_lan_ip=192.168.1.1\nip_change=1\n"
       "sys_lan_mask=255.255.0.0\nmask_change=1\n"
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n");
  // Through a write-back: the LAN address rewrites the file, and the change
  // flag is reported once and then removed.
  Set("sys_lan_ip", "10.0.0.1");
  store::writeParamToFile();
  EXPECT_EQ(root_.Read(hosts), "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("ip_change"), "(none)");
  EXPECT_EQ(Run(LanIPCallback, "sys_lan_ip", 0), "mc_trigger_arg 16 0\n");
  // The mask replaces only the range's mask field.
  EXPECT_EQ(Run(LanMaskCallback, "sys_lan_mask", 0), "mc_trigger_arg 16 1\n");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"),
            "192.168.1.100,192.168.1.200,255.255.0.0,12h");
  EXPECT_EQ(Value("mask_change"), "(none)");
}

// Every parameter that reaches a command: each hostile value arrives as one
// literal argument of the intended program, and nothing else ran. Parameter
// i of a row is set to prefix + value + i (no number for i = 0); '#' in
// `calls` stands for the value.
TEST_F(ServiceCallbacks, HostileValuesStayOneArgument) {
  const std::string vpn =
      "op_operation_mode=1\nsys_operation_mode=0\nsys_br_radio_if=b\n"
      "sys_vpn_if=v\nwan_gateway=g\nwan_gw_dhcp=g\nop_l2tp_bcp=0\n"
      "op_pptp_remote_ip=r\nop_l2tp_remote_ip=r\nsys_pptp_gw_if=1\n"
      "sys_l2tp_gw_if=1\n";
  const std::string pptp = vpn + "op_vpn_mode=0\nwan_connection_mode=1\n";
  const std::string l2tp = vpn + "op_vpn_mode=1\nwan_connection_mode=0\n";
  // The route moves from the tunnel (remote, interface) to the bridge.
  const std::string del = "ip\troute\tdel\tdefault\tvia\t",
                    main = "\ttable\tmain",
                    add = main + "\nip\troute\tadd\tdefault\tvia\t";
  // Bridge mode: only the INPUT chain was opened.
  const std::string rule = "\t-s\t#\t-d\t127.0.0.1\t--dport\t#1\t-j\tACCEPT";
  const std::string rules = "killall\t-9\tiperf\niptables\t-D\tINPUT\t-p\tudp" +
                            rule + "\niptables\t-D\tINPUT\t-p\ttcp" + rule;
  const struct {
    std::string conf;
    const char *params, *prefix;
    store::ChangeCallback callback;
    const char* subject;
    std::string calls;
  } rows[] = {
      {"sys_telnetd=enable\nui_banner_enable=enable\nui_banner_file=x\n",
       "ui_banner_file", "", TelnetdCallback, "sys_telnetd",
       "telnetd\t-l\t/bin/login\t-f\t#"},
      {"sys_ftpd=enable\nui_banner_enable=enable\nui_banner_file=x\n",
       "ui_banner_file", "/etc/", vsftpdCallback, "sys_ftpd",
       "vsftpd\t-obanner_file=/etc/#"},
      // Unquoted in backquotes, as a word, in backquotes within quotes.
      {"ipv6_enable=enable\nsys_br_if=br0\nipv6_wan_ip=2001:db8::1\n"
       "ipv6_lan_local_ip=fd00::1\n",
       "sys_br_if ipv6_lan_local_ip ipv6_wan_ip", "", IPv6LANLocalCallback,
       "ipv6_lan_local_ip",
       "ifconfig\t#\nip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\t#\n"
       "ip\t-6\taddr\tadd\t#1/64\tdev\t#"},
      // Two rows for pptp: all four values would not fit one command.
      {pptp, "op_pptp_remote_ip sys_vpn_if", "", VPNDefaultGWCallback,
       "sys_pptp_gw_if", del + "#\tdev\t#1" + add + "g\tdev\tb" + main},
      {pptp, "wan_gateway sys_br_radio_if", "", VPNDefaultGWCallback,
       "sys_pptp_gw_if", del + "r\tdev\tv" + add + "#\tdev\t#1" + main},
      {l2tp, "op_l2tp_remote_ip wan_gw_dhcp", "", VPNDefaultGWCallback,
       "sys_l2tp_gw_if", del + "#\tdev\tv" + add + "#1\tdev\tb" + main},
      {"perf_measure_status=0\nperf_measure_is_running=1\nsys_ext_if=lo\n"
       "sys_operation_mode=1\nperf_measure_server_ip=s\n"
       "perf_measure_cpe_port=p\n",
       "perf_measure_server_ip perf_measure_cpe_port", "", PerfMeasureCallback,
       "perf_measure_status", rules},
  };
  for (const auto& row : rows) {
    // No interface address without a raw socket (needs root).
    if (row.callback == PerfMeasureCallback &&
        !cms::testing::CanOpenRawSocket())
      continue;
    for (const std::string& v : cms::testing::kHostileValues) {
      SCOPED_TRACE(std::string(row.params) + " = " + v);
      Load("hostile.conf", row.conf);
      root_.Write("/etc/" + v, "hi\n");  // vsftpd takes existing banners only
      stubs_.AddStub("/stub_bin/ifconfig",
                     "echo '  inet6 addr: 2001:db8:5::7/64 Scope:Global'");
      std::istringstream params(row.params);
      int i = 0;
      for (std::string p; params >> p; ++i)
        Set(p.c_str(), row.prefix + v + (i > 0 ? std::to_string(i) : ""));
      stubs_.ClearCalls();
      ::testing::internal::CaptureStdout();  // the VPN trace
      Call(row.callback, row.subject);
      ::testing::internal::GetCapturedStdout();
      Lines want;
      std::istringstream in(row.calls);
      for (std::string line; std::getline(in, line); want.push_back(line)) {
        for (size_t at; (at = line.find('#')) != std::string::npos;)
          line.replace(at, 1, v);
      }
      Lines got = Calls(want.size());
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want);
    }
  }
  EXPECT_FALSE(root_.Exists("/pwned") || std::filesystem::exists("pwned"));
}

}  // namespace
}  // namespace cms::events
