// event_ids.h - the message-center events the daemon sends, by name. The
// numbers are the receivers' and fixed; the names are what `cms monitor`
// prints, so daemon and monitor read the same table.
#pragma once

#include <string_view>

namespace cms::platform {

enum Event : int {
  kEventAdvNetwork = 1,
  kEventDdns = 6,
  kEventDnsmasq = 8,
  kEventFirewall = 10,
  kEventDhcpOptFwUrl = 11,
  kEventIgmpMode = 14,
  kEventLanChange = 16,
  kEventNtp = 17,
  kEventNtpPeriodic = 18,
  kEventOma = 19,
  kEventOperationMode = 20,
  kEventFactoryReset = 22,
  kEventCmsReady = 23,
  kEventEap = 24,
  kEventTr069 = 25,
  kEventTr069Url = 26,
  kEventTr069Debug = 27,
  kEventTimeZone = 29,
  kEventUpnp = 31,
  kEventVoip = 32,
  kEventIadVoip = 33,
  kEventWanIpMode = 38,
  kEventSettingsChanged = 63,
  kEventWifiFactory = 64,
  kEventWifi = 65,
  kEventWifi11ac = 66,
  kEventLteConnect = 69,
  kEventLteDebug = 70,
  kEventIpv6Web = 81,
  kEventSyslog = 83,
  kEventPerfMeasureConfig = 84,
  kEventPerfMeasurePoll = 85,
  kEventPptpd = 88,
  kEventCwmp = 89,
  kEventSshd = 92,
  kEventSysMon = 96,
  kEventWebServer = 99,
  kEventPerfMeasureStart = 103,
  kEventLanMgmt = 113,
  kEventSequansd = 120,
  kEventLanEnable = 121,
  kEventIpv4Enable = 124,
  kEventIpv6Wan = 125,
  kEventIpv6Lan = 126,
  kEventMgmtDscp = 136,
  kEventDataDscp = 137,
  kEventVoipDscp = 138,
  kEventTr069UrlSource = 139,
  kEventQos = 141,
  kEventAccessRestriction = 142,
  kEventRoute = 143,
  kEventRouteRip = 144,
  kEventAlg = 153,
  kEventMcDebug = 155,
  kEventEps = 156,
  kEventIppt = 165,
  kEventRatAntenna = 171,
  kEventTrafficControl = 177,
  kEventLteCmDebug = 178,
};

struct EventName {
  Event id;
  std::string_view name;
};

inline constexpr EventName kEventNames[] = {
    {kEventAdvNetwork, "adv-network"},
    {kEventDdns, "ddns"},
    {kEventDnsmasq, "dnsmasq"},
    {kEventFirewall, "firewall"},
    {kEventDhcpOptFwUrl, "dhcp-opt-fw-url"},
    {kEventIgmpMode, "igmp-mode"},
    {kEventLanChange, "lan-change"},
    {kEventNtp, "ntp"},
    {kEventNtpPeriodic, "ntp-periodic"},
    {kEventOma, "oma"},
    {kEventOperationMode, "operation-mode"},
    {kEventFactoryReset, "factory-reset"},
    {kEventCmsReady, "cms-ready"},
    {kEventEap, "eap"},
    {kEventTr069, "tr069"},
    {kEventTr069Url, "tr069-url"},
    {kEventTr069Debug, "tr069-debug"},
    {kEventTimeZone, "time-zone"},
    {kEventUpnp, "upnp"},
    {kEventVoip, "voip"},
    {kEventIadVoip, "iad-voip"},
    {kEventWanIpMode, "wan-ip-mode"},
    {kEventSettingsChanged, "settings-changed"},
    {kEventWifiFactory, "wifi-factory"},
    {kEventWifi, "wifi"},
    {kEventWifi11ac, "wifi-11ac"},
    {kEventLteConnect, "lte-connect"},
    {kEventLteDebug, "lte-debug"},
    {kEventIpv6Web, "ipv6-web"},
    {kEventSyslog, "syslog"},
    {kEventPerfMeasureConfig, "perf-measure-config"},
    {kEventPerfMeasurePoll, "perf-measure-poll"},
    {kEventPptpd, "pptpd"},
    {kEventCwmp, "cwmp"},
    {kEventSshd, "sshd"},
    {kEventSysMon, "sys-mon"},
    {kEventWebServer, "web-server"},
    {kEventPerfMeasureStart, "perf-measure-start"},
    {kEventLanMgmt, "lan-mgmt"},
    {kEventSequansd, "sequansd"},
    {kEventLanEnable, "lan-enable"},
    {kEventIpv4Enable, "ipv4-enable"},
    {kEventIpv6Wan, "ipv6-wan"},
    {kEventIpv6Lan, "ipv6-lan"},
    {kEventMgmtDscp, "mgmt-dscp"},
    {kEventDataDscp, "data-dscp"},
    {kEventVoipDscp, "voip-dscp"},
    {kEventTr069UrlSource, "tr069-url-source"},
    {kEventQos, "qos"},
    {kEventAccessRestriction, "access-restriction"},
    {kEventRoute, "route"},
    {kEventRouteRip, "route-rip"},
    {kEventAlg, "alg"},
    {kEventMcDebug, "mc-debug"},
    {kEventEps, "eps"},
    {kEventIppt, "ippt"},
    {kEventRatAntenna, "rat-antenna"},
    {kEventTrafficControl, "traffic-control"},
    {kEventLteCmDebug, "lte-cm-debug"},
};

// The event's name, or empty for a number the daemon does not send.
constexpr std::string_view EventNameOf(int id) {
  for (const EventName& e : kEventNames) {
    if (e.id == id) return e.name;
  }
  return {};
}

}  // namespace cms::platform
