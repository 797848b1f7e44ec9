// registration_test.cc - binding callbacks to parameter and file names, and
// a write-back reaching a device callback through registration.
#include "events/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "events/notify_callbacks.h"
#include "store/write_back.h"
#include "testing/device_fixture.h"

namespace cms::events {
namespace {

int Phase(void*, const char*, int phase) { return phase; }

class RegistrationTest : public cms::testing::DeviceTest {
 protected:
  static store::ChangeCallback Of(const std::string& name) {
    return store::seekElement(name.c_str())->callback;
  }
};

TEST_F(RegistrationTest, ParametersByExactNameAndNumberedHostsBelow1024) {
  Load("a.conf", "wan_ntp1=x\n");
  EXPECT_EQ(RegParamCallback("wan_ntp1", Phase), 1);
  EXPECT_EQ(Of("wan_ntp1"), Phase);
  EXPECT_EQ(RegParamCallback("Wan_ntp1", Phase), 0);  // case matters
  std::string hosts = "dnsmasq_dhcp-host0=a\n";
  for (int n = 1; n <= 1024; ++n)
    hosts += "dnsmasq_dhcp-host" + std::to_string(n) + "=a\n";
  Load("a.conf", hosts);
  EXPECT_EQ(Of("dnsmasq_dhcp-host0"), nullptr);
  EXPECT_EQ(Of("dnsmasq_dhcp-host1023"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host1024"), nullptr);
}

TEST_F(RegistrationTest, AddedHostThatClosesAGapRegistersTheHostsAfterIt) {
  Load("a.conf",
       "dnsmasq_dhcp-host1=a\ndnsmasq_dhcp-host2=a\ndnsmasq_dhcp-host4=a\n");
  EXPECT_EQ(Of("dnsmasq_dhcp-host4"), nullptr);
  InstallStoreHooks();
  ASSERT_EQ(store::AddParam("dnsmasq_dhcp-host3", "a.conf", "a",
                            store::kModeAddUser),
            1);
  EXPECT_EQ(Of("dnsmasq_dhcp-host3"), DhcpOptionCallback);
  EXPECT_EQ(Of("dnsmasq_dhcp-host4"), DhcpOptionCallback);
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
  EXPECT_EQ(RegFileCallback("wifi", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kIspTable), 0);
}

// A file callback runs after its file was rewritten; the ISP side gets none.
TEST_F(RegistrationTest, FileCallbackRunsAfterTheWriteBack) {
  WriteIsp("clatd.conf", "r=2\n");
  Load("clatd.conf", "clatd_enable=0\n");
  EXPECT_EQ(store::IFL[IspIndex("clatd.conf")].callback, nullptr);
  Set("clatd_enable", "1");
  store::writeParamToFile();
  EXPECT_EQ(Calls(1), cms::testing::Lines{"clat.sh\trestart"});
}

}  // namespace
}  // namespace cms::events
