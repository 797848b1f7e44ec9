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
  // Stops a measurement; its first `count` calls but the background
  // "killall -9 iperf", which must be one of them.
  Lines Stop(size_t count) {
    stubs_.ClearCalls();
    store::SetParamValue("perf_measure_status", "0", store::kModeSetUser);
    Call(PerfMeasureCallback, "perf_measure_status");
    Lines calls = Calls(count);
    EXPECT_EQ(std::erase(calls, "killall\t-9\tiperf"), 1u);
    return calls;
  }
};

TEST_F(PerfMeasure, StartResetsResultsOnceAndNotifies) {
  Load("perf.conf",
       "perf_measure_status=0\nperf_measure_is_running=0\ndl_latency=12\n"
       "ul_latency=13\ndl_speed=100\nul_speed=50\n");
  root_.Write("/tmp/iperf.txt", "old results\n");
  Set("perf_measure_status", "1");
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Values({"perf_measure_is_running", "dl_latency", "ul_latency",
                    "dl_speed", "ul_speed"}),
            "1 null null (none) (none)");
  EXPECT_FALSE(root_.Exists("/tmp/iperf.txt"));
  EXPECT_EQ(mc_.Drain(), (Lines{"mc_trigger 103", "mc_trigger_delay 85 1000"}));
  Set("dl_latency", "7");  // already running: a second start does nothing
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("dl_latency") + std::to_string(mc_.Drain().size()), "70");
}

TEST_F(PerfMeasure, StopClearsStateAndFirewallOpenings) {
  const std::string conf =
      "perf_measure_status=1\nperf_measure_is_running=1\n"
      "perf_measure_running_id=42\nsys_operation_mode=0\n"
      "perf_measure_server_ip=127.0.0.2\nperf_measure_cpe_port=5201\n";
  // Without an address of the external interface only the state is reset.
  Load("perf.conf", conf + "sys_ext_if=nosuch0\n");
  EXPECT_EQ(Stop(1), Lines{});
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
  EXPECT_EQ(Stop(5), (Lines{nat + "tcp" + rule, nat + "udp" + rule,
                                    in + "udp" + rule, in + "tcp" + rule}));
}

}  // namespace
}  // namespace cms::events
