// perf_measure.h - starts and stops the throughput measurement run by
// another daemon, and reads an interface's addresses from the kernel.
#pragma once

namespace cms::events {

// Registered on perf_measure_status ("1" start, "0" stop); acts at phase 1
// only, always returns 1.
int PerfMeasureCallback(void* subject, const char* value, int phase);

// Fills what is asked for (a null output is not fetched): `mac_out` the 6
// hardware-address bytes, `ip_out` and `mask_out` the IPv4 address and
// netmask as dotted-decimal text (room for 16 bytes each). At most 15
// characters of `ifname` are used. 1 on success; 0 for a null name, when the
// socket cannot be opened or when a request fails (a failed netmask request
// still closes normally and leaves the other outputs filled).
int get_interface_info(const char* ifname, unsigned char* mac_out, char* ip_out,
                       char* mask_out);

}  // namespace cms::events
