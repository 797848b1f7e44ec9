// notify_callbacks.h - callbacks whose whole effect is message-center events.
//
// Each acts only at phase 1 (the change has reached its file), sends its
// notifications in order, each opened and closed on its own and skipped
// silently when nobody listens, and returns 1.
#pragma once

namespace cms::events {

int AdvNetworkCallback(void* subject, const char* value, int phase);
int DnsmasqCallback(void* subject, const char* value, int phase);
// Also called directly by DealWithHostNumberEvent as (null, null, 1).
int DhcpOptionCallback(void* subject, const char* value, int phase);
int FirewallCallback(void* subject, const char* value, int phase);
int LighttpdCallback(void* subject, const char* value, int phase);
int UPnPCallback(void* subject, const char* value, int phase);
int FirewallMarkCallback(void* subject, const char* value, int phase);
int DhcpOptFwUrlCallback(void* subject, const char* value, int phase);
int IGMPModeCallback(void* subject, const char* value, int phase);
int NTPCallback(void* subject, const char* value, int phase);
int ResetNTPperiodicCallback(void* subject, const char* value, int phase);
int OMACallback(void* subject, const char* value, int phase);
int OperationModeCallback(void* subject, const char* value, int phase);
int EAPCallback(void* subject, const char* value, int phase);
int Tr069Callback(void* subject, const char* value, int phase);
int Tr069DBGCallback(void* subject, const char* value, int phase);
int TZCallback(void* subject, const char* value, int phase);
int xPhoneCallback(void* subject, const char* value, int phase);
int IADxPhoneCallback(void* subject, const char* value, int phase);
int WanIPModeCallback(void* subject, const char* value, int phase);
int SysWifiFactoryCallback(void* subject, const char* value, int phase);
int WifiConfChangedCallback(void* subject, const char* value, int phase);
int Wifi11acConfChangedCallback(void* subject, const char* value, int phase);
int LTEConnectCallback(void* subject, const char* value, int phase);
int LTEDbgCallback(void* subject, const char* value, int phase);
int SyslogFileCallback(void* subject, const char* value, int phase);
int perfMeasureFileCallback(void* subject, const char* value, int phase);
int PptpdCallback(void* subject, const char* value, int phase);
int CWMPCallback(void* subject, const char* value, int phase);
int sshdCallback(void* subject, const char* value, int phase);
int sys_monCallback(void* subject, const char* value, int phase);
int PMAvgTimerCallback(void* subject, const char* value, int phase);
int SequansdHostConfChangedCallback(void* subject, const char* value,
                                    int phase);
int LanEnableCallback(void* subject, const char* value, int phase);
int IPv4EnableCallback(void* subject, const char* value, int phase);
int IPv6WANCallback(void* subject, const char* value, int phase);
int IPv6RAflagCallback(void* subject, const char* value, int phase);
int IPv6LANCallback(void* subject, const char* value, int phase);
int MgmtDscpCallback(void* subject, const char* value, int phase);
int DataDscpCallback(void* subject, const char* value, int phase);
int VoipDscpCallback(void* subject, const char* value, int phase);
int Tr069UrlSrcCallback(void* subject, const char* value, int phase);
int QoSFileCallback(void* subject, const char* value, int phase);
int AccessRestrictionFileCallback(void* subject, const char* value, int phase);
int RouteFileCallback(void* subject, const char* value, int phase);
int RouteRipFileCallback(void* subject, const char* value, int phase);
int AlgChangedCallback(void* subject, const char* value, int phase);
int SysDebugMCCallback(void* subject, const char* value, int phase);
int EPSFileCallback(void* subject, const char* value, int phase);
int IpptCallback(void* subject, const char* value, int phase);
int RatAntSelCallback(void* subject, const char* value, int phase);
int TrafficControlCallback(void* subject, const char* value, int phase);
int TCResetCallback(void* subject, const char* value, int phase);
int LTECmDbgCallback(void* subject, const char* value, int phase);

// The ready announcement (event 23); always 1.
int CMSInitFinished();

// One notification: mc_ipc_flag, one trigger, mc_ipc_close; skipped when
// the flag is 0. Shared with the service callbacks.
void NotifyNow(int event);
void NotifyArg(int event, int arg);
void NotifyDelay(int event, int delay);
void NotifyDelayArg(int event, int delay, int arg);

// True when the user-side value of `name` exists and equals `text`.
bool ParamIs(const char* name, const char* text);

}  // namespace cms::events
