// device_registration_test.cc - the device-behaviour callbacks are attached
// to their names and files, and a write-back reaches them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "events/device_test_fixture.h"
#include "events/led_callbacks.h"
#include "events/perf_measure.h"
#include "events/service_callbacks.h"
#include "events/vpn_callback.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

using cms::testing::DeviceTest;

class DeviceRegistration : public DeviceTest {};

TEST_F(DeviceRegistration, EveryDeviceCallbackHasItsNames) {
  const std::vector<std::pair<const char*, store::ChangeCallback>> rows = {
      {"ippt_host_mac", Ippt2Callback},
      {"hostname", HostnameCallback},
      {"sys_lan_ip", LanIPCallback},
      {"sys_lan_mask", LanMaskCallback},
      {"sys_ftpd", vsftpdCallback},
      {"sys_ftpd_port", vsftpdCallback},
      {"sys_telnetd", TelnetdCallback},
      {"lte_status_cinr", LteCinrToLedCallback},
      {"lte_status_rsrp", LteRsrpToLedCallback},
      {"SIM_PINStatus", LteSIMLedCallback},
      {"CMServerState", LteConnectLedCallback},
      {"xvoip_reg_status_1", XvoipLedCallback},
      {"xvoip_mwi_status_2", XvoipLedCallback},
      {"perf_measure_status", PerfMeasureCallback},
      {"ipv6_enable", IPv6ConfCallback},
      {"ipv6_dibbler_client_pd", IPv6WANPDCallback},
      {"ipv6_rdnssd_enable", IPv6WANDNSCallback},
      {"ipv6_dns2", IPv6WANDNSCallback},
      {"ipv6_dibbler_client_ntp", IPv6WANNTPCallback},
      {"ipv6_ntp2", IPv6WANNTPCallback},
      {"ipv6_lan_local_ip", IPv6LANLocalCallback},
      {"ipv6_webpage", IPv6WebCallback},
      {"wifi_REG_AP", IPv6WebCallback},
      {"ipv6_tun_prefix", IPv6TunnelPrefixCallback},
      {"sys_pptp_gw_if", VPNDefaultGWCallback},
      {"sys_l2tp_gw_if", VPNDefaultGWCallback},
      {"sys_gre_gw_if", VPNDefaultGWCallback},
      {"sys_cms_debug_mode", SysDebugCMSCallback},
      {"snmp_conf_gen", SNMPFileCallback},
  };
  std::string conf;
  for (const auto& [name, callback] : rows) conf += std::string(name) + "=1\n";
  Load("all.conf", conf);
  for (const auto& [name, callback] : rows) {
    const store::ParamRecord* r = store::seekElement(name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_EQ(r->callback, callback) << name;
  }
}

TEST_F(DeviceRegistration, EveryRegisteredFileHasACallback) {
  const char* files[] = {
      "ddns.conf",        "dnsmasq.conf",         "dsp.conf",
      "oma.conf",         "snmpd.conf",           "syslog.conf",
      "cwmp.conf",        "supplicant.conf",      "xvoip.conf",
      "iad_xvoip.conf",   "wan_network.conf",     "ltesetting.conf",
      "apn.conf",         "eps.conf",             "cm_dbg.conf",
      "sequansd.conf",    "wifi.conf",            "wifi_11ac.conf",
      "fw_rule.conf",     "mark.conf",            "mark_l2.conf",
      "adv_network.conf", "port_trigger.conf",    "service_line.conf",
      "vpn.conf",         "sshd.conf",            "sys_mon.conf",
      "pptpd.conf",       "qos.conf",             "access_restriction.conf",
      "route.conf",       "route_rip.conf",       "ipv6_tun.conf",
      "alg.conf",         "clatd.conf",           "rat_ant.conf"};
  for (const char* f : files) {
    root_.Write(std::string("/mnt/jffs2/conf/user/") + f, "");
  }
  Load("x.conf", "");
  int with_callback = 0;
  for (const store::ConfigLocation& entry : store::UFL) {
    const std::string path = entry.path;
    if (path == store::kFreeEntry) continue;
    const std::string base = path.substr(path.rfind('/') + 1);
    if (base == "x.conf" || base == "XCFGtemp.conf") continue;
    EXPECT_NE(entry.callback, nullptr) << base;
    ++with_callback;
  }
  EXPECT_EQ(with_callback, 36);
  const auto callback_of = [](const char* base) -> store::ChangeCallback {
    for (const store::ConfigLocation& entry : store::UFL) {
      const std::string path = entry.path;
      if (path.size() > strlen(base) &&
          path.substr(path.size() - strlen(base) - 1) == std::string("/") + base) {
        return entry.callback;
      }
    }
    return nullptr;
  };
  EXPECT_EQ(callback_of("ddns.conf"), DDNSFileCallback);
  EXPECT_EQ(callback_of("dnsmasq.conf"), DnsmasqFileCallback);
  EXPECT_EQ(callback_of("snmpd.conf"), SNMPFileCallback);
  EXPECT_EQ(callback_of("ipv6_tun.conf"), IPv6TunnelCallback);
  EXPECT_EQ(callback_of("clatd.conf"), ClatdCallback);
}

// A user-side file callback runs after its file was rewritten.
TEST_F(DeviceRegistration, WriteBackOfClatdFileRestartsClat) {
  Load("clatd.conf", "clatd_enable=0\n");
  store::SetParamValue("clatd_enable", "1", store::kModeSetUser);
  store::writeParamToFile();
  EXPECT_EQ(Calls(1), std::vector<std::string>{"clat.sh\trestart"});
}

}  // namespace
}  // namespace cms::events
