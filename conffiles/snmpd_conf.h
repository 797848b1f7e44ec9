// snmpd_conf.h - generates the SNMP agent's v1/v2c and v3 configuration
// files from the user-side SNMP parameter file.
#pragma once

namespace cms::conffiles {

void do_usr_copy_snmpd(char* src, const char* dst);
void do_usr_copy_snmpd_v3(const char* src, const char* dst);

}  // namespace cms::conffiles
