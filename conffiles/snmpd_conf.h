// snmpd_conf.h - generates the SNMP agent's v1/v2c and v3 configuration
// files from the user-side SNMP parameter file.
#pragma once

namespace cms::conffiles {

// Each replaces `dst` whole and returns 0 or an errno; `dst` is untouched
// when `src` (or, for v3, sysini.conf) cannot be read or `dst` cannot be
// written.
int do_usr_copy_snmpd(char* src, const char* dst);
int do_usr_copy_snmpd_v3(const char* src, const char* dst);

}  // namespace cms::conffiles
