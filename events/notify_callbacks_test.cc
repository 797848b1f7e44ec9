// notify_callbacks_test.cc - which events a written change sends, in order.
#include "events/notify_callbacks.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "testing/device_fixture.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

class NotifyTest : public cms::testing::DeviceTest {
 protected:
  // Each line of `rows` is "name=value: event|event...": the value is set
  // and written back, and exactly those events follow, in order.
  void Expect(const std::string& rows) {
    std::istringstream in(rows);
    for (std::string row; std::getline(in, row);) {
      const size_t eq = row.find('='), colon = row.find(": ");
      Set(row.substr(0, eq).c_str(), row.substr(eq + 1, colon - eq - 1));
      EXPECT_EQ(mc_.Drain(), cms::testing::Lines{}) << "a set sends nothing";
      store::writeParamToFile();
      std::string got;
      for (const std::string& e : mc_.Drain())
        got += (got.empty() ? "" : "|") + e;
      EXPECT_EQ(got, row.substr(colon + 2)) << row;
    }
  }
};

// TR-069 events need a remote-management type other than 1, the IPv6 ones
// IPv6 enabled and an RA flag of 0, 40, 80 or c0 (lower case).
TEST_F(NotifyTest, EventsOfEachWrittenChangeInOrder) {
  WriteUser("wifi.conf", "wifi_ssid=a\n");
  Load("sys.conf",
       "sys_httpd=1\nsys_upnp=0\nsupplicant_check_crl_time=x\n"
       "LTE_traffic_control_quota=1\nsys_rm_type=1\ntr069_acs_url=a\n"
       "ipv6_enable=disable\nipv6_RAflag=0\nipv6_wan_type=0\n");
  Expect(
      "sys_httpd=0: mc_trigger_delay 99 1000|mc_trigger_delay 31 1000|"
      "mc_trigger_delay 10 1000\n"
      "sys_upnp=1: mc_trigger 31|mc_trigger_delay 10 1000\n"
      "LTE_traffic_control_quota=2: mc_trigger_arg 177 1\n"
      "supplicant_check_crl_time=enable: mc_trigger_arg 18 0\n"
      "supplicant_check_crl_time=enabled: mc_trigger_arg 18 1\n"
      "wifi_ssid=b: mc_trigger_delay 65 3000\n"
      "tr069_acs_url=b: \nipv6_RAflag=40: \nipv6_wan_type=1: \n");
  Set("sys_rm_type", "7");
  Set("ipv6_enable", "enable");
  store::writeParamToFile();
  mc_.Drain();
  Expect(
      "tr069_acs_url=c: mc_trigger_delay 26 1000\n"
      "ipv6_RAflag=c0: mc_trigger_delay 125 1000\n"
      "ipv6_RAflag=C0: \nipv6_RAflag=00: \n"
      "ipv6_wan_type=2: mc_trigger_delay 125 1000\n");
}

}  // namespace
}  // namespace cms::events
