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

using cms::testing::DeviceTest;
using cms::testing::Lines;

class ServiceCallbacks : public DeviceTest {
 protected:
  // Sets `name` (unless null), runs `callback` for `subject` and returns the
  // `count` stub calls, sorted where the shell decides their order.
  Lines Run(store::ChangeCallback callback, const char* subject,
            const char* name, const std::string& value, size_t count,
            bool sorted = false) {
    if (name != nullptr) Set(name, value);
    stubs_.ClearCalls();
    Call(callback, subject);
    Lines calls = Calls(count);
    if (sorted) std::sort(calls.begin(), calls.end());
    return calls;
  }
  static char* Path(const char* path) { return const_cast<char*>(path); }
};

TEST_F(ServiceCallbacks, TelnetdChoosesLoginAndAlwaysTellsFirewall) {
  Load("sys.conf",
       "sys_telnetd=enable\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/b\nsys_lmrshell=enable\n");
  EXPECT_EQ(Call(TelnetdCallback, "sys_telnetd", 0), 1);
  EXPECT_EQ(mc_.Drain(), Lines{});
  const std::string overlong = "/etc/" + std::string(90, 'b');
  const struct {
    const char* name;
    std::string value;
    Lines calls;
  } steps[] = {{"ui_banner_file",
                "/etc/banner",
                {"telnetd\t-l\t/bin/login\t-f\t/etc/banner"}},
               {"ui_banner_file", overlong, {}},  // would not fit its command
               {"ui_banner_enable",
                "disable",
                {"telnetd\t-l\t/mnt/jffs2/bin/login_without_shell_auth"}},
               {"sys_lmrshell", "disable", {"telnetd\t-l\t/bin/login"}},
               {"sys_telnetd", "disable", {"killall\t-9\ttelnetd"}}};
  for (const auto& s : steps) {
    EXPECT_EQ(
        Run(TelnetdCallback, "sys_telnetd", s.name, s.value, s.calls.size()),
        s.calls)
        << s.name << "=" << s.value;
    EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 10 1000"});
  }
}

TEST_F(ServiceCallbacks, VsftpdBannerOnlyWhenFileExistsAndPortRestarts) {
  Load("ftp.conf",
       "sys_ftpd=enable\nsys_ftpd_port=2121\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/ftp_banner\n");
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", nullptr, "", 1), Lines{"vsftpd"});
  root_.Write("/etc/ftp_banner", "hello\n");
  const std::string with_banner = "vsftpd\t-obanner_file=/etc/ftp_banner";
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", nullptr, "", 1),
            Lines{with_banner});
  // A port change restarts a running server and leaves a stopped one.
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd_port", nullptr, "", 2),
            (Lines{"killall\t-9\tvsftpd", with_banner}));
  mc_.Drain();
  EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd_port", "sys_ftpd", "disable", 1),
            Lines{"killall\t-9\tvsftpd"});
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 10 1000"});
}

TEST_F(ServiceCallbacks, FixedServiceCommands) {
  Load("misc.conf",
       "ippt_host_mac=00:11:22:33:44:55\nui_sys_rm_type=2\nipv6_webpage=1\n");
  ClatdCallback(Path("/mnt/jffs2/conf/user/clatd.conf"), nullptr, 1);
  EXPECT_EQ(Calls(1), Lines{"clat.sh\trestart"});
  stubs_.ClearCalls();
  Call(Ippt2Callback, "ippt_host_mac", 0);
  EXPECT_EQ(Run(Ippt2Callback, "ippt_host_mac", nullptr, "", 1),
            Lines{"ip-passthrough.sh\trestart"});

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run(IPv6WebCallback, "ipv6_webpage", nullptr, "", 3),
            (Lines{"sleep\t10", "killall\tcwmpc", "cwmpc"}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "IPv6WebCallback: Restart TR069");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run(IPv6WebCallback, "ipv6_webpage", "ui_sys_rm_type", "1", 0),
            Lines{});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "IPv6WebCallback: Restart SNMP");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 81 1000"});
}

TEST_F(ServiceCallbacks, DdnsFileRebuiltAtEveryPhaseEventOnlyWhenWritten) {
  Load("ddns.conf",
       "ddns_enable=1\nddns_host=home.example.net\nddns_user=\n"
       "ddns_password=e0susu;\n");
  DDNSFileCallback(Path("/mnt/jffs2/conf/user/ddns.conf"), nullptr, 0);
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/ddns.conf"),
            "enable 1\nhost home.example.net\n");
  EXPECT_EQ(mc_.Drain(), Lines{});
  DDNSFileCallback(Path("/mnt/jffs2/conf/user/ddns.conf"), nullptr, 1);
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 6 1000"});
}

TEST_F(ServiceCallbacks, Ipv6Callbacks) {
  Load(
      "ipv6.conf",
      "ipv6_enable=disable\nipv6_tun_prefix=2001:db8::/48\nipv6_ntp1=ntp\n"
      "ipv6_tun_prefix_enable=enable\nipv6_dibbler_server_dns_from_cpe=enable\n"
      "ipv6_dns1=dns\nipv6_dibbler_client_pd=enable\n"
      "APN_DHCP6_Proxy_Enable=9\nipv6_lan_local_ip=fd00::1\nsys_br_if=br0\n"
      "ipv6_wan_ip=2001:db8::1\n");
  // Nothing runs while IPv6 is disabled.
  IPv6TunnelCallback(Path("/x/ipv6_tun.conf"), nullptr, 1);
  for (auto [callback, name] :
       {std::pair<store::ChangeCallback, const char*>{IPv6TunnelPrefixCallback,
                                                      "ipv6_tun_prefix"},
        {IPv6WANNTPCallback, "ipv6_ntp1"},
        {IPv6WANDNSCallback, "ipv6_dns1"},
        {IPv6WANPDCallback, "ipv6_dibbler_client_pd"},
        {IPv6LANLocalCallback, "ipv6_lan_local_ip"}}) {
    Call(callback, name);
  }
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "9");
  EXPECT_EQ(Run(IPv6ConfCallback, "ipv6_enable", nullptr, "", 1),
            Lines{"ipv6_start.sh\tstop"});
  EXPECT_EQ(Value("mon_diag_protocol_type"), "4");

  EXPECT_EQ(
      Run(IPv6ConfCallback, "ipv6_enable", "ipv6_enable", "enable", 5, true),
      (Lines{"ipv6_start.sh\tWANstart", "ipv6_start.sh\tstart",
             "ipv6_start.sh\tstop", "sleep\t1", "sleep\t2"}));
  stubs_.ClearCalls();
  IPv6TunnelCallback(Path("/x/ipv6_tun.conf"), nullptr, 1);
  EXPECT_EQ(Calls(1), Lines{"ipv6_start.sh\tTunnelrestart"});
  EXPECT_EQ(Run(IPv6TunnelPrefixCallback, "ipv6_tun_prefix", nullptr, "", 1),
            Lines{"ipv6_start.sh\tLANrestart"});
  EXPECT_EQ(Run(IPv6WANNTPCallback, "ipv6_ntp1", nullptr, "", 1),
            Lines{"ipv6_start.sh\tWANrestart"});
  // Prefix delegation flips the DHCPv6 proxy.
  EXPECT_EQ(
      Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", nullptr, "", 3, true),
      (Lines{"ipv6_start.sh\tLANrestart", "ipv6_start.sh\tWANrestart",
             "sleep\t1"}));
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "0");
  Run(IPv6WANPDCallback, "ipv6_dibbler_client_pd", "ipv6_dibbler_client_pd",
      "disable", 3);
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "1");

  // A new LAN address replaces the other global one, not the WAN's.
  stubs_.AddStub("/stub_bin/ifconfig",
                 "echo '          inet6 addr: 2001:db8::1/64 Scope:Global'\n"
                 "echo '          inet6 addr: 2001:db8:5::7/64 Scope:Global'");
  EXPECT_EQ(
      Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", nullptr, "", 3),
      (Lines{"ifconfig\tbr0", "ip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0",
             "ip\t-6\taddr\tadd\tfd00::1/64\tdev\tbr0"}));
}

TEST_F(ServiceCallbacks, HostsFileHoldsExactlyTwoLines) {
  const char hosts[] = "/mnt/jffs2/conf/app/hosts";
  Load("lan.conf", "hostname=router\nip_change=1\n");
  EXPECT_EQ(Call(HostnameCallback, "hostname"), 0);  // no LAN address
  EXPECT_FALSE(root_.Exists(hosts));
  EXPECT_EQ(mc_.Drain(), Lines{});

  Load("lan.conf", "hostname=router\nsys_lan_ip=192.168.1.1\nip_change=1\n");
  Call(HostnameCallback, "hostname");
  EXPECT_EQ(root_.Read(hosts), "192.168.1.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 8 1000"});
  // Through a write-back: the LAN address rewrites the file, and the change
  // flag is reported once and then removed.
  Set("sys_lan_ip", "10.0.0.1");
  store::writeParamToFile();
  EXPECT_EQ(root_.Read(hosts), "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("ip_change"), "(none)");
  Call(LanIPCallback, "sys_lan_ip");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});
  // A line that does not fit leaves the file as it was.
  Set("hostname", std::string(60, 'h'));
  Call(HostnameCallback, "hostname");
  EXPECT_EQ(root_.Read(hosts), "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/app/hosts.tmp"));
}

TEST_F(ServiceCallbacks, LanMaskReplacesOnlyTheRangeMask) {
  Load("lan.conf", "sys_lan_mask=255.255.0.0\n");
  Call(LanMaskCallback, "sys_lan_mask");  // without a range it still notifies
  EXPECT_EQ(Value("dnsmasq_dhcp-range"), "(none)");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});

  Load("lan.conf",
       "sys_lan_mask=255.255.0.0\nmask_change=1\n"
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n");
  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"),
            "192.168.1.100,192.168.1.200,255.255.0.0,12h");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("mask_change"), "(none)");
  // A field too long to carry over whole leaves the range alone.
  const std::string odd =
      "192.168.1.100,192.168.1.200,255.255.255.0,1234567890123456";
  Set("dnsmasq_dhcp-range", odd);
  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"), odd);
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});
}

TEST_F(ServiceCallbacks, GeneratedFilesAndDebugSwitch) {
  root_.Write("/mnt/jffs2/conf/user/snmpd.conf", "snmp_sysName=box\n");
  root_.Write("/mnt/jffs2/conf/user/sysini.conf", "sys_cms_debug_mode=1\n");
  Load("dnsmasq.conf",
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n"
       "dnsmasq_auto-dns=enable\n");
  // The dnsmasq file ends with its trailer once, at either phase.
  char path[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 0), 1);
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 1);
  std::string expected =
      "dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n";
  for (const char* line : conffiles::kDnsmasqTrailer) expected += line;
  EXPECT_EQ(root_.Read("/tmp/dnsmasq.conf"), expected);
  std::filesystem::remove_all(root_.Host("/tmp"));
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 0);

  EXPECT_EQ(Call(SNMPFileCallback, "snmp_sysName", 0), 1);
  for (const char* f : {"snmpd.conf", "snmpd_v3.conf"}) {
    EXPECT_NE(root_.Read(std::string("/mnt/jffs2/conf/app/") + f)
                  .find("sysname box\n"),
              std::string::npos)
        << f;
  }
  EXPECT_EQ(mc_.Drain(), Lines{});

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
    mc_.Drain();
    EXPECT_EQ(Run(TelnetdCallback, "sys_telnetd", "ui_banner_file", v, 1),
              Lines{"telnetd\t-l\t/bin/login\t-f\t" + v});
    root_.Write("/etc/" + v, "hi\n");  // vsftpd is given existing banners only
    EXPECT_EQ(Run(vsftpdCallback, "sys_ftpd", "ui_banner_file", "/etc/" + v, 1),
              Lines{"vsftpd\t-obanner_file=/etc/" + v});
    // WAN address (in backquotes within double quotes) and new LAN address.
    stubs_.AddStub("/stub_bin/ifconfig",
                   "echo '  inet6 addr: 2001:db8:5::7/64 Scope:Global'");
    Set("ipv6_wan_ip", v);
    EXPECT_EQ(
        Run(IPv6LANLocalCallback, "ipv6_lan_local_ip", "ipv6_lan_local_ip", v,
            3),
        (Lines{"ifconfig\tbr0", "ip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0",
               "ip\t-6\taddr\tadd\t" + v + "/64\tdev\tbr0"}));
    // Bridge name (in backquotes, unquoted), cut to 15 characters.
    stubs_.AddStub("/stub_bin/ifconfig", "");
    const std::string br = v.substr(0, 15);
    Set("sys_br_if", br);
    EXPECT_EQ(Run(IPv6LANLocalCallback, "ipv6_lan_local_ip",
                  "ipv6_lan_local_ip", "fd00::1", 2),
              (Lines{"ifconfig\t" + br,
                     "ip\t-6\taddr\tadd\tfd00::1/64\tdev\t" + br}));
  }
  EXPECT_FALSE(root_.Exists("/pwned") || std::filesystem::exists("pwned"));
}

}  // namespace
}  // namespace cms::events
