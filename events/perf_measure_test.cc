// perf_measure_test.cc - start and stop rules of the throughput measurement
// and the firewall clean-up. Hostile values: service_callbacks_test.cc.
#include "events/perf_measure.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/device_fixture.h"

namespace cms::events {
namespace {

using cms::testing::Lines;

class PerfMeasure : public cms::testing::DeviceTest {
 protected:
  // Requests `status` and returns the foreground calls in order, once
  // `count` came, after checking that the background "killall -9 iperf"
  // (when `count` > 0) was one of them.
  Lines Request(const char* status, size_t count = 0) {
    stubs_.ClearCalls();
    store::SetParamValue("perf_measure_status", status, store::kModeSetUser);
    Call(PerfMeasureCallback, "perf_measure_status");
    Lines calls = Calls(count);
    EXPECT_EQ(std::erase(calls, "killall\t-9\tiperf"), count > 0 ? 1u : 0u);
    return calls;
  }
};

TEST_F(PerfMeasure, StartResetsResultsOnceAndNotifies) {
  Load("perf.conf", "perf_measure_status=1\n");
  Request("1");  // a missing flag is only created
  EXPECT_EQ(Value("perf_measure_is_running"), "0");
  EXPECT_EQ(mc_.Drain(), Lines{});

  Load("perf.conf",
       "perf_measure_status=0\nperf_measure_is_running=0\ndl_latency=12\n"
       "ul_latency=13\ndl_speed=100\nul_speed=50\n");
  root_.Write("/tmp/iperf.txt", "old results\n");
  Set("perf_measure_status", "1");
  Call(PerfMeasureCallback, "perf_measure_status", 0);
  EXPECT_EQ(Value("perf_measure_is_running"), "0");
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Values({"perf_measure_is_running", "dl_latency", "ul_latency",
                    "dl_speed", "ul_speed"}),
            "1 null null (none) (none)");
  EXPECT_FALSE(root_.Exists("/tmp/iperf.txt"));
  EXPECT_EQ(mc_.Drain(), (Lines{"mc_trigger 103", "mc_trigger_delay 85 1000"}));
  // Already running: a second start does nothing.
  Set("dl_latency", "7");
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("dl_latency"), "7");
  EXPECT_EQ(mc_.Drain(), Lines{});
  // The flag is compared by its first three characters: "100" is no "1".
  Set("perf_measure_is_running", "1000");
  EXPECT_EQ(Request("0"), Lines{});
  EXPECT_EQ(Value("perf_measure_is_running"), "1000");
}

TEST_F(PerfMeasure, StopClearsStateAndFirewallOpenings) {
  const std::string conf =
      "perf_measure_status=1\nperf_measure_is_running=1\n"
      "perf_measure_running_id=42\nsys_operation_mode=0\n"
      "perf_measure_server_ip=127.0.0.2\nperf_measure_cpe_port=5201\n";
  // Without an address of the external interface only the state is reset.
  Load("perf.conf", conf + "sys_ext_if=nosuch0\n");
  EXPECT_EQ(Request("0", 1), Lines{});
  EXPECT_EQ(Values({"perf_measure_is_running", "perf_measure_running_id",
                    "perf_measure_running_status"}),
            "0 (none) Performance measurement is ready.");

  if (!cms::testing::CanOpenRawSocket()) GTEST_SKIP() << "no raw socket";
  // Router mode opened four rules (bridge mode, only the INPUT ones).
  Load("perf.conf", conf + "sys_ext_if=lo\n");
  const std::string nat = "iptables\t-t\tnat\t-D\tPREROUTING\t-p\t";
  const std::string in = "iptables\t-D\tINPUT\t-p\t";
  const std::string rule =
      "\t-s\t127.0.0.2\t-d\t127.0.0.1\t--dport\t5201\t-j\tACCEPT";
  EXPECT_EQ(Request("0", 5), (Lines{nat + "tcp" + rule, nat + "udp" + rule,
                                    in + "udp" + rule, in + "tcp" + rule}));
}

}  // namespace
}  // namespace cms::events
