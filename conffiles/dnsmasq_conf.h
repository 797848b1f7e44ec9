// dnsmasq_conf.h - generates dnsmasq's configuration from the user-side
// dnsmasq parameter file.
#pragma once

namespace cms::conffiles {

// Writes the dnsmasq configuration `dst` from the parameter file `src`
// (device paths). `dst` is untouched when `src` cannot be read.
void do_usr_copy_dnsmasq(const char* src, const char* dst);

// The fixed lines appended after the generated content, in order.
inline constexpr const char* kDnsmasqTrailer[] = {
    "dhcp-option=vendor:MSFT,2,1i\n", "domain-needed\n", "bogus-priv\n",
    "no-hosts\n", "no-poll\n"};

}  // namespace cms::conffiles
