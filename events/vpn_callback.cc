// vpn_callback.cc - switches the main table's default route between the VPN
// tunnel and the WAN gateway.
#include "events/vpn_callback.h"

#include <cstdio>
#include <string>

#include "events/callback_support.h"
#include "platform/shell.h"
#include "store/param_record.h"

namespace cms::events {
namespace {

constexpr char kName[] = "VPNDefaultGWCallback";

// Capacities of the device code's buffers: every input is cut to them
// before it is compared or used.
constexpr size_t kModeMax = 3;
constexpr size_t kVpnIfMax = 15;
constexpr size_t kBridgeIfMax = 14;
constexpr size_t kAddressMax = 15;
constexpr size_t kCommandMax = 127;

// Old route deleted first; the add runs even when the delete fails.
constexpr char kViaToVia[] =
    "/sbin/ip route del default via %s dev %s table %s; /sbin/ip route add "
    "default via %s dev %s table %s";
constexpr char kViaToDev[] =
    "/sbin/ip route del default via %s dev %s table %s; /sbin/ip route add "
    "default dev %s table %s";
constexpr char kDevToVia[] =
    "/sbin/ip route del default dev %s table %s; /sbin/ip route add default "
    "via %s dev %s table %s";

void TraceEntry(int line) {
  printf("[%s][%d]\n", kName, line);
  fflush(stdout);
}

void TraceCommand(int line, const std::string& command) {
  printf("[%s][%d]cmd=[%s]\n", kName, line, command.c_str());
  fflush(stdout);
}

// PPTP and L2TP: selector "0" moves the default route into the tunnel
// towards the remote end, "1" back to the WAN gateway.
platform::Command TunnelRoute(const std::string& selector,
                              const std::string& remote,
                              const std::string& tunnel,
                              const std::string& gateway,
                              const std::string& bridge,
                              const std::string& table) {
  if (selector == "0") {
    return platform::FormatCommand(
        kViaToVia, {gateway, bridge, table, remote, tunnel, table},
        kCommandMax);
  }
  if (selector == "1") {
    return platform::FormatCommand(
        kViaToVia, {remote, tunnel, table, gateway, bridge, table},
        kCommandMax);
  }
  return {};
}

}  // namespace

int VPNDefaultGWCallback(void*, const char*, int phase) {
  if (phase != store::kPhaseWritten) return 1;
  TraceEntry(__LINE__);
  const std::string sys_mode = UserValue("sys_operation_mode", kModeMax);
  const std::string op_mode = UserValue("op_operation_mode", kModeMax);
  if (op_mode != "1" || sys_mode != "0") return 1;

  const std::string vpn_mode = UserValue("op_vpn_mode", kModeMax);
  const std::string tunnel = UserValue("sys_vpn_if", kVpnIfMax);
  const std::string wan_mode = UserValue("wan_connection_mode", kModeMax);
  // The per-PDN table (tmppara_br_radio_data_if, wan_nat_data_pdn_cid) is
  // meant for an operator mode other than "1", which has been required
  // above, so in this mode the route always lives in the main table on the
  // radio bridge; wan_radio_mgr_mode and current_scan_mode decide nothing.
  const std::string bridge = UserValue("sys_br_radio_if", kBridgeIfMax);
  const std::string table = "main";
  const std::string gateway =
      UserValue(wan_mode == "0" ? "wan_gw_dhcp" : "wan_gateway", kAddressMax);

  platform::Command command;
  if (vpn_mode == "0") {
    const std::string selector = UserValue("sys_pptp_gw_if", kModeMax);
    const std::string remote = UserValue("op_pptp_remote_ip", kAddressMax);
    command = TunnelRoute(selector, remote, tunnel, gateway, bridge, table);
    TraceCommand(__LINE__, command.device);
  } else if (vpn_mode == "1") {
    // With BCP the L2TP link is bridged and carries no routed default.
    if (UserValue("op_l2tp_bcp", kModeMax) != "0") return 1;
    const std::string selector = UserValue("sys_l2tp_gw_if", kModeMax);
    const std::string remote = UserValue("op_l2tp_remote_ip", kAddressMax);
    command = TunnelRoute(selector, remote, tunnel, gateway, bridge, table);
    TraceCommand(__LINE__, command.device);
  } else if (vpn_mode == "2") {
    // GRE is point-to-point: its default route needs no next hop.
    const std::string selector = UserValue("sys_gre_gw_if", kModeMax);
    if (selector == "0") {
      command = platform::FormatCommand(
          kViaToDev, {gateway, bridge, table, tunnel, table}, kCommandMax);
    } else if (selector == "1") {
      command = platform::FormatCommand(
          kDevToVia, {tunnel, table, gateway, bridge, table}, kCommandMax);
    }
    TraceCommand(__LINE__, command.device);
  } else {
    return 1;
  }
  if (!command.device.empty()) platform::RunCommand(command);
  return 1;
}

}  // namespace cms::events
