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
  // Sets user-side values, writes them back and returns the events sent.
  Events SetAndWrite(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      EXPECT_NE(store::SetParamValue(name, value, store::kModeSetUser), 0) << name;
    }
    EXPECT_TRUE(listener_->Drain().empty()) << "a set alone sends nothing";
    store::writeParamToFile();
    return listener_->Drain();
  }
  std::unique_ptr<testing::MsgListener> listener_;
};

TEST_F(NotifyTest, WrittenChangeSendsItsEventOncePerParameter) {
  Load("wan_ntp1=a\nwan_ntp2=b\nsys_wifi_factory=0\n");
  EXPECT_EQ(SetAndWrite({{"wan_ntp1", "x"}}), Events{"mc_trigger_delay 17 1000"});
  // Two parameters of one callback: two events, no coalescing.
  EXPECT_EQ(SetAndWrite({{"wan_ntp1", "y"}, {"wan_ntp2", "z"}}),
            (Events{"mc_trigger_delay 17 1000", "mc_trigger_delay 17 1000"}));
  store::writeParamToFile();  // nothing changed since
  EXPECT_TRUE(listener_->Drain().empty());
}

TEST_F(NotifyTest, MultiEventCallbacksSendInOrder) {
  Load("sys_httpd=1\nsys_upnp=0\nui_lan_mgmt=enable\nsys_firewall=1\n"
       "LTE_traffic_control_quota=1\nLTE_traffic_control_mode=0\n");
  EXPECT_EQ(SetAndWrite({{"sys_httpd", "0"}}),
            (Events{"mc_trigger_delay 99 1000", "mc_trigger_delay 31 1000",
                    "mc_trigger_delay 10 1000"}));
  EXPECT_EQ(SetAndWrite({{"sys_upnp", "1"}}),
            (Events{"mc_trigger 31", "mc_trigger_delay 10 1000"}));
  EXPECT_EQ(SetAndWrite({{"sys_firewall", "0"}}),
            Events{"mc_trigger_delay 10 1000"});
  EXPECT_EQ(SetAndWrite({{"ui_lan_mgmt", "disable"}}),
            (Events{"mc_trigger_delay 113 1000", "mc_trigger_delay 10 1000"}));
  EXPECT_EQ(SetAndWrite({{"LTE_traffic_control_quota", "2"}}),
            Events{"mc_trigger_arg 177 1"});
  EXPECT_EQ(SetAndWrite({{"LTE_traffic_control_mode", "1"}}),
            Events{"mc_trigger 177"});
}

TEST_F(NotifyTest, ConditionsReadTheUserSide) {
  Load("sys_rm_type=1\ntr069_acs_url=a\ntr069_acs_username=u\n"
       "tr069_dbg_level=0\ntr069_acs_url_source=0\n"
       "ipv6_enable=disable\nipv6_RAflag=0\nipv6_wan_type=0\nipv6_lan_prefix=0\n");
  EXPECT_TRUE(SetAndWrite({{"tr069_acs_url", "b"}}).empty());
  EXPECT_TRUE(SetAndWrite({{"ipv6_RAflag", "c0"}}).empty());
  EXPECT_TRUE(SetAndWrite({{"ipv6_wan_type", "1"}}).empty());

  ASSERT_NE(store::SetParamValue("sys_rm_type", "7", store::kModeSetUser), 0);
  ASSERT_NE(store::SetParamValue("ipv6_enable", "enable", store::kModeSetUser), 0);
  store::writeParamToFile();
  listener_->Drain();

  EXPECT_EQ(SetAndWrite({{"tr069_acs_url", "c"}}), Events{"mc_trigger_delay 26 1000"});
  EXPECT_EQ(SetAndWrite({{"tr069_acs_username", "v"}}), Events{"mc_trigger_delay 25 1000"});
  EXPECT_EQ(SetAndWrite({{"tr069_dbg_level", "3"}}), Events{"mc_trigger_delay 27 1000"});
  EXPECT_EQ(SetAndWrite({{"tr069_acs_url_source", "1"}}), Events{"mc_trigger_delay 139 1000"});
  for (const char* flag : {"40", "80", "0", "c0"}) {
    EXPECT_EQ(SetAndWrite({{"ipv6_RAflag", flag}}), Events{"mc_trigger_delay 125 1000"}) << flag;
  }
  for (const char* flag : {"C0", "00"}) {
    EXPECT_TRUE(SetAndWrite({{"ipv6_RAflag", flag}}).empty()) << flag;
  }
  EXPECT_EQ(SetAndWrite({{"ipv6_wan_type", "2"}}), Events{"mc_trigger_delay 125 1000"});
  EXPECT_EQ(SetAndWrite({{"ipv6_lan_prefix", "fd00::"}}), Events{"mc_trigger_delay 126 1000"});
}

TEST_F(NotifyTest, ResetNtpArgumentIsZeroOnlyForEnable) {
  Load("supplicant_check_crl_time=x\n");
  EXPECT_EQ(SetAndWrite({{"supplicant_check_crl_time", "enable"}}), Events{"mc_trigger_arg 18 0"});
  EXPECT_EQ(SetAndWrite({{"supplicant_check_crl_time", "disable"}}), Events{"mc_trigger_arg 18 1"});
  EXPECT_EQ(SetAndWrite({{"supplicant_check_crl_time", "enabled"}}), Events{"mc_trigger_arg 18 1"});
  EXPECT_EQ(SetAndWrite({{"supplicant_check_crl_time", "enable-later"}}), Events{"mc_trigger_arg 18 1"});
}

TEST_F(NotifyTest, HostNumberZeroCallsItsCallbackAtOnce) {
  Load("dhcphost_num=2\npw_num=1\nsys_dnsmasq=disable\n");
  ASSERT_NE(store::SetParamValue("dhcphost_num", "0", store::kModeSetUser), 0);
  EXPECT_TRUE(listener_->Drain().empty());  // dnsmasq not enabled
  ASSERT_NE(store::SetParamValue("pw_num", "0", store::kModeSetUser), 0);
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger_delay 10 1000"});

  ASSERT_NE(store::SetParamValue("sys_dnsmasq", "enable", store::kModeSetUser), 0);
  ASSERT_NE(store::SetParamValue("dhcphost_num", "3", store::kModeSetUser), 0);
  ASSERT_NE(store::SetParamValue("dhcphost_num", "0", store::kModeSetUser), 0);
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger_delay 8 1000"});
}

TEST_F(NotifyTest, FileCallbacksAfterTheirFileIsWritten) {
  WriteUser("fw_rule.conf", "fw_rule_1=a\n");
  WriteUser("wifi.conf", "wifi_ssid=a\n");
  Load("sys_firewall=1\n");
  ASSERT_NE(store::SetParamValue("fw_rule_1", "b", store::kModeSetUser), 0);
  ASSERT_NE(store::SetParamValue("sys_firewall", "0", store::kModeSetUser), 0);
  ASSERT_NE(store::SetParamValue("wifi_ssid", "b", store::kModeSetUser), 0);
  store::writeParamToFile();
  // One event 10 for the file, one for the parameter; the Wi-Fi file waits
  // three seconds. Order follows the file table.
  auto events = listener_->Drain();
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, (Events{"mc_trigger_delay 10 1000", "mc_trigger_delay 10 1000",
                            "mc_trigger_delay 65 3000"}));
}

TEST_F(NotifyTest, NobodyListeningSkipsSilently) {
  Load("wan_ntp1=a\n");
  listener_.reset();
  ASSERT_NE(store::SetParamValue("wan_ntp1", "b", store::kModeSetUser), 0);
  store::writeParamToFile();  // must not block or fail
  EXPECT_EQ(CMSInitFinished(), 1);
  EXPECT_EQ(ReadUser("sys.conf"), "wan_ntp1=b\n");
}

TEST_F(NotifyTest, ReadyAnnouncement) {
  Load("");
  EXPECT_EQ(CMSInitFinished(), 1);
  EXPECT_EQ(listener_->Drain(), Events{"mc_trigger 23"});
}

}  // namespace
}  // namespace cms::events
