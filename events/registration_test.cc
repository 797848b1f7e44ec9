// registration_test.cc - binding callbacks to parameter and file names, and
// a write-back reaching a device callback through registration.
#include "events/registration.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "testing/device_fixture.h"
#include "events/notify_callbacks.h"
#include "events/service_callbacks.h"
#include "store/file_tables.h"
#include "store/operations.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

int Phase(void*, const char*, int phase) { return phase; }
int Other(void*, const char*, int) { return 1; }

class RegistrationTest : public cms::testing::DeviceTest {
 protected:
  static store::ChangeCallback Of(const std::string& name) {
    return store::seekElement(name.c_str())->callback;
  }
};

TEST_F(RegistrationTest, ParametersByExactNameAndNumberedHosts) {
  Load("a.conf",
       "wan_ntp1=x\nWan_ntp2=y\ndnsmasq_dhcp-host0=a\ndnsmasq_dhcp-host1=a\n"
       "dnsmasq_dhcp-host2=a\ndnsmasq_dhcp-host4=a\n");
  EXPECT_EQ(RegParamCallback("wan_ntp1", Phase), 1);
  EXPECT_EQ(Of("wan_ntp1"), Phase);
  EXPECT_EQ(RegParamCallback("wan_ntp1", Other), 1);  // last one wins
  EXPECT_EQ(Of("wan_ntp1"), Other);
  EXPECT_EQ(RegParamCallback("wan_ntp2", Phase), 0);  // case matters
  EXPECT_EQ(RegParamCallback("missing", Phase), 0);
  // Numbered hosts from 1 to the first gap, below 1024.
  EXPECT_EQ(Of("dnsmasq_dhcp-host2"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host4"), nullptr);
  EXPECT_EQ(Of("dnsmasq_dhcp-host0"), nullptr);
  // An added entry that closes the gap brings the entries after it.
  InstallStoreHooks();
  ASSERT_EQ(store::AddParam("dnsmasq_dhcp-host3", "a.conf", "a",
                            store::kModeAddUser),
            1);
  EXPECT_EQ(Of("dnsmasq_dhcp-host3"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host4"), DhcpOptionCallback);
  std::string hosts;
  for (int n = 1; n <= 1024; ++n)
    hosts += "dnsmasq_dhcp-host" + std::to_string(n) + "=a\n";
  Load("a.conf", hosts);
  EXPECT_EQ(Of("dnsmasq_dhcp-host1"), DhcpOptionCallback);
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
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kUserTable), 1);
  for (int i = 0; i < store::kFileTableSize; ++i) {
    // Only the entry with the lowest index gets it; longer names do not.
    EXPECT_EQ(store::UFL[i].callback, i == first ? Phase : nullptr) << i;
  }
  EXPECT_EQ(RegFileCallback("WIFI.conf", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kIspTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, 3), 0);
}

TEST_F(RegistrationTest, EveryRegisteredFileHasItsCallback) {
  std::istringstream files(
      "ddns dnsmasq dsp oma snmpd syslog cwmp supplicant xvoip iad_xvoip "
      "wan_network ltesetting apn eps cm_dbg sequansd wifi wifi_11ac fw_rule "
      "mark mark_l2 adv_network port_trigger service_line vpn sshd sys_mon "
      "pptpd qos access_restriction route route_rip ipv6_tun alg rat_ant");
  for (std::string f; files >> f;) WriteUser(f + ".conf", "");
  WriteIsp("route.conf", "r=2\n");  // the table binds user-side files only
  Load("clatd.conf", "clatd_enable=0\n");
  int with_callback = 0;
  for (const store::ConfigLocation& entry : store::UFL) {
    const std::string path = entry.path;
    if (path == store::kFreeEntry || path.ends_with("/XCFGtemp.conf")) continue;
    EXPECT_NE(entry.callback, nullptr) << path;
    ++with_callback;
  }
  EXPECT_EQ(with_callback, 36);
  EXPECT_EQ(store::IFL[IspIndex("route.conf")].callback, nullptr);
  EXPECT_EQ(store::UFL[UserIndex("route.conf")].callback, RouteFileCallback);
  EXPECT_EQ(store::UFL[UserIndex("snmpd.conf")].callback, SNMPFileCallback);
  // A file callback runs after its file was rewritten.
  Set("clatd_enable", "1");
  store::writeParamToFile();
  EXPECT_EQ(Calls(1), cms::testing::Lines{"clat.sh\trestart"});
}

}  // namespace
}  // namespace cms::events
