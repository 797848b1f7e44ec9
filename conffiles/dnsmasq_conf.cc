// dnsmasq_conf.cc - turns the "dnsmasq_" parameters and static leases of the
// user-side dnsmasq file into dnsmasq's own configuration lines.
#include "conffiles/dnsmasq_conf.h"

#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "conffiles/generator_lines.h"
#include "platform/root.h"

namespace cms::conffiles {
namespace {

// Every parameter of the source file is named "dnsmasq_" + the option.
constexpr std::string_view kPrefix = "dnsmasq_";
// A kept line without its prefix must fit in 512 bytes: 511 characters,
// line feed included.
constexpr size_t kMaxKeptLine = 511;
// Each field of a lease record holds 1 to 127 characters.
constexpr size_t kMaxLeaseField = 127;
constexpr size_t kLeaseFields = 4;

// Settings of this system that share the file but are no dnsmasq options.
constexpr std::array<std::string_view, 3> kSystemSettings = {
    "dnsmasq_auto-dns", "dnsmasq_relay_enable", "dnsmasq_relay_dhcp_server"};

// Custom DHCP options reach dnsmasq only while automatic DNS is disabled.
bool CustomOptionsAllowed(const char* auto_dns) {
  return auto_dns != nullptr && std::strcmp(auto_dns, "disable") == 0;
}

// The "dhcp-host" line for a lease record (the text after the last "=" of
// the line: enable;field2;field3;field4), without its line end. Nothing when
// the lease is disabled or the record is malformed: fewer than four fields,
// an empty field or one longer than a field holds. A half-formed lease line
// could bind the wrong address or make dnsmasq refuse the whole file, so a
// malformed record is left out. Text after a fourth ";" is ignored, as the
// last field runs to the next ";".
std::optional<std::string> LeaseLine(std::string_view line) {
  const size_t eq = line.rfind('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view record = line.substr(eq + 1);
  std::array<std::string_view, kLeaseFields> fields;
  for (size_t i = 0; i < kLeaseFields; ++i) {
    const size_t end = record.find(';');
    if (end == std::string_view::npos && i + 1 < kLeaseFields) {
      return std::nullopt;
    }
    fields[i] = record.substr(0, end);
    if (fields[i].empty() || fields[i].size() > kMaxLeaseField) {
      return std::nullopt;
    }
    record = end == std::string_view::npos ? std::string_view()
                                           : record.substr(end + 1);
  }
  if (fields[0].find('1') == std::string_view::npos) return std::nullopt;
  std::string out = "dhcp-host=";
  out.append(fields[1]).append(",").append(fields[2]).append(",").append(
      fields[3]);
  return out;
}

// The dnsmasq line for one source line (without its line end), or nothing.
std::optional<std::string> DnsmasqLine(std::string_view line,
                                       bool options_allowed) {
  if (!line.empty() && line.front() == '#') return std::nullopt;
  for (std::string_view setting : kSystemSettings) {
    if (line.starts_with(setting)) return std::nullopt;
  }
  if (line.starts_with("dnsmasq_dhcp-option") && !options_allowed) {
    return std::nullopt;
  }
  // Removing the prefix from a line of another name (a stray or indented
  // line) would cut into that name and hand dnsmasq a bogus option.
  if (!line.starts_with(kPrefix)) return std::nullopt;
  const std::string_view rest = line.substr(kPrefix.size());
  // Every dnsmasq option name begins with a letter or digit; anything else
  // after the prefix (a separator, "#") would not be the option meant.
  if (rest.empty() || !std::isalnum(static_cast<unsigned char>(rest.front()))) {
    return std::nullopt;
  }
  if (rest.size() + 1 > kMaxKeptLine) return std::nullopt;
  if (rest.find("dhcphost_num") != std::string_view::npos) return std::nullopt;
  if (rest.find("dhcp-host") != std::string_view::npos) return LeaseLine(line);
  return std::string(rest);
}

}  // namespace

namespace {

int Generate(const char* src, const char* dst, const char* auto_dns,
             std::string_view trailer) {
  const bool options_allowed = CustomOptionsAllowed(auto_dns);
  return GenerateFile(src, dst, [options_allowed](FILE* in, FILE* out) {
    std::string line;
    for (LineStatus status = ReadWholeLine(in, kGeneratorReadLimit, &line);
         status != LineStatus::kEnd;
         status = ReadWholeLine(in, kGeneratorReadLimit, &line)) {
      if (status != LineStatus::kLine) continue;
      if (auto kept = DnsmasqLine(line, options_allowed))
        WriteWholeLine(out, *kept);
    }
  }, trailer);
}

}  // namespace

int do_usr_copy_dnsmasq(const char* src, const char* dst,
                        const char* auto_dns) {
  return Generate(src, dst, auto_dns, {});
}

int GenerateDnsmasqConf(const char* src, const char* dst,
                        const char* auto_dns) {
  std::string trailer;
  for (const char* line : kDnsmasqTrailer) trailer += line;
  return Generate(src, dst, auto_dns, trailer);
}

}  // namespace cms::conffiles
