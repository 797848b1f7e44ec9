// notify_callbacks.cc - tells other daemons that their settings changed.
#include "events/notify_callbacks.h"

#include <cstring>
#include <initializer_list>

#include "platform/event_ids.h"
#include "platform/libmc.h"
#include "store/operations.h"
#include "store/param_record.h"

namespace cms::events {

namespace {

using store::kPhaseWritten;
constexpr int kDefaultDelay = 1000;
constexpr int kWifiDelay = 3000;

// Most callbacks: one delayed event once the change is written.
int DelayedOnWrite(int phase, int event, int delay = kDefaultDelay) {
  if (phase == kPhaseWritten) NotifyDelay(event, delay);
  return 1;
}

bool RemoteManagedByTr069() {
  return ParamIs("sys_rm_type", "2") || ParamIs("sys_rm_type", "7");
}

}  // namespace

void NotifyNow(int event) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger(event);
  mc_ipc_close();
}

void NotifyArg(int event, int arg) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger_arg(event, arg);
  mc_ipc_close();
}

void NotifyDelay(int event, int delay) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger_delay(event, delay);
  mc_ipc_close();
}

void NotifyDelayArg(int event, int delay, int arg) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger_delay_arg(event, delay, arg);
  mc_ipc_close();
}

bool ParamIs(const char* name, const char* text) {
  const char* v = store::GetParamValue(name, store::kModeGetUser);
  return v != nullptr && strcmp(v, text) == 0;
}

int AdvNetworkCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventAdvNetwork);
}
int DnsmasqCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventDnsmasq);
}
int DhcpOptionCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten && ParamIs("sys_dnsmasq", "enable")) {
    NotifyDelay(platform::kEventDnsmasq, kDefaultDelay);
  }
  return 1;
}
int FirewallCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  if (ParamIs("ui_lan_mgmt", "disable"))
    NotifyDelay(platform::kEventLanMgmt, kDefaultDelay);
  NotifyDelay(platform::kEventFirewall, kDefaultDelay);
  return 1;
}
int LighttpdCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  NotifyDelay(platform::kEventWebServer, kDefaultDelay);
  NotifyDelay(platform::kEventUpnp, kDefaultDelay);
  NotifyDelay(platform::kEventFirewall, kDefaultDelay);
  return 1;
}
int UPnPCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  NotifyNow(platform::kEventUpnp);
  NotifyDelay(platform::kEventFirewall, kDefaultDelay);
  return 1;
}
int FirewallMarkCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten)
    NotifyDelayArg(platform::kEventFirewall, kDefaultDelay, 2);
  return 1;
}
int DhcpOptFwUrlCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventDhcpOptFwUrl);
}
int IGMPModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventIgmpMode);
}
int NTPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventNtp);
}
int ResetNTPperiodicCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten || mc_ipc_flag() == 0) return 1;
  // The value is compared as its first seven characters (an 8-byte
  // buffer): "enable" itself is the only text that gives argument 0.
  char head[8] = {};
  if (value != nullptr) strncpy(head, value, sizeof head - 1);
  mc_trigger_arg(platform::kEventNtpPeriodic,
                 strcmp(head, "enable") == 0 ? 0 : 1);
  mc_ipc_close();
  return 1;
}
int OMACallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventOma);
}
int OperationModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventOperationMode);
}
int EAPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventEap);
}
int Tr069Callback(void* subject, const char*, int phase) {
  if (phase != kPhaseWritten || !RemoteManagedByTr069()) return 1;
  const auto* record = static_cast<const store::ParamRecord*>(subject);
  const bool is_url =
      record != nullptr && strcmp(record->name, "tr069_acs_url") == 0;
  NotifyDelay(is_url ? platform::kEventTr069Url : platform::kEventTr069,
              kDefaultDelay);
  return 1;
}
int Tr069DBGCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten && RemoteManagedByTr069()) {
    NotifyDelay(platform::kEventTr069Debug, kDefaultDelay);
  }
  return 1;
}
int TZCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventTimeZone);
}
int xPhoneCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventVoip);
}
int IADxPhoneCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventIadVoip);
}
int WanIPModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventWanIpMode);
}
int SysWifiFactoryCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventWifiFactory);
}
int WifiConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventWifi, kWifiDelay);
}
int Wifi11acConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventWifi11ac, kWifiDelay);
}
int LTEConnectCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventLteConnect);
}
int LTEDbgCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten) NotifyNow(platform::kEventLteDebug);
  return 1;
}
int SyslogFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventSyslog);
}
int perfMeasureFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventPerfMeasureConfig);
}
int PptpdCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventPptpd);
}
int CWMPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventCwmp);
}
int sshdCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventSshd);
}
int sys_monCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventSysMon);
}
int PMAvgTimerCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventSysMon);
}
int SequansdHostConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventSequansd);
}
int LanEnableCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventLanEnable);
}
int IPv4EnableCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventIpv4Enable);
}
int IPv6WANCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten && ParamIs("ipv6_enable", "enable")) {
    NotifyDelay(platform::kEventIpv6Wan, kDefaultDelay);
  }
  return 1;
}
int IPv6RAflagCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten || !ParamIs("ipv6_enable", "enable") ||
      value == nullptr) {
    return 1;
  }
  for (const char* flag : {"c0", "40", "80", "0"}) {
    if (strcmp(value, flag) == 0) {
      NotifyDelay(platform::kEventIpv6Wan, kDefaultDelay);
      break;
    }
  }
  return 1;
}
int IPv6LANCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten && ParamIs("ipv6_enable", "enable")) {
    NotifyDelay(platform::kEventIpv6Lan, kDefaultDelay);
  }
  return 1;
}
int MgmtDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventMgmtDscp);
}
int DataDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventDataDscp);
}
int VoipDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventVoipDscp);
}
int Tr069UrlSrcCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten && RemoteManagedByTr069()) {
    NotifyDelay(platform::kEventTr069UrlSource, kDefaultDelay);
  }
  return 1;
}
int QoSFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventQos);
}
int AccessRestrictionFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventAccessRestriction);
}
int RouteFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventRoute);
}
int RouteRipFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventRouteRip);
}
int AlgChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventAlg);
}
int SysDebugMCCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten) NotifyNow(platform::kEventMcDebug);
  return 1;
}
int EPSFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventEps);
}
int IpptCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventIppt);
}
int RatAntSelCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventRatAntenna);
}
int TrafficControlCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten) NotifyNow(platform::kEventTrafficControl);
  return 1;
}
int TCResetCallback(void*, const char*, int phase) {
  if (phase == kPhaseWritten) NotifyArg(platform::kEventTrafficControl, 1);
  return 1;
}
int LTECmDbgCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, platform::kEventLteCmDebug);
}

int CMSInitFinished() {
  NotifyNow(platform::kEventCmsReady);
  return 1;
}

}  // namespace cms::events
