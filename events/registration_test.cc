// registration_test.cc - binding callbacks to parameter and file names, and
// a write-back reaching a device callback through registration.
#include "events/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "events/device_test_fixture.h"
#include "events/notify_callbacks.h"
#include "events/service_callbacks.h"
#include "store/file_tables.h"
#include "store/param_list.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

int Phase(void*, const char*, int phase) { return phase; }
int Other(void*, const char*, int) { return 1; }

class RegistrationTest : public cms::testing::DeviceTest {
 protected:
  static store::ChangeCallback Of(const char* name) {
    return store::seekElement(name)->callback;
  }
};

TEST_F(RegistrationTest, ParameterByExactName) {
  Load("a.conf", "wan_ntp1=x\nWan_ntp2=y\n");
  EXPECT_EQ(RegParamCallback("wan_ntp1", Phase), 1);
  EXPECT_EQ(Of("wan_ntp1"), Phase);
  EXPECT_EQ(RegParamCallback("wan_ntp1", Other), 1);  // last one wins
  EXPECT_EQ(Of("wan_ntp1"), Other);
  EXPECT_EQ(RegParamCallback("wan_ntp2", Phase), 0);  // case matters
  EXPECT_EQ(RegParamCallback("missing", Phase), 0);
}

TEST_F(RegistrationTest, NumberedHostsFromOneToTheFirstGapBelow1024) {
  Load("dnsmasq.conf",
       "dnsmasq_dhcp-host0=a\ndnsmasq_dhcp-host1=a\ndnsmasq_dhcp-host2=a\n"
       "dnsmasq_dhcp-host4=a\n");
  EXPECT_EQ(Of("dnsmasq_dhcp-host1"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host2"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host4"), nullptr);
  EXPECT_EQ(Of("dnsmasq_dhcp-host0"), nullptr);
  std::string conf;
  for (int n = 1; n <= 1024; ++n) {
    conf += "dnsmasq_dhcp-host" + std::to_string(n) + "=a\n";
  }
  Load("dnsmasq.conf", conf);
  EXPECT_EQ(Of("dnsmasq_dhcp-host1023"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host1024"), nullptr);
}

TEST_F(RegistrationTest, FileByBaseNameOnTheUserSide) {
  WriteConf("/mnt/jffs2/conf/user/a/wifi.conf", "x=1\n");
  WriteConf("/mnt/jffs2/conf/user/b/wifi.conf", "y=1\n");
  WriteUser("wifi.conf.bak.conf", "z=1\n");
  LoadTree();
  int first = -1;
  for (int i = store::kFileTableSize - 1; i >= 0; --i) {
    if (std::string(store::UFL[i].path).ends_with("/wifi.conf")) first = i;
  }
  ASSERT_GE(first, 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kUserTable), 1);
  for (int i = 0; i < store::kFileTableSize; ++i) {
    // Only the entry with the lowest index gets it; longer names do not.
    EXPECT_EQ(store::UFL[i].callback, i == first ? Phase : nullptr)
        << store::UFL[i].path;
  }
  for (auto [name, table] : {std::pair{"WIFI.conf", store::kUserTable},
                             {"wifi", store::kUserTable},
                             {"wifi.conf", store::kIspTable},
                             {"wifi.conf", 3},
                             {"No-Dir", store::kUserTable}}) {
    EXPECT_EQ(RegFileCallback(name, Phase, table), 0) << name << table;
  }
  // The registration table's rows bind user-side files only.
  WriteUser("route.conf", "r=1\n");
  WriteIsp("route.conf", "r=2\n");
  Load("x.conf", "");
  EXPECT_EQ(store::UFL[UserIndex("route.conf")].callback, RouteFileCallback);
  EXPECT_EQ(store::IFL[IspIndex("route.conf")].callback, nullptr);
}

TEST_F(RegistrationTest, EveryRegisteredFileHasItsCallback) {
  for (const char* f :
       {"ddns.conf",        "dnsmasq.conf",      "dsp.conf",
        "oma.conf",         "snmpd.conf",        "syslog.conf",
        "cwmp.conf",        "supplicant.conf",   "xvoip.conf",
        "iad_xvoip.conf",   "wan_network.conf",  "ltesetting.conf",
        "apn.conf",         "eps.conf",          "cm_dbg.conf",
        "sequansd.conf",    "wifi.conf",         "wifi_11ac.conf",
        "fw_rule.conf",     "mark.conf",         "mark_l2.conf",
        "adv_network.conf", "port_trigger.conf", "service_line.conf",
        "vpn.conf",         "sshd.conf",         "sys_mon.conf",
        "pptpd.conf",       "qos.conf",          "access_restriction.conf",
        "route.conf",       "route_rip.conf",    "ipv6_tun.conf",
        "alg.conf",         "rat_ant.conf"}) {
    WriteUser(f, "");
  }
  Load("clatd.conf", "clatd_enable=0\n");
  int with_callback = 0;
  for (const store::ConfigLocation& entry : store::UFL) {
    const std::string path = entry.path;
    if (path == store::kFreeEntry || path.ends_with("/XCFGtemp.conf")) continue;
    EXPECT_NE(entry.callback, nullptr) << path;
    ++with_callback;
  }
  EXPECT_EQ(with_callback, 36);
  EXPECT_EQ(store::UFL[UserIndex("ddns.conf")].callback, DDNSFileCallback);
  EXPECT_EQ(store::UFL[UserIndex("dnsmasq.conf")].callback,
            DnsmasqFileCallback);
  EXPECT_EQ(store::UFL[UserIndex("snmpd.conf")].callback, SNMPFileCallback);
  EXPECT_EQ(store::UFL[UserIndex("ipv6_tun.conf")].callback,
            IPv6TunnelCallback);
  // A file callback runs after its file was rewritten.
  Set("clatd_enable", "1");
  store::writeParamToFile();
  EXPECT_EQ(Calls(1), cms::testing::Lines{"clat.sh\trestart"});
}

}  // namespace
}  // namespace cms::events
