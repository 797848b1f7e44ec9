// registration.cc - binds change callbacks to parameter and file names.
#include "events/registration.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "events/led_callbacks.h"
#include "events/notify_callbacks.h"
#include "events/perf_measure.h"
#include "events/service_callbacks.h"
#include "events/vpn_callback.h"
#include "store/change_hooks.h"
#include "store/file_tables.h"
#include "store/param_list.h"

namespace cms::events {
namespace {

using store::ChangeCallback;

struct ParamRow {
  const char* name;  // null: the numbered DHCP host entries go here
  ChangeCallback callback;
};

// Parameter registrations in the order they are made.
constexpr ParamRow kParamTable[] = {
    {"ippt_enable", IpptCallback},
    {"ippt_type", DnsmasqCallback},
    {"sys_dnsmasq", DnsmasqCallback},
    {"dnsmasq_relay_enable", DnsmasqCallback},
    {"dnsmasq_relay_dhcp_server", DnsmasqCallback},
    {"ippt_host_mac", Ippt2Callback},
    {"sys_multicast", IGMPModeCallback},
    {"sys_operation_mode", OperationModeCallback},
    {"hostname", HostnameCallback},
    {"dnsmasq_dhcp-range", DhcpOptionCallback},
    {"dnsmasq_dhcp-option", DhcpOptionCallback},
    {"dnsmasq_auto-dns", DhcpOptionCallback},
    {"dnsmasq_pool_mask", DhcpOptionCallback},
    {nullptr, DhcpOptionCallback},
    {"sys_lan_enable", LanEnableCallback},
    {"sys_lan_ip", LanIPCallback},
    {"sys_lan_mask", LanMaskCallback},
    {"sys_lan_mtu", FirewallCallback},
    {"sys_firewall", FirewallCallback},
    {"sys_pass_ipsec", FirewallCallback},
    {"sys_pass_l2tp", FirewallCallback},
    {"sys_pass_pptp", FirewallCallback},
    {"sys_filter_anonymous", FirewallCallback},
    {"sys_filter_multicast", FirewallCallback},
    {"sys_filter_nat_redirect", FirewallCallback},
    {"sys_filter_icmp_broadcast_echo", FirewallCallback},
    {"sys_filter_icmp_broadcast_timestamp", FirewallCallback},
    {"sys_bc_mc_rate_enable", FirewallCallback},
    {"sys_bc_mc_rate", FirewallCallback},
    {"ui_wan_login", FirewallCallback},
    {"ui_wan_http_login", FirewallCallback},
    {"ui_wan_telnet", FirewallCallback},
    {"ui_wan_ssh", FirewallCallback},
    {"ui_lan_mgmt", FirewallCallback},
    {"ui_https_port", LighttpdCallback},
    {"ui_http_port", FirewallCallback},
    {"ui_external_proxy_enable", FirewallCallback},
    {"ui_external_proxy_server", FirewallCallback},
    {"ui_external_proxy_port", FirewallCallback},
    {"ui_wan_ping", FirewallCallback},
    {"ui_dmz_enable", FirewallCallback},
    {"ui_dmz_ip", FirewallCallback},
    {"ui_icmp_redirection", FirewallCallback},
    {"ui_pw_num", FirewallCallback},
    {"ui_mac_filter_num", FirewallCallback},
    {"ui_ip_filter_num", FirewallCallback},
    {"sys_pptp_nat", FirewallCallback},
    {"sys_l2tp_nat", FirewallCallback},
    {"sys_gre_nat", FirewallCallback},
    {"sys_br_if_vlan_enable", FirewallCallback},
    {"sys_br_if_vlan", FirewallCallback},
    {"sys_ftpd", vsftpdCallback},
    {"sys_ftpd_port", vsftpdCallback},
    {"sys_telnetd", TelnetdCallback},
    {"sys_httpd", LighttpdCallback},
    {"sys_http_port", LighttpdCallback},
    {"sys_httpsd", LighttpdCallback},
    {"sys_https_port", LighttpdCallback},
    {"ui_tz_name_v26", TZCallback},
    {"ui_dst", TZCallback},
    {"sys_upnp", UPnPCallback},
    {"CM_DebugMode", LTEDbgCallback},
    {"lte_syslog_Debug", LTEDbgCallback},
    {"LTE_traffic_control_mode", TrafficControlCallback},
    {"LTE_traffic_control_action", TrafficControlCallback},
    {"LTE_traffic_control_quota", TCResetCallback},
    {"LTE_traffic_control_unit", TCResetCallback},
    {"LTE_traffic_control_start_date", TCResetCallback},
    {"LTE_traffic_control_end_date", TCResetCallback},
    {"sys_wifi_factory", SysWifiFactoryCallback},
    {"tr069_acs_url_source", Tr069UrlSrcCallback},
    {"tr069_acs_url", Tr069Callback},
    {"tr069_acs_username", Tr069Callback},
    {"tr069_acs_password", Tr069Callback},
    {"tr069_acs_periodic_inform_enable", Tr069Callback},
    {"tr069_acs_periodic_inform_interval", Tr069Callback},
    {"tr069_acs_connection_request_username", Tr069Callback},
    {"tr069_acs_connection_request_password", Tr069Callback},
    {"tr069_dbg_level", Tr069DBGCallback},
    {"dhcp_opt_fw_url", DhcpOptFwUrlCallback},
    {"lte_status_cinr", LteCinrToLedCallback},
    {"lte_status_rsrp", LteRsrpToLedCallback},
    {"SIM_PINStatus", LteSIMLedCallback},
    {"CMServerState", LteConnectLedCallback},
    {"xvoip_reg_status_1", XvoipLedCallback},
    {"xvoip_reg_status_2", XvoipLedCallback},
    {"xvoip_hook_status_1", XvoipLedCallback},
    {"xvoip_hook_status_2", XvoipLedCallback},
    {"xvoip_call_state_1", XvoipLedCallback},
    {"xvoip_call_state_2", XvoipLedCallback},
    {"xvoip_mwi_status_1", XvoipLedCallback},
    {"xvoip_mwi_status_2", XvoipLedCallback},
    {"pcscf_v4_primary", xPhoneCallback},
    {"pcscf_v4_secondary", xPhoneCallback},
    {"perf_measure_status", PerfMeasureCallback},
    {"ipv6_enable", IPv6ConfCallback},
    {"ipv6_RAflag", IPv6RAflagCallback},
    {"ipv6_data_RAflag", IPv6RAflagCallback},
    {"ipv6_wan_type", IPv6WANCallback},
    {"ipv6_wan_prefix", IPv6WANCallback},
    {"ipv6_wan_gateway", IPv6WANCallback},
    {"ipv6_dibbler_client_rapid", IPv6WANCallback},
    {"ipv6_dibbler_client_pd", IPv6WANPDCallback},
    {"ipv6_rdnssd_enable", IPv6WANDNSCallback},
    {"ipv6_dibbler_client_dns", IPv6WANDNSCallback},
    {"ipv6_dns1", IPv6WANDNSCallback},
    {"ipv6_dns2", IPv6WANDNSCallback},
    {"ipv6_dibbler_client_ntp", IPv6WANNTPCallback},
    {"ipv6_ntp1", IPv6WANNTPCallback},
    {"ipv6_ntp2", IPv6WANNTPCallback},
    {"ipv6_lan_local_ip", IPv6LANLocalCallback},
    {"ipv6_lan_conn_type", IPv6LANCallback},
    {"ipv6_lan_prefix", IPv6LANCallback},
    {"ipv6_radvd_MaxRtrAdvInterval", IPv6LANCallback},
    {"ipv6_radvd_rdnss_enable", IPv6LANCallback},
    {"ipv6_radvd_rdnss_dns_from_cpe", IPv6LANCallback},
    {"ipv6_radvd_dns1", IPv6LANCallback},
    {"ipv6_radvd_dns2", IPv6LANCallback},
    {"ipv6_dibbler_server_pd_enable", IPv6LANCallback},
    {"ipv6_dibbler_server_ip_range", IPv6LANCallback},
    {"ipv6_dibbler_server_dns_enable", IPv6LANCallback},
    {"ipv6_dibbler_server_dns_from_cpe", IPv6LANCallback},
    {"ipv6_dibbler_server_dns1", IPv6LANCallback},
    {"ipv6_dibbler_server_dns2", IPv6LANCallback},
    {"ipv6_dibbler_server_ntp_enable", IPv6LANCallback},
    {"ipv6_dibbler_server_ntp_from_cpe", IPv6LANCallback},
    {"ipv6_dibbler_server_ntp1", IPv6LANCallback},
    {"ipv6_dibbler_server_ntp2", IPv6LANCallback},
    {"ipv6_dibbler_server_sip_enable", IPv6LANCallback},
    {"ipv6_dibbler_server_sip_from_pcscf", IPv6LANCallback},
    {"ipv6_dibbler_server_sip1", IPv6LANCallback},
    {"ipv6_dibbler_server_sip2", IPv6LANCallback},
    {"ipv6_dibbler_server_valid_lifetime", IPv6LANCallback},
    {"ipv6_webpage", IPv6WebCallback},
    {"wifi_REG_AP", IPv6WebCallback},
    {"ipv6_tun_prefix", IPv6TunnelPrefixCallback},
    {"ipv6_tun_prefix_enable", IPv6LANCallback},
    {"snmp_trap_pm_avg_time", PMAvgTimerCallback},
    {"sys_ipv4_enable", IPv4EnableCallback},
    {"sys_pptp_gw_if", VPNDefaultGWCallback},
    {"sys_l2tp_gw_if", VPNDefaultGWCallback},
    {"sys_gre_gw_if", VPNDefaultGWCallback},
    {"op_dscp_mgr_value", MgmtDscpCallback},
    {"op_dscp_data_value", DataDscpCallback},
    {"xvoip_sipDscpValue", VoipDscpCallback},
    {"sys_cms_debug_mode", SysDebugCMSCallback},
    {"sys_mc_debug_mode", SysDebugMCCallback},
    {"wan_ntp1", NTPCallback},
    {"wan_ntp2", NTPCallback},
    {"rat_antenna_selection", RatAntSelCallback},
    {"supplicant_check_crl_time", ResetNTPperiodicCallback},
    {"snmp_conf_gen", SNMPFileCallback},
    {"perf_measure_server_ip", perfMeasureFileCallback},
    {"perf_measure_server_port", perfMeasureFileCallback},
    {"perf_measure_cpe_port", perfMeasureFileCallback},
    {"perf_measure_command", perfMeasureFileCallback},
};

struct FileRow {
  const char* base_name;
  ChangeCallback callback;
};

// File registrations, all on the user-side table, in order.
constexpr FileRow kFileTable[] = {
    {"ddns.conf", DDNSFileCallback},
    {"dnsmasq.conf", DnsmasqFileCallback},
    {"dsp.conf", xPhoneCallback},
    {"oma.conf", OMACallback},
    {"snmpd.conf", SNMPFileCallback},
    {"syslog.conf", SyslogFileCallback},
    {"cwmp.conf", CWMPCallback},
    {"supplicant.conf", EAPCallback},
    {"xvoip.conf", xPhoneCallback},
    {"iad_xvoip.conf", IADxPhoneCallback},
    {"wan_network.conf", WanIPModeCallback},
    {"ltesetting.conf", LTEConnectCallback},
    {"apn.conf", LTEConnectCallback},
    {"eps.conf", EPSFileCallback},
    {"cm_dbg.conf", LTECmDbgCallback},
    {"sequansd.conf", SequansdHostConfChangedCallback},
    {"wifi.conf", WifiConfChangedCallback},
    {"wifi_11ac.conf", Wifi11acConfChangedCallback},
    {"fw_rule.conf", FirewallCallback},
    {"mark.conf", FirewallMarkCallback},
    {"mark_l2.conf", FirewallMarkCallback},
    {"adv_network.conf", AdvNetworkCallback},
    {"port_trigger.conf", FirewallCallback},
    {"service_line.conf", FirewallCallback},
    {"vpn.conf", WanIPModeCallback},
    {"sshd.conf", sshdCallback},
    {"sys_mon.conf", sys_monCallback},
    {"pptpd.conf", PptpdCallback},
    {"qos.conf", QoSFileCallback},
    {"access_restriction.conf", AccessRestrictionFileCallback},
    {"route.conf", RouteFileCallback},
    {"route_rip.conf", RouteRipFileCallback},
    {"ipv6_tun.conf", IPv6TunnelCallback},
    {"alg.conf", AlgChangedCallback},
    {"clatd.conf", ClatdCallback},
    {"rat_ant.conf", RatAntSelCallback},
};

// Numbered DHCP host entries run from 1 up to, at most, this bound.
constexpr int kHostEntryLimit = 1024;

constexpr char kHostEntryFormat[] = "dnsmasq_dhcp-host%d";

// Registers the numbered host entries from `first` up to the first gap.
void RegisterHostEntries(ChangeCallback callback, int first = 1) {
  char name[store::kNameSize];
  for (int n = first; n < kHostEntryLimit; ++n) {
    snprintf(name, sizeof name, kHostEntryFormat, n);
    if (RegParamCallback(name, callback) == 0) break;  // first gap ends it
  }
}

// The number of a host entry name as the replay spells it, or 0.
int HostEntryNumber(const char* name) {
  constexpr std::string_view kPrefix = "dnsmasq_dhcp-host";
  const std::string_view text = name;
  if (!text.starts_with(kPrefix)) return 0;
  const std::string_view digits = text.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 4 || digits[0] == '0') return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n < kHostEntryLimit ? n : 0;
}

// The table's rows by name, built once.
const std::unordered_map<std::string_view, const ParamRow*>& RowsByName() {
  static const auto rows = [] {
    std::unordered_map<std::string_view, const ParamRow*> map;
    for (const ParamRow& row : kParamTable) {
      if (row.name != nullptr) map.emplace(row.name, &row);
    }
    return map;
  }();
  return rows;
}

}  // namespace

int RegParamCallback(const char* name, ChangeCallback callback) {
  store::ParamRecord* record = store::seekElement(name);
  if (record == nullptr) return 0;
  record->callback = callback;
  return 1;
}

int RegFileCallback(const char* file_name, ChangeCallback callback, int table) {
  store::ConfigLocation* entries = store::FileTable(table);
  if (entries == nullptr) return 0;
  for (int i = 0; i < store::kFileTableSize; ++i) {
    const char* path = entries[i].path;
    if (strcmp(path, store::kFreeEntry) == 0) continue;
    // A path without '/' cannot come from the tables (they hold absolute
    // paths); it is taken whole as its own base name.
    const char* slash = strrchr(path, '/');
    const char* base = slash == nullptr ? path : slash + 1;
    if (strcmp(base, file_name) == 0) {
      entries[i].callback = callback;
      return 1;
    }
  }
  return 0;
}

void RegisterAddedParam(const char* name) {
  const auto& rows = RowsByName();
  if (const auto it = rows.find(name); it != rows.end()) {
    RegParamCallback(name, it->second->callback);
    return;
  }
  const int number = HostEntryNumber(name);
  if (number == 0) return;
  // The replay reaches this entry only when every one below it exists.
  char below[store::kNameSize];
  for (int n = 1; n < number; ++n) {
    snprintf(below, sizeof below, kHostEntryFormat, n);
    if (store::seekElement(below) == nullptr) return;
  }
  for (const ParamRow& row : kParamTable) {
    if (row.name == nullptr) RegisterHostEntries(row.callback, number);
  }
}

void InstallStoreHooks() {
  store::ChangeHooks hooks;
  hooks.dhcp_hosts_cleared = [] {
    DhcpOptionCallback(nullptr, nullptr, store::kPhaseWritten);
  };
  hooks.port_forwards_cleared = [] {
    FirewallCallback(nullptr, nullptr, store::kPhaseWritten);
  };
  hooks.param_added = RegisterAddedParam;
  store::SetChangeHooks(hooks);
}

int initParamEventReg() {
  for (const ParamRow& row : kParamTable) {
    if (row.name == nullptr) {
      RegisterHostEntries(row.callback);
    } else {
      RegParamCallback(row.name, row.callback);
    }
  }
  return 1;
}

int initFileEventReg() {
  for (const FileRow& row : kFileTable) {
    RegFileCallback(row.base_name, row.callback, store::kUserTable);
  }
  return 1;
}

}  // namespace cms::events
