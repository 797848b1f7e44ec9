// registration_test.cc - binding callbacks to parameter and file names.
#include "events/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "events/notify_callbacks.h"
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

TEST_F(RegistrationTest, FileByBaseNameOnTheUserSide) {
  WriteConf("/mnt/jffs2/conf/user/a/wifi.conf", "x=1\n");
  WriteConf("/mnt/jffs2/conf/user/b/wifi.conf", "y=1\n");
  WriteUser("wifi.conf.bak.conf", "z=1\n");
  LoadTree();
  int first = -1;
  for (int i = store::kFileTableSize - 1; i >= 0; --i)
    if (std::string(store::UFL[i].path).ends_with("/wifi.conf")) first = i;
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kUserTable), 1);
  // Only the entry with the lowest index gets it; longer names do not.
  for (int i = 0; i < store::kFileTableSize; ++i)
    EXPECT_EQ(store::UFL[i].callback, i == first ? Phase : nullptr) << i;
  EXPECT_EQ(RegFileCallback("wifi", Phase, store::kUserTable), 0);
  EXPECT_EQ(RegFileCallback("wifi.conf", Phase, store::kIspTable), 0);
}

}  // namespace
}  // namespace cms::events
