// device_registration_test.cc - every registered file gets its callback, and
// a write-back reaches the device-behaviour callbacks through registration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "events/device_test_fixture.h"
#include "events/service_callbacks.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

using cms::testing::DeviceTest;

class DeviceRegistration : public DeviceTest {};

TEST_F(DeviceRegistration, EveryRegisteredFileHasACallback) {
  const char* files[] = {
      "ddns.conf",        "dnsmasq.conf",      "dsp.conf",
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
      "alg.conf",         "clatd.conf",        "rat_ant.conf"};
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
          path.substr(path.size() - strlen(base) - 1) ==
              std::string("/") + base) {
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
