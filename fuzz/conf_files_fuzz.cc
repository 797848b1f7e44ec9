// conf_files_fuzz.cc - arbitrary configuration text through the key=value
// field functions (check, get, set, delete, copy) and the dnsmasq and both
// SNMP generators, checking the shape of what they write.
#include <string>
#include <string_view>
#include <vector>

#include "conffiles/dnsmasq_conf.h"
#include "conffiles/snmpd_conf.h"
#include "files/field_file.h"
#include "testing/fuzz_support.h"

namespace {

constexpr const char* kFieldFile = "/mnt/jffs2/conf/user/fuzz.conf";
constexpr const char* kCopy = "/mnt/jffs2/conf/user/fuzz_copy.conf";
constexpr const char* kDnsmasqSource = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr const char* kDnsmasq = "/tmp/dnsmasq.conf";
constexpr const char* kSnmpdSource = "/mnt/jffs2/conf/user/snmpd.conf";
constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";
constexpr const char* kV1 = "/mnt/jffs2/conf/app/snmpd.conf";
constexpr const char* kV3 = "/mnt/jffs2/conf/app/snmpd_v3.conf";

// Splits off the text before the first line feed of `rest`, up to its first
// NUL (the field functions take C texts).
std::string TakeLine(std::string_view* rest) {
  const size_t end = rest->find('\n');
  std::string line(rest->substr(0, end));
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return line.substr(0, line.find('\0'));
}

void FieldFunctions(std::string_view rest) {
  using namespace cms::files;
  const std::string name = TakeLine(&rest), v = TakeLine(&rest);
  std::vector<char> value(v.c_str(), v.c_str() + v.size() + 1);  // exact size
  cms::fuzzing::FuzzRoot().Write(kFieldFile, rest);
  CheckConfFiledString(kFieldFile, name.c_str());
  if (const char* got = get_conf_field_string(kFieldFile, name.c_str())) {
    const std::string copy = got;  // must be a readable NUL-ended text
  }
  set_conf_field_string(kFieldFile, name.c_str(), value.data());
  get_conf_field_string(kFieldFile, name.c_str());
  do_usr_copy(kFieldFile, kCopy);
  cms::fuzzing::Require(cms::fuzzing::FuzzRoot().Read(kCopy) ==
                        cms::fuzzing::FuzzRoot().Read(kFieldFile));
  delete_param(kFieldFile, name.c_str());
  cms::fuzzing::Require(SetConfLock == 0);  // released on every way out
}

// The v1/v2c file holds copied comments and keyword lines only; anything
// else would be a piece of a source line that escaped.
bool V1LineKnown(std::string_view line) {
  if (line.front() == '#') return true;
  for (std::string_view keyword :
       {"rocommunity ", "rocommunity6 ", "rwcommunity ", "rwcommunity6 ",
        "syscontact ", "sysname ", "syslocation "}) {
    if (line.starts_with(keyword)) return true;
  }
  return false;
}

}  // namespace

// Input: one byte of choices (bit 0: custom DHCP options let through; bit 1:
// SNMP secure mode; bit 2: no sysini.conf at all), then the text: the source
// of the generators whole; for the field functions a name, a line feed, a new
// value, a line feed and the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cms::fuzzing;
  uint8_t mode;
  std::string_view source;
  if (!SplitInput(data, size, &mode, &source)) return 0;
  FieldFunctions(source);

  for (const char* path : {kDnsmasq, kV1, kV3}) FuzzRoot().Remove(path);
  (mode & 4) ? FuzzRoot().Remove(kSysini)
             : FuzzRoot().Write(kSysini, (mode & 2) ? "sys_secure_mode 1\n"
                                                    : "sys_secure_mode 0\n");
  FuzzRoot().Write(kDnsmasqSource, source);
  FuzzRoot().Write(kSnmpdSource, source);
  cms::conffiles::do_usr_copy_dnsmasq(kDnsmasqSource, kDnsmasq,
                                      (mode & 1) ? "disable" : nullptr);
  std::string src = kSnmpdSource;
  cms::conffiles::do_usr_copy_snmpd(src.data(), kV1);
  cms::conffiles::do_usr_copy_snmpd_v3(kSnmpdSource, kV3);

  const std::string dnsmasq = FuzzRoot().Read(kDnsmasq);
  const std::string v1 = FuzzRoot().Read(kV1);
  Require(WholeLines(dnsmasq) && WholeLines(v1) &&
          WholeLines(FuzzRoot().Read(kV3)));
  // No comment, no empty line, nothing over the 511 characters (line feed
  // included) of a kept line.
  for (std::string_view line : Lines(dnsmasq))
    Require(line.size() > 1 && line.front() != '#' && line.size() <= 511);
  for (std::string_view line : Lines(v1)) Require(V1LineKnown(line));
  return 0;
}
