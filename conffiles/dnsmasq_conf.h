// dnsmasq_conf.h - generates dnsmasq's configuration from the user-side
// dnsmasq parameter file.
#pragma once

namespace cms::conffiles {

// Writes the dnsmasq configuration `dst` from the parameter file `src`
// (device paths), replacing `dst` whole. `auto_dns` is the value of
// dnsmasq_auto-dns (null when unset): custom DHCP options are kept only
// when it is "disable". Returns 0 or an errno; `dst` is untouched when `src`
// cannot be read or `dst` cannot be written.
int do_usr_copy_dnsmasq(const char* src, const char* dst, const char* auto_dns);
// The same with kDnsmasqTrailer after the generated lines, in one write, so
// that dnsmasq never sees the file without them.
int GenerateDnsmasqConf(const char* src, const char* dst, const char* auto_dns);

// The fixed lines appended after the generated content, in order.
inline constexpr const char* kDnsmasqTrailer[] = {
    "dhcp-option=vendor:MSFT,2,1i\n", "domain-needed\n", "bogus-priv\n",
    "no-hosts\n", "no-poll\n"};

}  // namespace cms::conffiles
