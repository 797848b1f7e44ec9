// service_callbacks_test.cc - service commands, IPv6 control, hosts file,
// DHCP range, generated files and the debug switch, against stub programs.
#include "events/service_callbacks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "conffiles/dnsmasq_conf.h"
#include "events/device_test_fixture.h"
#include "platform/log.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

using Lines = std::vector<std::string>;
using cms::testing::DeviceTest;

class ServiceCallbacks : public DeviceTest {};

TEST_F(ServiceCallbacks, TelnetdChoosesLoginAndAlwaysTellsFirewall) {
  Load("sys.conf",
       "sys_telnetd=enable\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/banner\nsys_lmrshell=enable\n");
  EXPECT_EQ(Call(TelnetdCallback, "sys_telnetd", 0), 1);
  EXPECT_EQ(Calls(), Lines{});

  EXPECT_EQ(Call(TelnetdCallback, "sys_telnetd"), 1);
  EXPECT_EQ(Calls(1), (Lines{"telnetd\t-l\t/bin/login\t-f\t/etc/banner"}));
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 10 1000"});

  stubs_.ClearCalls();
  store::SetParamValue("ui_banner_enable", "disable", store::kModeSetUser);
  Call(TelnetdCallback, "sys_telnetd");
  EXPECT_EQ(Calls(1),
            (Lines{"telnetd\t-l\t/mnt/jffs2/bin/login_without_shell_auth"}));

  stubs_.ClearCalls();
  store::DeleteParam("sys_lmrshell", store::kModeDeleteUser);
  Call(TelnetdCallback, "sys_telnetd");
  EXPECT_EQ(Calls(1), (Lines{"telnetd\t-l\t/bin/login"}));

  stubs_.ClearCalls();
  mc_.Drain();
  store::SetParamValue("sys_telnetd", "disable", store::kModeSetUser);
  Call(TelnetdCallback, "sys_telnetd");
  EXPECT_EQ(Calls(1), (Lines{"killall\t-9\ttelnetd"}));
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 10 1000"});
}

TEST_F(ServiceCallbacks, TelnetdRefusesBannerThatDoesNotFitItsCommand) {
  const std::string banner = "/etc/" + std::string(90, 'b');
  Load("sys.conf",
       "sys_telnetd=enable\nui_banner_enable=enable\n"
       "ui_banner_file=" +
           banner + "\n");
  Call(TelnetdCallback, "sys_telnetd");
  EXPECT_EQ(mc_.WaitFor(1, std::chrono::seconds(5)),
            Lines{"mc_trigger_delay 10 1000"});
  EXPECT_EQ(Calls(), Lines{});
}

TEST_F(ServiceCallbacks, VsftpdBannerOnlyWhenFileExistsAndPortRestarts) {
  Load("ftp.conf",
       "sys_ftpd=enable\nsys_ftpd_port=2121\nui_banner_enable=enable\n"
       "ui_banner_file=/etc/ftp_banner\n");
  Call(vsftpdCallback, "sys_ftpd");
  EXPECT_EQ(Calls(1), Lines{"vsftpd"});  // no such banner file

  stubs_.ClearCalls();
  root_.Write("/etc/ftp_banner", "hello\n");
  Call(vsftpdCallback, "sys_ftpd");
  EXPECT_EQ(Calls(1), Lines{"vsftpd\t-obanner_file=/etc/ftp_banner"});

  // A port change restarts a running server...
  stubs_.ClearCalls();
  Call(vsftpdCallback, "sys_ftpd_port");
  EXPECT_EQ(Calls(2), (Lines{"killall\t-9\tvsftpd",
                             "vsftpd\t-obanner_file=/etc/ftp_banner"}));

  // ...and leaves a disabled one stopped.
  stubs_.ClearCalls();
  mc_.Drain();
  store::SetParamValue("sys_ftpd", "disable", store::kModeSetUser);
  Call(vsftpdCallback, "sys_ftpd_port");
  EXPECT_EQ(Calls(1), Lines{"killall\t-9\tvsftpd"});
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 10 1000"});
}

TEST_F(ServiceCallbacks, FixedServiceCommands) {
  Load("misc.conf",
       "ippt_host_mac=00:11:22:33:44:55\nui_sys_rm_type=2\n"
       "ipv6_webpage=1\n");
  ClatdCallback(const_cast<char*>("/mnt/jffs2/conf/user/clatd.conf"), nullptr,
                1);
  EXPECT_EQ(Calls(1), Lines{"clat.sh\trestart"});

  stubs_.ClearCalls();
  Call(Ippt2Callback, "ippt_host_mac", 0);
  Call(Ippt2Callback, "ippt_host_mac");
  EXPECT_EQ(Calls(1), Lines{"ip-passthrough.sh\trestart"});

  stubs_.ClearCalls();
  ::testing::internal::CaptureStdout();
  Call(IPv6WebCallback, "ipv6_webpage");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "IPv6WebCallback: Restart TR069");
  EXPECT_EQ(Calls(3), (Lines{"sleep\t10", "killall\tcwmpc", "cwmpc"}));

  stubs_.ClearCalls();
  store::SetParamValue("ui_sys_rm_type", "1", store::kModeSetUser);
  ::testing::internal::CaptureStdout();
  Call(IPv6WebCallback, "ipv6_webpage");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "IPv6WebCallback: Restart SNMP");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 81 1000"});
  EXPECT_EQ(Calls(), Lines{});
}

TEST_F(ServiceCallbacks, DdnsFileRebuiltAtEveryPhaseEventOnlyWhenWritten) {
  Load("ddns.conf",
       "ddns_enable=1\nddns_host=home.example.net\nddns_user=\n"
       "ddns_password=e0susu;\n");
  const char path[] = "/mnt/jffs2/conf/user/ddns.conf";
  DDNSFileCallback(const_cast<char*>(path), nullptr, 0);
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/ddns.conf"),
            "enable 1\nhost home.example.net\n");
  EXPECT_EQ(mc_.Drain(), Lines{});
  DDNSFileCallback(const_cast<char*>(path), nullptr, 1);
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 6 1000"});
}

TEST_F(ServiceCallbacks, Ipv6CallbacksNeedIpv6Enabled) {
  Load("ipv6.conf",
       "ipv6_enable=disable\nipv6_tun_prefix_enable=enable\n"
       "ipv6_tun_prefix=2001:db8::/48\nipv6_ntp1=ntp\nipv6_dns1=dns\n"
       "ipv6_dibbler_client_pd=enable\nAPN_DHCP6_Proxy_Enable=9\n"
       "ipv6_lan_local_ip=fd00::1\nsys_br_if=br0\n");
  IPv6TunnelCallback(const_cast<char*>("/x/ipv6_tun.conf"), nullptr, 1);
  Call(IPv6TunnelPrefixCallback, "ipv6_tun_prefix");
  Call(IPv6WANNTPCallback, "ipv6_ntp1");
  Call(IPv6WANDNSCallback, "ipv6_dns1");
  Call(IPv6WANPDCallback, "ipv6_dibbler_client_pd");
  Call(IPv6LANLocalCallback, "ipv6_lan_local_ip");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "9");

  Call(IPv6ConfCallback, "ipv6_enable");
  EXPECT_EQ(Value("mon_diag_protocol_type"), "4");
  EXPECT_EQ(Calls(1), Lines{"ipv6_start.sh\tstop"});

  stubs_.ClearCalls();
  store::SetParamValue("ipv6_enable", "enable", store::kModeSetUser);
  Call(IPv6ConfCallback, "ipv6_enable");
  EXPECT_EQ(SortedCalls(5),
            (Lines{"ipv6_start.sh\tWANstart", "ipv6_start.sh\tstart",
                   "ipv6_start.sh\tstop", "sleep\t1", "sleep\t2"}));

  stubs_.ClearCalls();
  IPv6TunnelCallback(const_cast<char*>("/x/ipv6_tun.conf"), nullptr, 1);
  Call(IPv6TunnelPrefixCallback, "ipv6_tun_prefix");
  EXPECT_EQ(SortedCalls(2), (Lines{"ipv6_start.sh\tLANrestart",
                                   "ipv6_start.sh\tTunnelrestart"}));
}

TEST_F(ServiceCallbacks, Ipv6WanRestartsAndPrefixDelegationFlipsProxy) {
  Load("ipv6.conf",
       "ipv6_enable=enable\nipv6_dibbler_server_dns_from_cpe=enable\n"
       "ipv6_dibbler_server_ntp_from_cpe=disable\nipv6_ntp1=ntp\n"
       "ipv6_dibbler_client_pd=enable\nAPN_DHCP6_Proxy_Enable=1\n");
  Call(IPv6WANNTPCallback, "ipv6_ntp1");
  EXPECT_EQ(Calls(1), Lines{"ipv6_start.sh\tWANrestart"});

  stubs_.ClearCalls();
  Call(IPv6WANPDCallback, "ipv6_dibbler_client_pd");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "0");
  EXPECT_EQ(SortedCalls(3), (Lines{"ipv6_start.sh\tLANrestart",
                                   "ipv6_start.sh\tWANrestart", "sleep\t1"}));

  store::SetParamValue("ipv6_dibbler_client_pd", "disable",
                       store::kModeSetUser);
  Call(IPv6WANPDCallback, "ipv6_dibbler_client_pd");
  EXPECT_EQ(Value("APN_DHCP6_Proxy_Enable"), "1");
}

TEST_F(ServiceCallbacks, LanLocalAddressReplacesOtherGlobalAddress) {
  Load("ipv6.conf",
       "ipv6_enable=enable\nsys_br_if=br0\n"
       "ipv6_wan_ip=2001:db8::1\nipv6_lan_local_ip=fd00::1\n");
  stubs_.AddStub("/stub_bin/ifconfig",
                 "echo '          inet6 addr: 2001:db8::1/64 Scope:Global'\n"
                 "echo '          inet6 addr: 2001:db8:5::7/64 Scope:Global'");
  Call(IPv6LANLocalCallback, "ipv6_lan_local_ip");
  EXPECT_EQ(Calls(3), (Lines{"ifconfig\tbr0",
                             "ip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0",
                             "ip\t-6\taddr\tadd\tfd00::1/64\tdev\tbr0"}));
}

TEST_F(ServiceCallbacks, HostsFileHoldsExactlyTwoLines) {
  Load("lan.conf", "hostname=router\nsys_lan_ip=192.168.1.1\nip_change=1\n");
  Call(HostnameCallback, "hostname");
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/hosts"),
            "192.168.1.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_delay 8 1000"});

  // Through a write-back: the LAN address rewrites the file, and the change
  // flag is reported once and then removed.
  store::SetParamValue("sys_lan_ip", "10.0.0.1", store::kModeSetUser);
  store::writeParamToFile();
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/hosts"),
            "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("ip_change"), "(none)");
  Call(LanIPCallback, "sys_lan_ip");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});

  // A line that does not fit leaves the file as it was.
  store::SetParamValue("hostname", std::string(60, 'h').c_str(),
                       store::kModeSetUser);
  Call(HostnameCallback, "hostname");
  EXPECT_EQ(root_.Read("/mnt/jffs2/conf/app/hosts"),
            "10.0.0.1\trouter\n127.0.0.1\tlocalhost\n");
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/app/hosts.tmp"));
}

TEST_F(ServiceCallbacks, HostnameWithoutLanAddressWritesNothing) {
  Load("lan.conf", "hostname=router\n");
  EXPECT_EQ(Call(HostnameCallback, "hostname"), 0);
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/app/hosts"));
  EXPECT_EQ(mc_.Drain(), Lines{});
}

TEST_F(ServiceCallbacks, LanMaskReplacesOnlyTheRangeMask) {
  Load("lan.conf",
       "sys_lan_mask=255.255.0.0\nmask_change=1\n"
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n");
  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"),
            "192.168.1.100,192.168.1.200,255.255.0.0,12h");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 1"});
  EXPECT_EQ(Value("mask_change"), "(none)");

  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});

  // A field too long to carry over whole leaves the range alone.
  const std::string odd =
      "192.168.1.100,192.168.1.200,255.255.255.0,1234567890123456";
  store::SetParamValue("dnsmasq_dhcp-range", odd.c_str(), store::kModeSetUser);
  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"), odd);
}

TEST_F(ServiceCallbacks, LanMaskWithoutRangeStillNotifies) {
  Load("lan.conf", "sys_lan_mask=255.255.0.0\n");
  Call(LanMaskCallback, "sys_lan_mask");
  EXPECT_EQ(Value("dnsmasq_dhcp-range"), "(none)");
  EXPECT_EQ(mc_.Drain(), Lines{"mc_trigger_arg 16 0"});
}

TEST_F(ServiceCallbacks, DnsmasqFileEndsWithTrailerOnce) {
  Load("dnsmasq.conf",
       "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n"
       "dnsmasq_auto-dns=enable\n");
  char path[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 0), 1);
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 1);
  std::string expected =
      "dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n";
  for (const char* line : conffiles::kDnsmasqTrailer) expected += line;
  EXPECT_EQ(root_.Read("/tmp/dnsmasq.conf"), expected);
  EXPECT_EQ(mc_.Drain(), Lines{});

  std::filesystem::remove_all(root_.Host("/tmp"));
  EXPECT_EQ(DnsmasqFileCallback(path, nullptr, 1), 0);
}

TEST_F(ServiceCallbacks, SnmpFilesRegeneratedAtEveryPhase) {
  root_.Write("/mnt/jffs2/conf/user/sysini.conf", "sys_cms_debug_mode=0\n");
  Load("snmpd.conf", "snmp_conf_gen=1\nsnmp_sysName=box\n");
  EXPECT_EQ(Call(SNMPFileCallback, "snmp_conf_gen", 0), 1);
  EXPECT_NE(root_.Read("/mnt/jffs2/conf/app/snmpd.conf").find("sysname box\n"),
            std::string::npos);
  EXPECT_NE(
      root_.Read("/mnt/jffs2/conf/app/snmpd_v3.conf").find("sysname box\n"),
      std::string::npos);
}

TEST_F(ServiceCallbacks, DebugSwitchFollowsValue) {
  Load("sysini.conf", "sys_cms_debug_mode=1\n");
  Call(SysDebugCMSCallback, "sys_cms_debug_mode", 0);
  EXPECT_EQ(cms_debug_mode.load(), 0);
  Call(SysDebugCMSCallback, "sys_cms_debug_mode");
  EXPECT_EQ(cms_debug_mode.load(), 1);
  SysDebugCMSCallback(nullptr, "verbose", 1);
  EXPECT_EQ(cms_debug_mode.load(), 0);
}

// Every value that reaches a command arrives as one literal argument of the
// intended program: any other program (each hostile value tries to start the
// iperf or cwmpc stub) would show in the log.
TEST_F(ServiceCallbacks, HostileValuesStayOneArgument) {
  const std::vector<std::string> hostile = {
      "x;iperf",        "$(iperf)", "`cwmpc`", "a'b\"c",  "two  words",
      "a\\\\b$(iperf)", "*",        "x|iperf", "a&iperf", "a>pwned"};
  for (const std::string& v : hostile) {
    SCOPED_TRACE(v);
    store::ResetParamList();
    store::initialConfigLocationArray();
    Load("hostile.conf",
         "sys_telnetd=enable\nui_banner_enable=enable\nsys_ftpd=enable\n"
         "ipv6_enable=enable\nsys_br_if=br0\nipv6_wan_ip=2001:db8::1\n"
         "ipv6_lan_local_ip=fd00::1\n");
    mc_.Drain();  // a full queue would block the next notification
    stubs_.ClearCalls();
    store::SetParamValue("ui_banner_file", v.c_str(), store::kModeSetUser);
    Call(TelnetdCallback, "sys_telnetd");
    EXPECT_EQ(LogOnceEqual("telnetd\t-l\t/bin/login\t-f\t" + v + "\n"),
              "telnetd\t-l\t/bin/login\t-f\t" + v + "\n");

    // The banner must exist for vsftpd to be given it.
    const std::string banner = "/etc/" + v;
    root_.Write(banner, "hi\n");
    stubs_.ClearCalls();
    store::SetParamValue("ui_banner_file", banner.c_str(), store::kModeSetUser);
    Call(vsftpdCallback, "sys_ftpd");
    EXPECT_EQ(LogOnceEqual("vsftpd\t-obanner_file=" + banner + "\n"),
              "vsftpd\t-obanner_file=" + banner + "\n");

    // WAN address (inside backquotes, within double quotes) and new LAN
    // address.
    stubs_.ClearCalls();
    stubs_.AddStub("/stub_bin/ifconfig",
                   "echo '  inet6 addr: 2001:db8:5::7/64 Scope:Global'");
    store::SetParamValue("ipv6_wan_ip", v.c_str(), store::kModeSetUser);
    store::SetParamValue("ipv6_lan_local_ip", v.c_str(), store::kModeSetUser);
    Call(IPv6LANLocalCallback, "ipv6_lan_local_ip");
    const std::string with_address =
        "ifconfig\tbr0\nip\t-6\taddr\tdel\t2001:db8:5::7/64\tdev\tbr0\n"
        "ip\t-6\taddr\tadd\t" +
        v + "/64\tdev\tbr0\n";
    EXPECT_EQ(LogOnceEqual(with_address), with_address);

    // Bridge name (inside backquotes, unquoted), cut to 15 characters.
    stubs_.ClearCalls();
    stubs_.AddStub("/stub_bin/ifconfig", "");
    const std::string br = v.substr(0, 15);
    store::SetParamValue("sys_br_if", br.c_str(), store::kModeSetUser);
    store::SetParamValue("ipv6_lan_local_ip", "fd00::1", store::kModeSetUser);
    Call(IPv6LANLocalCallback, "ipv6_lan_local_ip");
    const std::string on_bridge = "ifconfig\t" + br +
                                  "\nip\t-6\taddr\tadd\tfd00::1/64\tdev\t" +
                                  br + "\n";
    EXPECT_EQ(LogOnceEqual(on_bridge), on_bridge);
  }
  // No redirection happened either.
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_FALSE(root_.Exists("/pwned"));
}

}  // namespace
}  // namespace cms::events
