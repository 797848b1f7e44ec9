// notify_callbacks_test.cc - which events a written change sends, in order.
#include "events/notify_callbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "events/registration.h"
#include "store/operations.h"
#include "store/store_fixture.h"
#include "store/write_back.h"
#include "tests/msg_listener.h"

namespace cms::events {
namespace {

using Events = std::vector<std::string>;

class NotifyTest : public store::StoreFixture {
 protected:
  // Loads `user_conf` as user/sys.conf, registers every callback and starts
  // listening.
  void Load(const std::string& user_conf) {
    WriteUser("sys.conf", user_conf);
    LoadTree();
    initParamEventReg();
    initFileEventReg();
    listener_ = std::make_unique<testing::MsgListener>(root_);
    ASSERT_TRUE(listener_->ok());
  }
  static void Set(const char* name, const char* value) {
    EXPECT_NE(store::SetParamValue(name, value, store::kModeSetUser), 0)
        << name;
  }
  // Each line of `rows` is "name=value: event|event...": the value is set
  // and written back, and exactly those events follow, in order.
  void Expect(const std::string& rows) {
    std::istringstream in(rows);
    for (std::string row; std::getline(in, row);) {
      const size_t eq = row.find('='), colon = row.find(": ");
      Set(row.substr(0, eq).c_str(),
          row.substr(eq + 1, colon - eq - 1).c_str());
      EXPECT_TRUE(listener_->Drain().empty()) << "a set alone sends nothing";
      store::writeParamToFile();
      std::string got;
      for (const std::string& e : listener_->Drain()) {
        got += (got.empty() ? "" : "|") + e;
      }
      EXPECT_EQ(got, row.substr(colon + 2)) << row;
    }
  }
  std::unique_ptr<testing::MsgListener> listener_;
};

TEST_F(NotifyTest, EventsOfEachWrittenChangeInOrder) {
  Load(
      "wan_ntp1=a\nwan_ntp2=b\nsys_httpd=1\nsys_upnp=0\nui_lan_mgmt=enable\n"
      "sys_firewall=1\nLTE_traffic_control_quota=1\n"
      "LTE_traffic_control_mode=0\nsupplicant_check_crl_time=x\n");
  // Two parameters of one callback: two events, no coalescing.
  Set("wan_ntp1", "y");
  Set("wan_ntp2", "z");
  store::writeParamToFile();
  EXPECT_EQ(listener_->Drain(),
            (Events{"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000"}));
  store::writeParamToFile();  // nothing changed since
  EXPECT_TRUE(listener_->Drain().empty());
  // The NTP reset's argument is 0 only for exactly "enable".
  Expect(
      "sys_httpd=0: mc_trigger_delay 99 1000|mc_trigger_delay 31 1000|"
      "mc_trigger_delay 10 1000\n"
      "sys_upnp=1: mc_trigger 31|mc_trigger_delay 10 1000\n"
      "ui_lan_mgmt=disable: mc_trigger_delay 113 1000|mc_trigger_delay 10 "
      "1000\n"
      "LTE_traffic_control_quota=2: mc_trigger_arg 177 1\n"
      "LTE_traffic_control_mode=1: mc_trigger 177\n"
      "supplicant_check_crl_time=enable: mc_trigger_arg 18 0\n"
      "supplicant_check_crl_time=disable: mc_trigger_arg 18 1\n"
      "supplicant_check_crl_time=enabled: mc_trigger_arg 18 1\n");
}

// The TR-069 events need a remote-management type other than 1, the IPv6
// ones IPv6 enabled and an RA flag of 0, 40, 80 or c0 (lower case).
TEST_F(NotifyTest, ConditionsReadTheUserSide) {
  Load(
      "sys_rm_type=1\ntr069_acs_url=a\ntr069_dbg_level=0\n"
      "ipv6_enable=disable\nipv6_RAflag=0\nipv6_wan_type=0\n");
  Expect("tr069_acs_url=b: \nipv6_RAflag=c0: \nipv6_wan_type=1: \n");
  Set("sys_rm_type", "7");
  Set("ipv6_enable", "enable");
  store::writeParamToFile();
  listener_->Drain();
  Expect(
      "tr069_acs_url=c: mc_trigger_delay 26 1000\n"
      "tr069_dbg_level=3: mc_trigger_delay 27 1000\n"
      "ipv6_RAflag=40: mc_trigger_delay 125 1000\n"
      "ipv6_RAflag=c0: mc_trigger_delay 125 1000\n"
      "ipv6_RAflag=C0: \n"
      "ipv6_RAflag=00: \n"
      "ipv6_wan_type=2: mc_trigger_delay 125 1000\n");
}

TEST_F(NotifyTest, HostNumberZeroCallsItsCallbackAtOnce) {
  Load("dhcphost_num=2\npw_num=1\nsys_dnsmasq=disable\n");
  Set("dhcphost_num", "0");
  EXPECT_TRUE(listener_->Drain().empty());  // dnsmasq not enabled
  Set("pw_num", "0");
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger_delay 10 1000"});
  Set("sys_dnsmasq", "enable");
  Set("dhcphost_num", "3");
  Set("dhcphost_num", "0");
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger_delay 8 1000"});
}

TEST_F(NotifyTest, FileCallbacksAfterTheirFileIsWritten) {
  WriteUser("fw_rule.conf", "fw_rule_1=a\n");
  WriteUser("wifi.conf", "wifi_ssid=a\n");
  Load("sys_firewall=1\n");
  Set("fw_rule_1", "b");
  Set("sys_firewall", "0");
  Set("wifi_ssid", "b");
  store::writeParamToFile();
  // One event 10 for the file, one for the parameter; the Wi-Fi file waits
  // three seconds.
  Events events = listener_->Drain();
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events,
            (Events{"mc_trigger_delay 10 1000", "mc_trigger_delay 10 1000",
                    "mc_trigger_delay 65 3000"}));
}

TEST_F(NotifyTest, NobodyListeningSkipsSilently) {
  Load("wan_ntp1=a\n");
  listener_.reset();
  Set("wan_ntp1", "b");
  store::writeParamToFile();  // must not block or fail
  EXPECT_EQ(CMSInitFinished(), 1);
  EXPECT_EQ(ReadUser("sys.conf"), "wan_ntp1=b\n");
}

}  // namespace
}  // namespace cms::events
