// perf_measure_test.cc - start and stop rules of the throughput measurement,
// the firewall clean-up and the interface lookup over the kernel.
#include "events/perf_measure.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "events/device_test_fixture.h"

namespace cms::events {
namespace {

using cms::testing::DeviceTest;
using cms::testing::Lines;

// The interface requests go over a raw socket, which needs CAP_NET_RAW.
bool CanOpenRawSocket() {
  const int fd = socket(AF_INET, SOCK_RAW, 255);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

class PerfMeasure : public DeviceTest {
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

TEST_F(PerfMeasure, StopClearsStateAndFirewallOpeningsByMode) {
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

  if (!CanOpenRawSocket()) GTEST_SKIP() << "no raw socket (needs root)";
  Load("perf.conf", conf + "sys_ext_if=lo\n");
  const auto rule = [](const std::string& chain, const std::string& server,
                       const std::string& port) {
    return "iptables\t" + chain + "\t-s\t" + server +
           "\t-d\t127.0.0.1\t--dport\t" + port + "\t-j\tACCEPT";
  };
  const std::string nat = "-t\tnat\t-D\tPREROUTING\t-p\t";
  const std::string in = "-D\tINPUT\t-p\t";
  EXPECT_EQ(Request("0", 5), (Lines{rule(nat + "tcp", "127.0.0.2", "5201"),
                                    rule(nat + "udp", "127.0.0.2", "5201"),
                                    rule(in + "udp", "127.0.0.2", "5201"),
                                    rule(in + "tcp", "127.0.0.2", "5201")}));
  // Bridge mode opened only the input chain. Hostile server and port
  // values stay one argument each.
  for (std::string v : cms::testing::kHostileValues) {
    Load("perf.conf", conf + "sys_ext_if=lo\nsys_operation_mode=1\n");
    Set("perf_measure_server_ip", v);
    Set("perf_measure_cpe_port", v + "1");
    EXPECT_EQ(Request("0", 3), (Lines{rule(in + "udp", v, v + "1"),
                                      rule(in + "tcp", v, v + "1")}))
        << v;
  }
}

TEST(InterfaceInfo, LoopbackAddressesAndUnknownInterface) {
  unsigned char mac[6] = {1, 1, 1, 1, 1, 1};
  char ip[16] = {};
  char mask[16] = {};
  if (!CanOpenRawSocket()) GTEST_SKIP() << "no raw socket (needs root)";
  EXPECT_EQ(get_interface_info("lo", mac, ip, mask), 1);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_STREQ(mask, "255.0.0.0");
  EXPECT_EQ(std::vector<unsigned char>(mac, mac + 6),
            std::vector<unsigned char>(6, 0));
  char none[16] = {};
  EXPECT_EQ(get_interface_info("nosuch0", nullptr, none, nullptr), 0);
  EXPECT_STREQ(none, "");
}

}  // namespace
}  // namespace cms::events
