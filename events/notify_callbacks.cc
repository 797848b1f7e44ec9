// notify_callbacks.cc - tells other daemons that their settings changed.
#include "events/notify_callbacks.h"

#include <cstring>
#include <initializer_list>

#include "platform/libmc.h"
#include "store/operations.h"
#include "store/param_record.h"

namespace cms::events {
namespace {

constexpr int kWritten = 1;  // phase: the change has reached its file
constexpr int kDefaultDelay = 1000;
constexpr int kWifiDelay = 3000;

// Most callbacks: one delayed event once the change is written.
int DelayedOnWrite(int phase, int event, int delay = kDefaultDelay) {
  if (phase == kWritten) NotifyDelay(event, delay);
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
  return DelayedOnWrite(phase, 1);
}
int DnsmasqCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 8);
}
int DhcpOptionCallback(void*, const char*, int phase) {
  if (phase == kWritten && ParamIs("sys_dnsmasq", "enable")) {
    NotifyDelay(8, kDefaultDelay);
  }
  return 1;
}
int FirewallCallback(void*, const char*, int phase) {
  if (phase != kWritten) return 1;
  if (ParamIs("ui_lan_mgmt", "disable")) NotifyDelay(113, kDefaultDelay);
  NotifyDelay(10, kDefaultDelay);
  return 1;
}
int LighttpdCallback(void*, const char*, int phase) {
  if (phase != kWritten) return 1;
  NotifyDelay(99, kDefaultDelay);
  NotifyDelay(31, kDefaultDelay);
  NotifyDelay(10, kDefaultDelay);
  return 1;
}
int UPnPCallback(void*, const char*, int phase) {
  if (phase != kWritten) return 1;
  NotifyNow(31);
  NotifyDelay(10, kDefaultDelay);
  return 1;
}
int FirewallMarkCallback(void*, const char*, int phase) {
  if (phase == kWritten) NotifyDelayArg(10, kDefaultDelay, 2);
  return 1;
}
int DhcpOptFwUrlCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 11);
}
int IGMPModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 14);
}
int NTPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 17);
}
int ResetNTPperiodicCallback(void*, const char* value, int phase) {
  if (phase != kWritten || mc_ipc_flag() == 0) return 1;
  // The value is compared as its first seven characters (an 8-byte
  // buffer): "enable" itself is the only text that gives argument 0.
  char head[8] = {};
  if (value != nullptr) strncpy(head, value, sizeof head - 1);
  mc_trigger_arg(18, strcmp(head, "enable") == 0 ? 0 : 1);
  mc_ipc_close();
  return 1;
}
int OMACallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 19);
}
int OperationModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 20);
}
int EAPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 24);
}
int Tr069Callback(void* subject, const char*, int phase) {
  if (phase != kWritten || !RemoteManagedByTr069()) return 1;
  const auto* record = static_cast<const store::ParamRecord*>(subject);
  const bool is_url =
      record != nullptr && strcmp(record->name, "tr069_acs_url") == 0;
  NotifyDelay(is_url ? 26 : 25, kDefaultDelay);
  return 1;
}
int Tr069DBGCallback(void*, const char*, int phase) {
  if (phase == kWritten && RemoteManagedByTr069()) {
    NotifyDelay(27, kDefaultDelay);
  }
  return 1;
}
int TZCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 29);
}
int xPhoneCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 32);
}
int IADxPhoneCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 33);
}
int WanIPModeCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 38);
}
int SysWifiFactoryCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 64);
}
int WifiConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 65, kWifiDelay);
}
int Wifi11acConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 66, kWifiDelay);
}
int LTEConnectCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 69);
}
int LTEDbgCallback(void*, const char*, int phase) {
  if (phase == kWritten) NotifyNow(70);
  return 1;
}
int SyslogFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 83);
}
int perfMeasureFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 84);
}
int PptpdCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 88);
}
int CWMPCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 89);
}
int sshdCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 92);
}
int sys_monCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 96);
}
int PMAvgTimerCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 96);
}
int SequansdHostConfChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 120);
}
int LanEnableCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 121);
}
int IPv4EnableCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 124);
}
int IPv6WANCallback(void*, const char*, int phase) {
  if (phase == kWritten && ParamIs("ipv6_enable", "enable")) {
    NotifyDelay(125, kDefaultDelay);
  }
  return 1;
}
int IPv6RAflagCallback(void*, const char* value, int phase) {
  if (phase != kWritten || !ParamIs("ipv6_enable", "enable") ||
      value == nullptr) {
    return 1;
  }
  for (const char* flag : {"c0", "40", "80", "0"}) {
    if (strcmp(value, flag) == 0) {
      NotifyDelay(125, kDefaultDelay);
      break;
    }
  }
  return 1;
}
int IPv6LANCallback(void*, const char*, int phase) {
  if (phase == kWritten && ParamIs("ipv6_enable", "enable")) {
    NotifyDelay(126, kDefaultDelay);
  }
  return 1;
}
int MgmtDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 136);
}
int DataDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 137);
}
int VoipDscpCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 138);
}
int Tr069UrlSrcCallback(void*, const char*, int phase) {
  if (phase == kWritten && RemoteManagedByTr069()) {
    NotifyDelay(139, kDefaultDelay);
  }
  return 1;
}
int QoSFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 141);
}
int AccessRestrictionFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 142);
}
int RouteFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 143);
}
int RouteRipFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 144);
}
int AlgChangedCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 153);
}
int SysDebugMCCallback(void*, const char*, int phase) {
  if (phase == kWritten) NotifyNow(155);
  return 1;
}
int EPSFileCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 156);
}
int IpptCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 165);
}
int RatAntSelCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 171);
}
int TrafficControlCallback(void*, const char*, int phase) {
  if (phase == kWritten) NotifyNow(177);
  return 1;
}
int TCResetCallback(void*, const char*, int phase) {
  if (phase == kWritten) NotifyArg(177, 1);
  return 1;
}
int LTECmDbgCallback(void*, const char*, int phase) {
  return DelayedOnWrite(phase, 178);
}

int CMSInitFinished() {
  NotifyNow(23);
  return 1;
}

}  // namespace cms::events
