// vpn_callback.h - keeps the default route of the main table in the VPN
// tunnel or on the WAN gateway, as the VPN gateway selectors say.
#pragma once

namespace cms::events {

// Registered on sys_pptp_gw_if, sys_l2tp_gw_if and sys_gre_gw_if; acts at
// phase 1 only and always returns 1. Writes trace lines on standard output.
int VPNDefaultGWCallback(void* subject, const char* value, int phase);

}  // namespace cms::events
