// service_callbacks_test.cc - service commands, IPv6 control, hosts file,
// DHCP range, generated files and the debug switch, against stub programs.
#include "events/service_callbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "conffiles/dnsmasq_conf.h"
#include "events/device_test_fixture.h"
#include "platform/log.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

class ServiceCallbacks : public cms::testing::DeviceTest {
 protected:
  // Runs `callback` for the parameter `subject` (or for a file when it is a
  // path) at `phase`, and returns its `count` stub calls (sorted where the
  // shell decides their order), then the events it sent, one line each.
  std::string Run(store::ChangeCallback callback, const char* subject,
                  size_t count, bool sorted = false, int phase = 1) {
    stubs_.ClearCalls();
    if (subject[0] == '/') {
      callback(const_cast<char*>(subject), nullptr, phase);
    } else {
      Call(callback, subject, phase);
    }
    cms::testing::Lines lines = Calls(count);
    if (sorted) std::sort(lines.begin(), lines.end());
    for (const std::string& event : mc_.Drain()) lines.push_back(event);
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
  }
};

TEST_F(ServiceCallbacks, TelnetdChoosesLoginAndAlwaysTellsFirewall) {
  Load("sys.conf",
       "sys_telnetd=enable\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/banner\nsys_lmrshell=enable\n");
  EXPECT_EQ(Call(TelnetdCallback, "sys_telnetd", 0), 1);
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/bin/login\t-f\t/etc/banner\n"
            "mc_trigger_delay 10 1000\n");
  Set("ui_banner_file", "/etc/" + std::string(90, 'b'));  // does not fit
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 0),
            "mc_trigger_delay 10 1000\n");
  Set("ui_banner_enable", "disable");
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/mnt/jffs2/bin/login_without_shell_auth\n"
            "mc_trigger_delay 10 1000\n");
  store::DeleteParam("sys_lmrshell", store::kModeDeleteUser);
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "telnetd\t-l\t/bin/login\nmc_trigger_delay 10 1000\n");
  Set("sys_telnetd", "disable");
  EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
            "killall\t-9\ttelnetd\nmc_trigger_delay 10 1000\n");
}

TEST_F(ServiceCallbacks, VsftpdBannerOnlyWhenFileExistsAndPortRestarts) {
  Load("ftp.conf",
       "sys_ftpd=enable\nsys_ftpd_port=2121\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/ftp_banner\n");
  const std::string event = "mc_trigger_delay 10 1000\n";
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", 1), "vsftpd\n" + event);
  root_.Write("/etc/ftp_banner", "hello\n");
  const std::string with_banner = "vsftpd\t-obanner_file=/etc/ftp_banner\n";
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", 1), with_banner + event);
  // A port change restarts a running server and leaves a stopped one.
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd_port", 2),
            "killall\t-9\tvsftpd\n" + with_banner + event);
  Set("sys_ftpd", "disable");
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd_port", 1),
            "killall\t-9\tvsftpd\n" + event);
}

TEST_F(ServiceCallbacks, FixedServiceCommandsAndDdnsFile) {
  WriteUser("ddns.conf",
            "ddns_enable=1\nddns_host=home.example.net\nddns_user=\n"
            "ddns_password=e0susu;\n");
  Load("misc.conf",
       "ippt_host_mac=00:11:22:33:44:55\nui_sys_rm_type=2\nipv6_webpage=1\n");
  Call(Ippt2Callback, "ippt_host_mac", 0);
  EXPECT_EQ(Run(Ippt2Callback, "ippt_host_mac", 1),
            "ip-passthrough.sh\trestart\n");
  // The IPv6 page restarts the TR-069 client, or SNMP for type 1.
  EXPECT_EQ(Run(IPv6WebCallback, "ipv6_webpage", 3),
            "sleep\t10\nkillall\tcwmpc\ncwmpc\n");
  Set("ui_sys_rm_type", "1");
  EXPECT_EQ(Run(IPv6WebCallback, "ipv6_webpage", 0),
            "mc_trigger_delay 81 1000\n");
  // The DDNS file is rebuilt at both phases; the event only once written.
  const char ddns[] = "/mnt/jffs2/conf/user/ddns.conf";
  EXPECT_EQ(Run(DDNSFileCallback, ddns, 0, false, 0), "");
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/ddns.conf"),
            "enable 1\nhost home.example.net\n");
  EXPECT_EQ(Run(DDNSFileCallback, ddns, 0), "mc_trigger_delay 6 1000\n");
}

TEST_F(ServiceCallbacks, Ipv6Callbacks) {
  Load("ipv6.conf",
       "ipv6_enable=disable\nipv6_tun_prefix=2001:db8::/48\nipv6_ntp1=ntp\n"
       "ipv6_tun_prefix_enable=enable\nipv6_dibbler_server_dns_from_cpe=enable"
       "\nipv6_dns1=dns\nipv6_dibbler_client_pd=enable\n"
       "APN_DHCP6_Proxy_Enable=9\nipv6_lan_local_ip=fd00::1\nsys_br_if=br0\n"
       "ipv6_wan_ip=2001:db8::1\n");
  // Nothing runs while IPv6 is disabled.
  EXPECT_EQ(Run(IPv6TunnelCallback, "/x/ipv6_tun.conf", 0) +
                Run(IPv6TunnelPrefixCallback, "ipv6_tun_prefix", 0) +
                Run(IPv6WANNTPCallback, "ipv6_ntp1", 0) +
                Run(IPv6WANDNSCallback, "ipv6_dns1", 0) +
                Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", 0) +
                Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", 0),
            "");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "9");
  EXPECT_EQ(Run(IPv6ConfCallback, "ipv6_enable", 1), "ipv6_start.sh\tstop\n");
  EXPECT_EQ(Value("mon_diag_protocol_type"), "4");

  Set("ipv6_enable", "enable");
  EXPECT_EQ(Run(IPv6ConfCallback, "ipv6_enable", 5, true),
            "ipv6_start.sh\tWANstart\nipv6_start.sh\tstart\n"
            "ipv6_start.sh\tstop\nsleep\t1\nsleep\t2\n");
  EXPECT_EQ(Run(IPv6TunnelCallback, "/x/ipv6_tun.conf", 1),
            "ipv6_start.sh\tTunnelrestart\n");
  EXPECT_EQ(Run(IPv6TunnelPrefixCallback, "ipv6_tun_prefix", 1),
            "ipv6_start.sh\tLANrestart\n");
  EXPECT_EQ(Run(IPv6WANNTPCallback, "ipv6_ntp1", 1),
            "ipv6_start.sh\tWANrestart\n");
  // Prefix delegation flips the DHCPv6 proxy.
  EXPECT_EQ(Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", 3, true),
            "ipv6_start.sh\tLANrestart\nipv6_start.sh\tWANrestart\nsleep\t1\n");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "0");
  Set("ipv6_dibbler_client_pd", "disable");
  Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", 3);
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "1");

  // A new LAN address replaces the other global one, not the WAN's.
  stubs_.AddStub("/stub_bin/ifconfig",
                 "echo '          inet6 addr: 2001:db8::1/64 Scope:Global'\n"
                 "echo '          inet6 addr: 2001:db8:5::7/64 Scope:Global'");
  EXPECT_EQ(Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", 3),
            "ifconfig\tbr0\nip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0\n"
            "ip\t-6\taddr\tadd\tfd00::1/64\tdev\tbr0\n");
}

TEST_F(ServiceCallbacks, HostsFileHoldsExactlyTwoLines) {
  const char hosts[] = "/mnt/jffs2/conf/app/hosts";
  Load("lan.conf", "hostname=router\nip_change=1\n");
  EXPECT_EQ(Run(HostnameCallback, "hostname", 0), "");  // no LAN address
  EXPECT_FALSE(root_.Exists(hosts));

  Load("lan.conf", "hostname=router\nsys_lan_ip=192.168.1.1\nip_change=1\n");
  EXPECT_EQ(Run(HostnameCallback, "hostname", 0), "mc_trigger_delay 8 1000\n");
  EXPECT_EQ(root_.Read(hosts), "192.168.1.1\trouter\n127.0.0.1\tlocalhost\n");
  // Through a write-back: the LAN address rewrites the file, and the change
  // flag is reported once and then removed.
  Set("sys_lan_ip", "10.0.0.1");
  store::writeParamToFile();
  EXPECT_EQ(root_.Read(hosts), "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), cms::testing::Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("ip_change"), "(none)");
  EXPECT_EQ(Run(LanIPCallback, "sys_lan_ip", 0), "mc_trigger_arg 16 0\n");
  // A line that does not fit leaves the file as it was.
  Set("hostname", std::string(60, 'h'));
  Call(HostnameCallback, "hostname");
  EXPECT_EQ(root_.Read(hosts), "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/app/hosts.tmp"));
}

TEST_F(ServiceCallbacks, LanMaskReplacesOnlyTheRangeMask) {
  Load("lan.conf", "sys_lan_mask=255.255.0.0\n");
  // Without a range it still notifies.
  EXPECT_EQ(Run(LanMaskCallback, "sys_lan_mask", 0), "mc_trigger_arg 16 0\n");
  Load("lan.conf",
       "sys_lan_mask=255.255.0.0\nmask_change=1\n"
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n");
  EXPECT_EQ(Run(LanMaskCallback, "sys_lan_mask", 0), "mc_trigger_arg 16 1\n");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"),
            "192.168.1.100,192.168.1.200,255.255.0.0,12h");
  EXPECT_EQ(Value("mask_change"), "(none)");
  // A field too long to carry over whole leaves the range alone.
  const std::string odd =
      "192.168.1.100,192.168.1.200,255.255.255.0,1234567890123456";
  Set("dnsmasq_dhcp-range", odd);
  EXPECT_EQ(Run(LanMaskCallback, "sys_lan_mask", 0), "mc_trigger_arg 16 0\n");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"), odd);
}

TEST_F(ServiceCallbacks, DnsmasqFileAndDebugSwitch) {
  root_.Write("/mnt/jffs2/conf/user/sysini.conf", "sys_cms_debug_mode=1\n");
  Load("dnsmasq.conf",
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n");
  // The generated file ends with the trailer once, after either phase.
  char path[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 0), 1);
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 1);
  std::string expected =
      "dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n";
  for (const char* line : conffiles::kDnsmasqTrailer) expected += line;
  EXPECT_EQ(root_.Read("/tmp/dnsmasq.conf"), expected);
  std::filesystem::remove_all(root_.Host("/tmp"));
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 0);

  Call(SysDebugCMSCallback, "sys_cms_debug_mode", 0);
  EXPECT_EQ(cms_debug_mode.load(), 0);
  Call(SysDebugCMSCallback, "sys_cms_debug_mode");
  EXPECT_EQ(cms_debug_mode.load(), 1);
  SysDebugCMSCallback(nullptr, "verbose", 1);
  EXPECT_EQ(cms_debug_mode.load(), 0);
}

// Every value that reaches a command arrives as one literal argument of the
// intended program, and nothing else ran.
TEST_F(ServiceCallbacks, HostileValuesStayOneArgument) {
  for (const std::string& v : cms::testing::kHostileValues) {
    SCOPED_TRACE(v);
    Load("hostile.conf",
         "sys_telnetd=enable\nui_banner_enable=enable\nsys_ftpd=enable\n"
         "ipv6_enable=enable\nsys_br_if=br0\nipv6_wan_ip=2001:db8::1\n"
         "ipv6_lan_local_ip=fd00::1\n");
    const std::string event = "mc_trigger_delay 10 1000\n";
    Set("ui_banner_file", v);
    EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", 1),
              "telnetd\t-l\t/bin/login\t-f\t" + v + "\n" + event);
    root_.Write("/etc/" + v, "hi\n");  // vsftpd is given existing banners only
    Set("ui_banner_file", "/etc/" + v);
    EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", 1),
              "vsftpd\t-obanner_file=/etc/" + v + "\n" + event);
    // WAN address (in backquotes within double quotes) and new LAN address.
    stubs_.AddStub("/stub_bin/ifconfig",
                   "echo '  inet6 addr: 2001:db8:5::7/64 Scope:Global'");
    Set("ipv6_wan_ip", v);
    Set("ipv6_lan_local_ip", v);
    EXPECT_EQ(Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", 3),
              "ifconfig\tbr0\nip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0\n"
              "ip\t-6\taddr\tadd\t" +
                  v + "/64\tdev\tbr0\n");
    // Bridge name (in backquotes, unquoted), cut to 15 characters.
    stubs_.AddStub("/stub_bin/ifconfig", "");
    const std::string br = v.substr(0, 15);
    Set("sys_br_if", br);
    Set("ipv6_lan_local_ip", "fd00::1");
    EXPECT_EQ(Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", 2),
              "ifconfig\t" + br + "\nip\t-6\taddr\tadd\tfd00::1/64\tdev\t" +
                  br + "\n");
  }
  EXPECT_FALSE(root_.Exists("/pwned") || std::filesystem::exists("pwned"));
}

}  // namespace
}  // namespace cms::events
