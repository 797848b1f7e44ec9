// perf_measure_test.cc - the stop of the throughput measurement and its
// firewall clean-up (hostile values: service_callbacks_test.cc).
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
