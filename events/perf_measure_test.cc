// perf_measure_test.cc - start and stop rules of the throughput measurement,
// the firewall clean-up and the interface lookup over the kernel.
#include "events/perf_measure.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "events/device_test_fixture.h"

namespace cms::events {
namespace {

using Lines = std::vector<std::string>;
using cms::testing::DeviceTest;

// The interface requests go over a raw socket, which needs CAP_NET_RAW.
bool CanOpenRawSocket() {
  const int fd = socket(AF_INET, SOCK_RAW, 255);
  if (fd < 0) return false;
  close(fd);
  return true;
}

class PerfMeasure : public DeviceTest {
 protected:
  void Request(const char* status) {
    store::SetParamValue("perf_measure_status", status, store::kModeSetUser);
    Call(PerfMeasureCallback, "perf_measure_status");
  }

  // The foreground calls in order, once `count` calls came, after checking
  // that the background "killall -9 iperf" was one of them.
  Lines Deletions(size_t count) {
    Lines calls = Calls(count);
    const auto kill =
        std::find(calls.begin(), calls.end(), "killall\t-9\tiperf");
    EXPECT_NE(kill, calls.end());
    if (kill != calls.end()) calls.erase(kill);
    return calls;
  }
};

TEST_F(PerfMeasure, StartResetsResultsOnceAndNotifies) {
  Load("perf.conf",
       "perf_measure_status=0\nperf_measure_is_running=0\ndl_latency=12\n"
       "ul_latency=13\ndl_speed=100\nul_speed=50\n");
  root_.Write("/tmp/iperf.txt", "old results\n");
  store::SetParamValue("perf_measure_status", "1", store::kModeSetUser);
  Call(PerfMeasureCallback, "perf_measure_status", 0);
  EXPECT_EQ(Value("perf_measure_is_running"), "0");

  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("perf_measure_is_running"), "1");
  EXPECT_EQ(Value("dl_latency"), "null");
  EXPECT_EQ(Value("ul_latency"), "null");
  EXPECT_EQ(Value("dl_speed"), "(none)");
  EXPECT_EQ(Value("ul_speed"), "(none)");
  EXPECT_FALSE(root_.Exists("/tmp/iperf.txt"));
  EXPECT_EQ(mc_.Drain(), (Lines{"mc_trigger 103", "mc_trigger_delay 85 1000"}));

  // Already running: a second start does nothing.
  store::SetParamValue("dl_latency", "7", store::kModeSetUser);
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("dl_latency"), "7");
  EXPECT_EQ(mc_.Drain(), Lines{});
}

TEST_F(PerfMeasure, MissingFlagIsOnlyCreatedAndLongFlagComparedByThree) {
  Load("perf.conf", "perf_measure_status=1\n");
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("perf_measure_is_running"), "0");
  EXPECT_EQ(Value("dl_latency"), "(none)");
  EXPECT_EQ(mc_.Drain(), Lines{});
  Call(PerfMeasureCallback, "perf_measure_status");
  EXPECT_EQ(Value("perf_measure_is_running"), "1");

  store::SetParamValue("perf_measure_is_running", "1000", store::kModeSetUser);
  Request("0");
  EXPECT_EQ(Value("perf_measure_is_running"), "1000");
  EXPECT_EQ(Calls(), Lines{});
}

TEST_F(PerfMeasure, StopClearsStateEvenWithoutAddress) {
  Load("perf.conf",
       "perf_measure_status=1\nperf_measure_is_running=1\n"
       "perf_measure_running_id=42\nsys_ext_if=nosuch0\nsys_operation_mode=0\n"
       "perf_measure_server_ip=127.0.0.2\nperf_measure_cpe_port=5201\n");
  Request("0");
  EXPECT_EQ(Value("perf_measure_is_running"), "0");
  EXPECT_EQ(Value("perf_measure_running_status"),
            "Performance measurement is ready.");
  EXPECT_EQ(Value("perf_measure_running_id"), "(none)");
  EXPECT_EQ(Calls(1), Lines{"killall\t-9\tiperf"});
}

TEST_F(PerfMeasure, StopDeletesFirewallOpeningsByMode) {
  if (!CanOpenRawSocket()) GTEST_SKIP() << "no raw socket (needs root)";
  Load("perf.conf",
       "perf_measure_status=1\nperf_measure_is_running=1\nsys_ext_if=lo\n"
       "sys_operation_mode=0\nperf_measure_server_ip=127.0.0.2\n"
       "perf_measure_cpe_port=5201\n");
  Request("0");
  const std::string rule =
      "\t-s\t127.0.0.2\t-d\t127.0.0.1\t--dport\t5201\t-j\tACCEPT";
  const Lines nat = {"iptables\t-t\tnat\t-D\tPREROUTING\t-p\ttcp" + rule,
                     "iptables\t-t\tnat\t-D\tPREROUTING\t-p\tudp" + rule};
  const Lines input = {"iptables\t-D\tINPUT\t-p\tudp" + rule,
                       "iptables\t-D\tINPUT\t-p\ttcp" + rule};
  EXPECT_EQ(Deletions(5), (Lines{nat[0], nat[1], input[0], input[1]}));

  stubs_.ClearCalls();
  store::SetParamValue("sys_operation_mode", "1", store::kModeSetUser);
  store::SetParamValue("perf_measure_is_running", "1", store::kModeSetUser);
  Request("0");
  EXPECT_EQ(Deletions(3), input);
}

TEST_F(PerfMeasure, HostileServerAndPortStayOneArgument) {
  if (!CanOpenRawSocket()) GTEST_SKIP() << "no raw socket (needs root)";
  for (const std::string v : {"x;iperf", "$(cwmpc)", "`iperf`", "a b'\""}) {
    SCOPED_TRACE(v);
    store::ResetParamList();
    store::initialConfigLocationArray();
    Load("perf.conf",
         "perf_measure_status=1\nperf_measure_is_running=1\nsys_ext_if=lo\n"
         "sys_operation_mode=1\n");
    store::SetParamValue("perf_measure_server_ip", v.c_str(),
                         store::kModeSetUser);
    store::SetParamValue("perf_measure_cpe_port", v.c_str(),
                         store::kModeSetUser);
    stubs_.ClearCalls();
    Request("0");
    const std::string rule =
        "\t-s\t" + v + "\t-d\t127.0.0.1\t--dport\t" + v + "\t-j\tACCEPT";
    EXPECT_EQ(SortedCalls(3), (Lines{"iptables\t-D\tINPUT\t-p\ttcp" + rule,
                                     "iptables\t-D\tINPUT\t-p\tudp" + rule,
                                     "killall\t-9\tiperf"}));
  }
}

TEST(InterfaceInfo, LoopbackAddressesAndUnknownInterface) {
  if (!CanOpenRawSocket()) GTEST_SKIP() << "no raw socket (needs root)";
  unsigned char mac[6] = {1, 1, 1, 1, 1, 1};
  char ip[16] = {};
  char mask[16] = {};
  EXPECT_EQ(get_interface_info("lo", mac, ip, mask), 1);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_STREQ(mask, "255.0.0.0");
  EXPECT_EQ(std::vector<unsigned char>(mac, mac + 6),
            std::vector<unsigned char>(6, 0));

  char none[16] = {};
  EXPECT_EQ(get_interface_info("nosuch0", nullptr, none, nullptr), 0);
  EXPECT_STREQ(none, "");
}

TEST(InterfaceInfo, WithoutRawSocketSaysSo) {
  if (CanOpenRawSocket()) GTEST_SKIP() << "raw sockets are allowed here";
  char ip[16] = {};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(get_interface_info("lo", nullptr, ip, nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "(CMSEvent, get_interface_info)Can't open socket\n");
}

}  // namespace
}  // namespace cms::events
