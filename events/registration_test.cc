// registration_test.cc - binding callbacks to parameter and file names.
#include "events/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "events/notify_callbacks.h"
#include "store/file_tables.h"
#include "store/param_list.h"
#include "store/store_fixture.h"

namespace cms::events {
namespace {

int Phase(void*, const char*, int phase) { return phase; }
int Other(void*, const char*, int) { return 1; }

class RegistrationTest : public store::StoreFixture {};

TEST_F(RegistrationTest, ParameterByExactName) {
  WriteUser("a.conf", "wan_ntp1=x\nWan_ntp2=y\n");
  LoadTree();
  EXPECT_EQ(RegParamCallback("wan_ntp1", Phase), 1);
  EXPECT_EQ(store::seekElement("wan_ntp1")->callback, Phase);
  EXPECT_EQ(RegParamCallback("wan_ntp1", Other), 1);  // last one wins
  EXPECT_EQ(store::seekElement("wan_ntp1")->callback, Other);
  EXPECT_EQ(RegParamCallback("wan_ntp2", Phase), 0);  // case matters
  EXPECT_EQ(RegParamCallback("missing", Phase), 0);
}

TEST_F(RegistrationTest, NumberedHostsStopAtTheFirstGap) {
  WriteUser("dnsmasq.conf",
            "dnsmasq_dhcp-host0=a\ndnsmasq_dhcp-host1=a\ndnsmasq_dhcp-host2=a\n"
            "dnsmasq_dhcp-host4=a\n");
  LoadTree();
  EXPECT_EQ(initParamEventReg(), 1);
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host1")->callback, DhcpOptionCallback);
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host2")->callback, DhcpOptionCallback);
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host4")->callback, nullptr);
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host0")->callback, nullptr);
}

TEST_F(RegistrationTest, NumberedHostsEndBelow1024) {
  std::string conf;
  for (int n = 1; n <= 1024; ++n) conf += "dnsmasq_dhcp-host" + std::to_string(n) + "=a\n";
  WriteUser("dnsmasq.conf", conf);
  LoadTree();
  initParamEventReg();
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host1023")->callback, DhcpOptionCallback);
  EXPECT_EQ(store::seekElement("dnsmasq_dhcp-host1024")->callback, nullptr);
}

TEST_F(RegistrationTest, FileByBaseName) {
  WriteConf("/mnt/jffs2/conf/user/a/wifi.conf", "x=1\n");
  WriteConf("/mnt/jffs2/conf/user/b/wifi.conf", "y=1\n");
  WriteUser("wifi.conf.bak.conf", "z=1\n");
  LoadTree();
  int first = -1;
  for (int i = 0; i < store::kFileTableSize; ++i) {
    const std::string path = store::UFL[i].path;
    if (path.ends_with("/wifi.conf")) {
      first = i;
      break;
    }
  }
  ASSERT_GE(first, 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kUserTable), 1);
  for (int i = 0; i < store::kFileTableSize; ++i) {
    // Only the entry with the lowest index gets it; longer names do not match.
    EXPECT_EQ(store::UFL[i].callback, i == first ? Phase : nullptr) << store::UFL[i].path;
  }
  EXPECT_EQ(RegFileCallback("WIFI.conf", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kIspTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, 3), 0);
  EXPECT_EQ(RegFileCallback("No-Dir", Phase, store::kUserTable), 0);
}

TEST_F(RegistrationTest, FileTableRowsUseTheUserSide) {
  WriteUser("route.conf", "r=1\n");
  WriteIsp("route.conf", "r=2\n");
  LoadTree();
  EXPECT_EQ(initFileEventReg(), 1);
  EXPECT_EQ(store::UFL[UserIndex("route.conf")].callback, RouteFileCallback);
  EXPECT_EQ(store::IFL[IspIndex("route.conf")].callback, nullptr);
}

}  // namespace
}  // namespace cms::events
