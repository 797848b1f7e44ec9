// led_callbacks_test.cc - LED patterns written to <root>/dev/led_gpio.
#include "events/led_callbacks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "testing/device_fixture.h"

namespace cms::events {
namespace {

class LedCallbacks : public cms::testing::DeviceTest {
 protected:
  // `cases` holds blank-separated "value:pattern" items: each value is set
  // in turn, the callback run, and the pattern written must follow.
  void Expect(store::ChangeCallback callback, const char* name,
              const std::string& cases) {
    std::istringstream in(cases);
    for (std::string item; in >> item;) {
      const size_t colon = item.find(':');
      store::SetParamValue(name, item.substr(0, colon).c_str(),
                           store::kModeSetUser);
      std::filesystem::remove(root_.Host("/dev/led_gpio"));
      Call(callback, name);
      EXPECT_EQ(root_.Read("/dev/led_gpio"), item.substr(colon + 1) + "\n")
          << name << "=" << item;
    }
  }
};

TEST_F(LedCallbacks, SignalSimAndConnectionAtEachThreshold) {
  Load("lte.conf",
       "lte_status_rsrp=0\nSIM_PINStatus=9\nCMServerState=0\n"
       "dsp_port_number=1\n");
  Expect(LteRsrpToLedCallback, "lte_status_rsrp",
         "-90:1110xxxx -99:1110xxxx -100:1100xxxx -109:1100xxxx -110:1000xxxx "
         "-129:1000xxxx -130:0000xxxx -89:1111xxxx");
  // The stored value counts, not the argument handed to the callback.
  std::filesystem::remove(root_.Host("/dev/led_gpio"));
  LteRsrpToLedCallback(store::seekElement("lte_status_rsrp"), "-130", 1);
  EXPECT_EQ(root_.Read("/dev/led_gpio"), "1111xxxx\n");
  Expect(LteSIMLedCallback, "SIM_PINStatus",
         "4:xxxxxxx0 0:xxxxxxx2 3:xxxxxxx1");
  // Without a phone port ("0" or none) the pattern has one more digit.
  Expect(LteConnectLedCallback, "CMServerState",
         "1:xxxx01xx 2:xxxx00xx 5:xxxx10xx");
  store::SetParamValue("dsp_port_number", "0", store::kModeSetUser);
  Expect(LteConnectLedCallback, "CMServerState",
         "5:xxxx101x 3:xxxx000x -1:xxxx010x");
  store::DeleteParam("dsp_port_number", store::kModeDeleteUser);
  Expect(LteConnectLedCallback, "CMServerState", "5:xxxx101x");
}

}  // namespace
}  // namespace cms::events
