// service_callbacks.cc - service restarts, IPv6 control, hosts file, DHCP
// range, generated dnsmasq/SNMP files and the daemon's debug switch.
#include "events/service_callbacks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "conffiles/dnsmasq_conf.h"
#include "conffiles/snmpd_conf.h"
#include "events/callback_support.h"
#include "events/notify_callbacks.h"
#include "files/safe_file.h"
#include "platform/event_ids.h"
#include "platform/libmc.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "store/history.h"
#include "store/operations.h"
#include "store/param_record.h"

namespace cms::events {

namespace {

constexpr char kModule[] = "CMSEvent";
using store::kPhaseWritten;

// Fixed buffers of the device code, as the longest text each may hold.
constexpr size_t kTelnetdCommandMax = 127;
constexpr size_t kBannerFlagMax = 15;
constexpr size_t kBannerFileMax = 1023;
constexpr size_t kVsftpdCommandMax = 1023;
constexpr size_t kBridgeNameMax = 15;
constexpr size_t kLanLocalCommandMax = 511;
constexpr size_t kHostsLineMax = 63;
constexpr size_t kRangeFieldMax = 15;
constexpr size_t kRangeMax = 255;

constexpr char kHostsFile[] = "/mnt/jffs2/conf/app/hosts";
constexpr char kUserDnsmasqFile[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr char kDnsmasqFile[] = "/tmp/dnsmasq.conf";

constexpr char kIpv6WanRestart[] = "/bin/ipv6_start.sh WANrestart &";
constexpr char kIpv6LanRestartLater[] =
    "(/bin/sleep 1; /bin/ipv6_start.sh LANrestart) &";

bool Is(const char* value, std::string_view text) {
  return value != nullptr && text == value;
}

std::string Text(const char* value) { return value != nullptr ? value : ""; }

bool Ipv6Enabled() { return ParamIs("ipv6_enable", "enable"); }

// WAN restart, then a delayed LAN restart when `lan_key` is "enable".
void TwoStepRestart(const char* lan_key) {
  platform::RunCommand(kIpv6WanRestart);
  if (ParamIs(lan_key, "enable")) {
    platform::RunCommand(kIpv6LanRestartLater);
  }
}

// Runs `command` only when its device text fits the buffer the device code
// builds it in. A cut command would name another file or address, so it is
// refused instead.
void RunBounded(const platform::Command& command, size_t max_len,
                const char* what) {
  if (command.device.size() > max_len) {
    CMS_DBG(LOG_ERR, kModule, "%s: command longer than %zu characters, not run", what,
            max_len);
    return;
  }
  platform::RunCommand(command);
}

// Replaces the file whole through the crash-safe writer; a link planted at
// its name is replaced, never written through.
bool ReplaceFile(const char* device_path, const std::string& content) {
  return files::WriteFileAtomic(device_path, content, 0644,
                                files::FollowLink::kNo) == 0;
}

// The hosts file holds exactly the LAN line and the loopback line. A LAN line
// that does not fit its 64-byte buffer leaves the file as it was: a cut
// address or name would resolve wrongly.
void WriteHostsFile(const std::string& lan_ip, const std::string& name) {
  std::string line = lan_ip + "\t" + name + "\n";
  if (line.size() > kHostsLineMax) {
    CMS_DBG(LOG_ERR, kModule, "hosts line for %s longer than %zu characters",
            lan_ip.c_str(), kHostsLineMax);
    return;
  }
  line += "127.0.0.1\tlocalhost\n";
  if (!ReplaceFile(kHostsFile, line)) {
    CMS_DBG(LOG_ERR, kModule, "Could not write %s", kHostsFile);
  }
}

// One notification of event 16: argument 1 when the change flag is "1" (and
// the flag's user-side value is then removed), else 0. The flag is looked at
// only when the message center is there to be told.
void NotifyLanChange(const char* flag) {
  if (mc_ipc_flag() == 0) return;
  if (ParamIs(flag, "1")) {
    mc_trigger_arg(platform::kEventLanChange, 1);
    store::DeleteParam(flag, store::kModeDeleteUser);
  } else {
    mc_trigger_arg(platform::kEventLanChange, 0);
  }
  mc_ipc_close();
}

// Splits a DHCP range the way "%[^,],%[^,],%[^,],%s" reads it: three fields
// up to a comma (none may be empty), then a word. Fields not reached stay
// empty. False when a field is longer than the 15 characters it may hold.
bool SplitRange(std::string_view range, std::array<std::string, 4>& fields) {
  size_t pos = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t end = std::min(range.find(',', pos), range.size());
    if (end == pos) return true;
    fields[i] = std::string(range.substr(pos, end - pos));
    if (fields[i].size() > kRangeFieldMax) return false;
    if (end == range.size()) return true;
    pos = end + 1;
  }
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  pos = range.find_first_not_of(kBlanks, pos);
  if (pos == std::string_view::npos) return true;
  const size_t end = std::min(range.find_first_of(kBlanks, pos), range.size());
  fields[3] = std::string(range.substr(pos, end - pos));
  return fields[3].size() <= kRangeFieldMax;
}

}  // namespace

int ClatdCallback(void*, const char*, int) {
  platform::RunCommand("/bin/clat.sh restart &");
  return 1;
}

int Ippt2Callback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  platform::RunCommand("/bin/ip-passthrough.sh restart &");
  return 1;
}

int DDNSFileCallback(void*, const char*, int phase) {
  platform::RunCommand(
      "cat /mnt/jffs2/conf/user/ddns.conf | sed \"s/^ddns_//g\" | awk -F= "
      "'$2!=\"\"&&$2!=\"e0susu;\"{print $1\" \"$2}' > "
      "/mnt/jffs2/conf/app/ddns.conf");
  if (phase == kPhaseWritten) NotifyDelay(platform::kEventDdns, 1000);
  return 1;
}

int TelnetdCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  if (Is(value, "enable")) {
    platform::Command start;
    if (ParamIs("ui_banner_enable", "enable")) {
      start = platform::FormatCommand(
          "telnetd -l /bin/login -f %s > /dev/null 2>&1 &",
          {UserValue("ui_banner_file")});
    } else if (ParamIs("sys_lmrshell", "enable")) {
      start = platform::FormatCommand(
          "telnetd -l /mnt/jffs2/bin/login_without_shell_auth > /dev/null "
          "2>&1 &");
    } else {
      start =
          platform::FormatCommand("telnetd -l /bin/login > /dev/null 2>&1 &");
    }
    RunBounded(start, kTelnetdCommandMax, "TelnetdCallback");
  } else {
    platform::RunCommand("killall -9 telnetd > /dev/null 2>&1 &");
  }
  NotifyDelay(platform::kEventFirewall, 1000);
  return 1;
}

int vsftpdCallback(void* subject, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  // A port change carries a number, never "enable". Rather than stopping
  // the server for good, it restarts the server when sys_ftpd says it runs,
  // so that the new port takes effect.
  const bool port_change = SubjectName(subject) == "sys_ftpd_port";
  const bool enable =
      port_change ? ParamIs("sys_ftpd", "enable") : Is(value, "enable");
  if (!enable) {
    platform::RunCommand("killall -9 vsftpd &");
    NotifyDelay(platform::kEventFirewall, 1000);
    return 1;
  }
  if (port_change) {
    // In the foreground, so that the old server has gone before the new one
    // binds its port.
    platform::RunCommand("killall -9 vsftpd");
  }
  const std::string flag = UserValue("ui_banner_enable", kBannerFlagMax);
  const std::string banner = UserValue("ui_banner_file", kBannerFileMax);
  bool readable = false;
  if (!banner.empty()) {
    FILE* f = fopen(platform::HostPath(banner).c_str(), "r");
    if (f != nullptr) {
      readable = true;
      fclose(f);
    }
  }
  if (!flag.empty() && !banner.empty() && flag == "enable" && readable) {
    RunBounded(platform::FormatCommand("/usr/sbin/vsftpd -obanner_file=%s &",
                                       {banner}),
               kVsftpdCommandMax, "vsftpdCallback");
  } else {
    platform::RunCommand("/usr/sbin/vsftpd &");
  }
  NotifyDelay(platform::kEventFirewall, 1000);
  return 1;
}

int IPv6WebCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten) return 1;
  if (ParamIs("ui_sys_rm_type", "2")) {
    fputs("IPv6WebCallback: Restart TR069", stdout);
    fflush(stdout);
    // Started in the background rather than waited for: the sleep would
    // hold the parameter lock, and with it every client, for ten seconds.
    // The same commands run in the same order; only the wait moves out.
    platform::Command restart =
        platform::FormatCommand("sleep 10;killall cwmpc;cwmpc &");
    restart.host = "(" + restart.host + ") &";
    platform::RunCommand(restart);
  } else if (ParamIs("ui_sys_rm_type", "1")) {
    fputs("IPv6WebCallback: Restart SNMP", stdout);
    fflush(stdout);
    NotifyDelay(platform::kEventIpv6Web, 1000);
  }
  return 1;
}

int IPv6ConfCallback(void*, const char* value, int phase) {
  const store::history::LabelScope origin(__func__);  // names its changes
  if (phase != kPhaseWritten) return 1;
  if (Is(value, "enable")) {
    platform::RunCommand("/bin/ipv6_start.sh stop &");
    platform::RunCommand("(/bin/sleep 1; /bin/ipv6_start.sh start) &");
    platform::RunCommand("(/bin/sleep 2; /bin/ipv6_start.sh WANstart) &");
  } else {
    store::SetParamValue("mon_diag_protocol_type", "4", store::kModeSetUser);
    platform::RunCommand("/bin/ipv6_start.sh stop &");
  }
  return 1;
}

int IPv6TunnelCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  platform::RunCommand("/bin/ipv6_start.sh Tunnelrestart &");
  return 1;
}

int IPv6TunnelPrefixCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  if (!ParamIs("ipv6_tun_prefix_enable", "enable")) return 1;
  platform::RunCommand("/bin/ipv6_start.sh LANrestart &");
  return 1;
}

int IPv6WANNTPCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  TwoStepRestart("ipv6_dibbler_server_ntp_from_cpe");
  return 1;
}

int IPv6WANDNSCallback(void*, const char*, int phase) {
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  TwoStepRestart("ipv6_dibbler_server_dns_from_cpe");
  return 1;
}

int IPv6WANPDCallback(void*, const char* value, int phase) {
  const store::history::LabelScope origin(__func__);  // names its changes
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  // Prefix delegation and the DHCPv6 proxy are kept opposite.
  store::SetParamValue("APN_DHCP6_Proxy_Enable",
                       Is(value, "enable") ? "0" : "1", store::kModeSetUser);
  TwoStepRestart("ipv6_dibbler_server_dns_from_cpe");
  return 1;
}

int IPv6LANLocalCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten || !Ipv6Enabled()) return 1;
  const std::string bridge = UserValue("sys_br_if", kBridgeNameMax);
  const std::string wan_ip = UserValue("ipv6_wan_ip");
  const std::string local_ip = Text(value);
  RunBounded(
      platform::FormatCommand(
          "(release_local_ip=`ifconfig %s | grep \"Scope:G\" | grep -v "
          "\"%s\" |  awk '{print $3}' | sed '2,$d'`;[ -n "
          "\"$release_local_ip\" ] && ip -6 addr del $release_local_ip dev "
          "%s;ip -6 addr add %s/64 dev %s;)&",
          {bridge, wan_ip, bridge, local_ip, bridge}),
      kLanLocalCommandMax, "IPv6LANLocalCallback");
  return 1;
}

int HostnameCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  if (store::GetParamValue("sys_lan_ip", store::kModeGetUser) == nullptr) {
    return 0;
  }
  WriteHostsFile(UserValue("sys_lan_ip"), Text(value));
  NotifyDelay(platform::kEventDnsmasq, 1000);
  return 1;
}

int LanIPCallback(void*, const char* value, int phase) {
  const store::history::LabelScope origin(__func__);  // names its changes
  if (phase != kPhaseWritten) return 1;
  if (store::GetParamValue("hostname", store::kModeGetUser) != nullptr) {
    WriteHostsFile(Text(value), UserValue("hostname"));
  }
  NotifyLanChange("ip_change");
  return 1;
}

int LanMaskCallback(void*, const char* value, int phase) {
  const store::history::LabelScope origin(__func__);  // names its changes
  if (phase != kPhaseWritten) return 1;
  // Without a range there is nothing to carry the mask into; building one
  // from empty fields would hand dnsmasq a range it rejects. The range is
  // left alone, and equally when a field is too long to rebuild it whole.
  const std::string range = UserValue("dnsmasq_dhcp-range");
  std::array<std::string, 4> f;
  if (range.empty()) {
    CMS_DBG(LOG_WARNING, kModule, "no dnsmasq_dhcp-range to carry the new LAN mask");
  } else if (!SplitRange(range, f)) {
    CMS_DBG(LOG_ERR, kModule, "dnsmasq_dhcp-range %s has an over-long field",
            range.c_str());
  } else {
    const std::string rebuilt =
        f[0] + "," + f[1] + "," + Text(value) + "," + f[3];
    if (rebuilt.size() > kRangeMax) {
      CMS_DBG(LOG_ERR, kModule, "new dnsmasq_dhcp-range longer than %zu characters",
              kRangeMax);
    } else {
      store::SetParamValue("dnsmasq_dhcp-range", rebuilt.c_str(),
                           store::kModeSetUser);
    }
  }
  NotifyLanChange("mask_change");
  return 1;
}

int DnsmasqFileCallback(void* subject, const char*, int phase) {
  CMS_DBG(LOG_INFO, kModule, "set dnsmasq call back called name %s id %d",
          subject != nullptr ? static_cast<const char*>(subject) : "(null)",
          phase);
  // The trailer goes in with the generated lines, in one replacement.
  return conffiles::GenerateDnsmasqConf(
             kUserDnsmasqFile, kDnsmasqFile,
             store::GetParamValue("dnsmasq_auto-dns", store::kModeGetUser)) ==
         0;
}

int SNMPFileCallback(void*, const char*, int) {
  // The generator takes a writable source path.
  char source[] = "/mnt/jffs2/conf/user/snmpd.conf";
  conffiles::do_usr_copy_snmpd(source, "/mnt/jffs2/conf/app/snmpd.conf");
  conffiles::do_usr_copy_snmpd_v3(source, "/mnt/jffs2/conf/app/snmpd_v3.conf");
  return 1;
}

int SysDebugCMSCallback(void*, const char* value, int phase) {
  if (phase != kPhaseWritten) return 1;
  cms_debug_mode.store(DecimalValue(value));
  return 1;
}

}  // namespace cms::events
