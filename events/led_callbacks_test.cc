// led_callbacks_test.cc - LED patterns written to <root>/dev/led_gpio.
#include "events/led_callbacks.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "events/device_test_fixture.h"
#include "store/write_back.h"

namespace cms::events {
namespace {

using cms::testing::DeviceTest;

class LedCallbacks : public DeviceTest {
 protected:
  // Sets `name` to `value`, runs `callback` for it at phase 1 and returns
  // the pattern written ("" when nothing was written).
  std::string Led(store::ChangeCallback callback, const char* name,
                  const char* value) {
    store::SetParamValue(name, value, store::kModeSetUser);
    return Pattern(callback, name);
  }
  std::string Pattern(store::ChangeCallback callback, const char* name) {
    std::filesystem::remove(root_.Host("/dev/led_gpio"));
    Call(callback, name);
    return root_.Read("/dev/led_gpio");
  }
};

TEST_F(LedCallbacks, RsrpBarsAtEachThreshold) {
  Load("lte.conf", "lte_status_rsrp=0\n");
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"-89", "1111xxxx\n"},  {"-90", "1110xxxx\n"},  {"-99", "1110xxxx\n"},
      {"-100", "1100xxxx\n"}, {"-109", "1100xxxx\n"}, {"-110", "1000xxxx\n"},
      {"-129", "1000xxxx\n"}, {"-130", "0000xxxx\n"}, {"junk", "1111xxxx\n"}};
  for (const auto& [rsrp, pattern] : cases) {
    EXPECT_EQ(Led(LteRsrpToLedCallback, "lte_status_rsrp", rsrp), pattern)
        << rsrp;
  }
  // The stored value counts, not the argument handed to the callback.
  store::SetParamValue("lte_status_rsrp", "-130", store::kModeSetUser);
  LteRsrpToLedCallback(store::seekElement("lte_status_rsrp"), "-50", 1);
  EXPECT_EQ(root_.Read("/dev/led_gpio"), "0000xxxx\n");
}

TEST_F(LedCallbacks, ConnectionStateWithAndWithoutPhonePort) {
  Load("lte.conf", "CMServerState=0\ndsp_port_number=1\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "1"), "xxxx01xx\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "2"), "xxxx00xx\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "4"), "xxxx00xx\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "5"), "xxxx10xx\n");
  store::SetParamValue("dsp_port_number", "0", store::kModeSetUser);
  EXPECT_EQ(Pattern(LteConnectLedCallback, "CMServerState"), "xxxx101x\n");
  store::DeleteParam("dsp_port_number", store::kModeDeleteUser);
  EXPECT_EQ(Pattern(LteConnectLedCallback, "CMServerState"), "xxxx101x\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "3"), "xxxx000x\n");
  EXPECT_EQ(Led(LteConnectLedCallback, "CMServerState", "-1"), "xxxx010x\n");
}

TEST_F(LedCallbacks, SimState) {
  Load("lte.conf", "SIM_PINStatus=9\n");
  for (const auto& [s, pattern] :
       std::vector<std::pair<const char*, const char*>>{{"4", "xxxxxxx0\n"},
                                                        {"0", "xxxxxxx2\n"},
                                                        {"1", "xxxxxxx2\n"},
                                                        {"5", "xxxxxxx2\n"},
                                                        {"3", "xxxxxxx1\n"},
                                                        {"6", "xxxxxxx1\n"},
                                                        {"-1", "xxxxxxx1\n"}}) {
    EXPECT_EQ(Led(LteSIMLedCallback, "SIM_PINStatus", s), pattern) << s;
  }
}

TEST_F(LedCallbacks, PhoneLineState) {
  Load("xvoip.conf",
       "dsp_port_number=1\nxvoip_reg_status_1=1\nxvoip_hook_status_1=0\n"
       "xvoip_call_state_1=0\nxvoip_call_state_2=0\nxvoip_mwi_status_2=0\n");
  EXPECT_EQ(Pattern(XvoipLedCallback, "xvoip_reg_status_1"), "xxxxxx1xx\n");
  EXPECT_EQ(Led(XvoipLedCallback, "xvoip_hook_status_1", "1"), "xxxxxx2xx\n");
  EXPECT_EQ(Led(XvoipLedCallback, "xvoip_reg_status_1", "0"), "xxxxxx0xx\n");
  // Line 2 is not registered, but a call in progress wins.
  EXPECT_EQ(Led(XvoipLedCallback, "xvoip_call_state_2", "3"), "xxxxxx2xx\n");
  EXPECT_EQ(Led(XvoipLedCallback, "xvoip_call_state_2", "5"), "xxxxxx0xx\n");
  EXPECT_EQ(Pattern(XvoipLedCallback, "xvoip_mwi_status_2"), "xxxxxx0xx\n");

  // Names that carry no line 1 or 2 write nothing.
  Load("other.conf", "xvoip_reg_status_3=1\nxvoip_regstatus_1=1\n");
  EXPECT_EQ(Pattern(XvoipLedCallback, "xvoip_reg_status_3"), "");
  EXPECT_EQ(Pattern(XvoipLedCallback, "xvoip_regstatus_1"), "");
  XvoipLedCallback(nullptr, "1", 1);
  EXPECT_FALSE(root_.Exists("/dev/led_gpio"));

  store::DeleteParam("dsp_port_number", store::kModeDeleteUser);
  EXPECT_EQ(Pattern(XvoipLedCallback, "xvoip_call_state_2"), "");
}

TEST_F(LedCallbacks, OnlyWriteBackLightsLeds) {
  Load("lte.conf", "SIM_PINStatus=0\nlte_status_cinr=5\n");
  store::SetParamValue("SIM_PINStatus", "4", store::kModeSetUser);
  EXPECT_FALSE(root_.Exists("/dev/led_gpio"));
  EXPECT_EQ(Pattern(LteCinrToLedCallback, "lte_status_cinr"), "");
  store::writeParamToFile();
  EXPECT_EQ(root_.Read("/dev/led_gpio"), "xxxxxxx0\n");
}

}  // namespace
}  // namespace cms::events
