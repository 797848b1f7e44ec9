// snmpd_conf_fuzz.cc - feeds arbitrary SNMP parameter files (and secure-mode
// settings) to both SNMP generators and checks the shape of what they write.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "conffiles/snmpd_conf.h"
#include "testing/fuzz_support.h"

namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/snmpd.conf";
constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";
constexpr const char* kV1 = "/mnt/jffs2/conf/app/snmpd.conf";
constexpr const char* kV3 = "/mnt/jffs2/conf/app/snmpd_v3.conf";

// The v1/v2c file holds copied comments and keyword lines only; anything
// else would be a piece of a source line that escaped.
bool V1LineKnown(std::string_view line) {
  if (!line.empty() && line.front() == '#') return true;
  for (std::string_view keyword :
       {"rocommunity ", "rocommunity6 ", "rwcommunity ", "rwcommunity6 ",
        "syscontact ", "sysname ", "syslocation "}) {
    if (line.substr(0, keyword.size()) == keyword) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cms::fuzzing;
  if (size == 0) return 0;
  // First byte: bit 0 secure mode, bit 1 no sysini.conf at all.
  const uint8_t mode = data[0];
  if (mode & 2) {
    FuzzRoot().Remove(kSysini);
  } else {
    FuzzRoot().Write(kSysini,
              (mode & 1) ? "sys_secure_mode 1\n" : "sys_secure_mode 0\n");
  }
  FuzzRoot().Write(kSource, std::string_view(reinterpret_cast<const char*>(data) + 1,
                                      size - 1));
  FuzzRoot().Remove(kV1);
  FuzzRoot().Remove(kV3);
  std::string src = kSource;
  cms::conffiles::do_usr_copy_snmpd(src.data(), kV1);
  cms::conffiles::do_usr_copy_snmpd_v3(kSource, kV3);

  const std::string v1 = FuzzRoot().Read(kV1);
  const std::string v3 = FuzzRoot().Read(kV3);
  if (!WholeLines(v1) || !WholeLines(v3)) __builtin_trap();
  size_t start = 0;
  for (size_t end = v1.find('\n'); end != std::string::npos;
       start = end + 1, end = v1.find('\n', start)) {
    if (!V1LineKnown(std::string_view(v1).substr(start, end - start))) {
      __builtin_trap();
    }
  }
  return 0;
}
