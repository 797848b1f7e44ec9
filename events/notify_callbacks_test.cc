// notify_callbacks_test.cc - which events a written change sends, in order.
#include "events/notify_callbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "events/registration.h"
#include "store/operations.h"
#include "store/param_list.h"
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
  // Each row: set one value, write it back, and expect exactly `events`.
  struct Row {
    const char* name;
    const char* value;
    Events events;
  };
  void Expect(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
      Set(r.name, r.value);
      EXPECT_TRUE(listener_->Drain().empty()) << "a set alone sends nothing";
      store::writeParamToFile();
      EXPECT_EQ(listener_->Drain(), r.events) << r.name << "=" << r.value;
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
  Expect({{"sys_httpd",
           "0",
           {"mc_trigger_delay 99 1000", "mc_trigger_delay 31 1000",
            "mc_trigger_delay 10 1000"}},
          {"sys_upnp", "1", {"mc_trigger 31", "mc_trigger_delay 10 1000"}},
          {"sys_firewall", "0", {"mc_trigger_delay 10 1000"}},
          {"ui_lan_mgmt",
           "disable",
           {"mc_trigger_delay 113 1000", "mc_trigger_delay 10 1000"}},
          {"LTE_traffic_control_quota", "2", {"mc_trigger_arg 177 1"}},
          {"LTE_traffic_control_mode", "1", {"mc_trigger 177"}},
          // The NTP reset's argument is 0 only for exactly "enable".
          {"supplicant_check_crl_time", "enable", {"mc_trigger_arg 18 0"}},
          {"supplicant_check_crl_time", "disable", {"mc_trigger_arg 18 1"}},
          {"supplicant_check_crl_time", "enabled", {"mc_trigger_arg 18 1"}}});
}

TEST_F(NotifyTest, ConditionsReadTheUserSide) {
  Load(
      "sys_rm_type=1\ntr069_acs_url=a\ntr069_acs_username=u\n"
      "tr069_dbg_level=0\ntr069_acs_url_source=0\nipv6_enable=disable\n"
      "ipv6_RAflag=0\nipv6_wan_type=0\nipv6_lan_prefix=0\n");
  Expect({{"tr069_acs_url", "b", {}},
          {"ipv6_RAflag", "c0", {}},
          {"ipv6_wan_type", "1", {}}});
  Set("sys_rm_type", "7");
  Set("ipv6_enable", "enable");
  store::writeParamToFile();
  listener_->Drain();
  const Events e125 = {"mc_trigger_delay 125 1000"};
  Expect({{"tr069_acs_url", "c", {"mc_trigger_delay 26 1000"}},
          {"tr069_acs_username", "v", {"mc_trigger_delay 25 1000"}},
          {"tr069_dbg_level", "3", {"mc_trigger_delay 27 1000"}},
          {"tr069_acs_url_source", "1", {"mc_trigger_delay 139 1000"}},
          {"ipv6_RAflag", "40", e125},
          {"ipv6_RAflag", "80", e125},
          {"ipv6_RAflag", "0", e125},
          {"ipv6_RAflag", "c0", e125},
          {"ipv6_RAflag", "C0", {}},
          {"ipv6_RAflag", "00", {}},
          {"ipv6_wan_type", "2", e125},
          {"ipv6_lan_prefix", "fd00::", {"mc_trigger_delay 126 1000"}}});
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
  auto events = listener_->Drain();
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events,
            (Events{"mc_trigger_delay 10 1000", "mc_trigger_delay 10 1000",
                    "mc_trigger_delay 65 3000"}));
}

TEST_F(NotifyTest, ReadyAnnouncementAndNobodyListening) {
  Load("wan_ntp1=a\n");
  EXPECT_EQ(CMSInitFinished(), 1);
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger 23"});
  listener_.reset();
  Set("wan_ntp1", "b");
  store::writeParamToFile();  // must not block or fail
  EXPECT_EQ(CMSInitFinished(), 1);
  EXPECT_EQ(ReadUser("sys.conf"), "wan_ntp1=b\n");
}

}  // namespace
}  // namespace cms::events
