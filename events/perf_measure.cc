// perf_measure.cc - run flag, result reset and clean-up of the throughput
// measurement; interface addresses over the kernel's interface requests.
#include "events/perf_measure.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "events/callback_support.h"
#include "events/notify_callbacks.h"
#include "platform/event_ids.h"
#include "platform/shell.h"
#include "store/history.h"
#include "store/operations.h"
#include "store/param_record.h"

namespace cms::events {

namespace {

constexpr size_t kRunFlagMax = 3;
constexpr size_t kServerMax = 126;
constexpr size_t kPortMax = 14;
constexpr size_t kIfNameMax = 15;
constexpr size_t kFirewallCommandMax = 126;
constexpr size_t kAddressBuffer = 32;

void Set(const char* name, const char* value) {
  store::SetParamValue(name, value, store::kModeSetUser);
}

void WriteDotted(const sockaddr& addr, char* out) {
  const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
  if (inet_ntop(AF_INET, &in->sin_addr, out, INET_ADDRSTRLEN) == nullptr) {
    out[0] = '\0';
  }
}

// Deletes one firewall opening of the test. A command that does not fit its
// buffer is not run: a cut rule would match another rule or none.
void DeleteRule(const char* format, const std::string& server,
                const std::string& address, const std::string& port) {
  const platform::Command command =
      platform::FormatCommand(format, {server, address, port});
  if (command.device.size() > kFirewallCommandMax) return;
  platform::RunCommand(command);
}

void StopMeasurement() {
  platform::RunCommand("killall -9 iperf &");
  Set("perf_measure_running_status", "Performance measurement is ready.");
  Set("perf_measure_is_running", "0");
  const std::string ext_if = UserValue("sys_ext_if", kIfNameMax);
  char address[kAddressBuffer] = {};
  if (!ext_if.empty()) {
    get_interface_info(ext_if.c_str(), nullptr, address, nullptr);
  }
  const std::string server = UserValue("perf_measure_server_ip", kServerMax);
  const std::string port = UserValue("perf_measure_cpe_port", kPortMax);
  if (address[0] != '\0') {
    if (ParamIs("sys_operation_mode", "0")) {
      DeleteRule(
          "iptables -t nat -D PREROUTING -p tcp -s %s -d %s --dport %s -j "
          "ACCEPT",
          server, address, port);
      DeleteRule(
          "iptables -t nat -D PREROUTING -p udp -s %s -d %s --dport %s -j "
          "ACCEPT",
          server, address, port);
    }
    DeleteRule("iptables -D INPUT -p udp -s %s -d %s --dport %s -j ACCEPT",
               server, address, port);
    DeleteRule("iptables -D INPUT -p tcp -s %s -d %s --dport %s -j ACCEPT",
               server, address, port);
  }
  Set("perf_measure_running_id", "");
}

void StartMeasurement() {
  Set("dl_latency", "null");
  Set("ul_latency", "null");
  Set("dl_speed", "");
  Set("ul_speed", "");
  platform::RunCommand("rm -f /tmp/iperf.txt");
  Set("perf_measure_is_running", "1");
  NotifyNow(platform::kEventPerfMeasureStart);
  NotifyDelay(platform::kEventPerfMeasurePoll, 1000);
}

}  // namespace

int get_interface_info(const char* ifname, unsigned char* mac_out, char* ip_out,
                       char* mask_out) {
  if (ifname == nullptr) return 0;
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, 255);
  if (fd < 0) {
    printf("(%s, %s)Can't open socket\n", "CMSEvent", "get_interface_info");
    fflush(stdout);
    return 0;
  }
  ifreq req;
  memset(&req, 0, sizeof req);
  strncpy(req.ifr_name, ifname, kIfNameMax);
  req.ifr_addr.sa_family = AF_INET;
  if (mac_out != nullptr) {
    if (ioctl(fd, SIOCGIFHWADDR, &req) != 0) {
      close(fd);
      return 0;
    }
    memcpy(mac_out, req.ifr_hwaddr.sa_data, 6);
    req.ifr_addr.sa_family = AF_INET;
  }
  if (ip_out != nullptr) {
    if (ioctl(fd, SIOCGIFADDR, &req) != 0) {
      close(fd);
      return 0;
    }
    WriteDotted(req.ifr_addr, ip_out);
    req.ifr_addr.sa_family = AF_INET;
  }
  int result = 1;
  if (mask_out != nullptr) {
    if (ioctl(fd, SIOCGIFNETMASK, &req) != 0) {
      result = 0;
    } else {
      WriteDotted(req.ifr_netmask, mask_out);
    }
  }
  close(fd);
  return result;
}

int PerfMeasureCallback(void*, const char* value, int phase) {
  const store::history::LabelScope origin(__func__);  // names its changes
  if (phase != store::kPhaseWritten) return 1;
  if (store::GetParamValue("perf_measure_is_running", store::kModeGetUser) ==
      nullptr) {
    // A first run only creates the flag; the next change acts on it.
    Set("perf_measure_is_running", "0");
    return 1;
  }
  const std::string running = UserValue("perf_measure_is_running", kRunFlagMax);
  const std::string requested = value != nullptr ? value : "";
  if (requested == "0" && running == "1") {
    StopMeasurement();
  } else if (requested == "1" && running == "0") {
    StartMeasurement();
  }
  return 1;
}

}  // namespace cms::events
