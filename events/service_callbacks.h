// service_callbacks.h - callbacks that restart services, drive the IPv6 start
// script, rewrite the hosts file and the DHCP range, regenerate the dnsmasq
// and SNMP files and switch the daemon's debug output.
//
// All have the change-callback signature (subject, value, phase) and act at
// phase 1 only, except ClatdCallback, DDNSFileCallback (its command),
// DnsmasqFileCallback and SNMPFileCallback, which act at every phase.
#pragma once

namespace cms::events {

int ClatdCallback(void* subject, const char* value, int phase);
int Ippt2Callback(void* subject, const char* value, int phase);
int DDNSFileCallback(void* subject, const char* value, int phase);
int TelnetdCallback(void* subject, const char* value, int phase);
int vsftpdCallback(void* subject, const char* value, int phase);
int IPv6WebCallback(void* subject, const char* value, int phase);

int IPv6ConfCallback(void* subject, const char* value, int phase);
int IPv6TunnelCallback(void* subject, const char* value, int phase);
int IPv6TunnelPrefixCallback(void* subject, const char* value, int phase);
int IPv6WANNTPCallback(void* subject, const char* value, int phase);
int IPv6WANDNSCallback(void* subject, const char* value, int phase);
int IPv6WANPDCallback(void* subject, const char* value, int phase);
int IPv6LANLocalCallback(void* subject, const char* value, int phase);

// Returns 0 (ignored by the write-back) when sys_lan_ip has no value.
int HostnameCallback(void* subject, const char* value, int phase);
int LanIPCallback(void* subject, const char* value, int phase);
int LanMaskCallback(void* subject, const char* value, int phase);

// Returns 0 when /tmp/dnsmasq.conf cannot be opened for the trailer.
int DnsmasqFileCallback(void* subject, const char* value, int phase);
int SNMPFileCallback(void* subject, const char* value, int phase);

// Sets cms_debug_mode from the new value of sys_cms_debug_mode.
int SysDebugCMSCallback(void* subject, const char* value, int phase);

}  // namespace cms::events
