// fw_env.cc - imports the boot-loader environment at start, and adds the
// software version and the LAN hardware address.
#include "store/fw_env.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "store/operations.h"
#include "store/param_record.h"

namespace cms::store {
namespace {

constexpr char kEnvLog[] = "/tmp/env.log";
constexpr char kVersionFile[] = "/etc/VERSION";
constexpr char kCustPrefix[] = "cust_";

// The start-up working buffer holds 256 bytes; a value read into it is cut
// to 255 characters.
constexpr size_t kStartBufferSize = 256;
constexpr size_t kStartValueMax = kStartBufferSize - 1;

// Rebuilt at every start. The sed expressions keep only lines whose name
// (before the first "=") is made of letters, digits and "_"; the three
// firmware lines come last.
constexpr const char* kEnvCommands[] = {
    "rm -rf /tmp/env.log; fw_printenv 2> /dev/null | sed -e "
    "\"/^[^=]*$/d\" -e \"/^[^=]*[^[:alnum:]_=][^=]*=.*$/d\" > /tmp/env.log",
    "(echo -n \"firmware_creation_date=\" && uname -v | awk '{print "
    "$(NF-4)\" \"$(NF-3)\" \"$(NF-2)\" \"$(NF-1)\" \"$NF}') >> /tmp/env.log",
    "(echo -n \"bootrom_version=\" && echo $version_uboot | cut -d '(' -f 1) "
    ">> /tmp/env.log",
    "(echo -n \"bootrom_creation_date=\" && echo $version_uboot | cut -d '(' "
    "-f 2 | cut -d ')' -f 1) >> /tmp/env.log",
};

// Under reset_default "1" or "2" the boot loader's customer defaults
// ("cust_NAME") set the parameter NAME.
bool StripCustPrefix() {
  const char* reset = getenv("reset_default");
  return reset != nullptr &&
         (strcmp(reset, "1") == 0 || strcmp(reset, "2") == 0);
}

void ImportRecord(std::string_view name, std::string_view value,
                  bool strip_cust) {
  if (strip_cust && name.substr(0, strlen(kCustPrefix)) == kCustPrefix) {
    name.remove_prefix(strlen(kCustPrefix));
  }
  // An empty name names nothing, and a longer one than a record holds would
  // be cut onto another parameter's name: both are refused.
  if (name.empty() || name.size() > kMaxNameLength) return;
  const std::string n(name);
  const std::string v(value);
  ReplaceParamValue(n.c_str(), v.c_str(), kModeReplaceUser);
}

// The text up to its first line feed, at most 255 characters.
std::string FirstLine(const char* data, size_t size) {
  std::string_view text(data, strnlen(data, size));
  text = text.substr(0, text.find('\n'));
  return std::string(text.substr(0, kStartValueMax));
}

// Reads up to the working buffer's size from `f`.
std::string ReadBuffer(FILE* f) {
  char buf[kStartBufferSize] = {};
  size_t got = 0;
  while (got < sizeof buf) {
    const size_t n = fread(buf + got, 1, sizeof buf - got, f);
    if (n == 0) break;
    got += n;
  }
  return FirstLine(buf, got);
}

}  // namespace

// Empty lines, as left by "\r\n", are passed over. A last line without its
// line end means the file was cut short: it is not imported. A line without
// "=" is not a variable (the pipeline drops such lines anyway).
void ImportFwEnvText(std::string_view text, bool strip_cust) {
  size_t line = 0;
  size_t eq = std::string_view::npos;
  for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    const char c = text[i];
    if (c == '=' && eq == std::string_view::npos) {
      eq = i;
    } else if (c == '\n' || c == '\r') {
      if (i != line && eq != std::string_view::npos) {
        ImportRecord(text.substr(line, eq - line),
                     text.substr(eq + 1, i - eq - 1), strip_cust);
      }
      line = i + 1;
      eq = std::string_view::npos;
    }
  }
}

void addParamFromFwPrintenv() {
  for (const char* command : kEnvCommands) platform::RunCommand(command);

  FILE* f = fopen(platform::HostPath(kEnvLog).c_str(), "r");
  if (f == nullptr) return;
  if (fseek(f, 0, SEEK_END) != 0) {
    platform::ReportFailure("addParamFromFwPrintenv", errno);
    fclose(f);
    return;
  }
  const long size = ftell(f);
  if (size <= 0) {
    platform::ReportFailure("addParamFromFwPrintenv", errno);
    fclose(f);
    return;
  }
  rewind(f);
  std::vector<char> text(static_cast<size_t>(size));
  if (fread(text.data(), 1, text.size(), f) != text.size()) {
    printf("%s: read file error!\n", "addParamFromFwPrintenv");
    fflush(stdout);
    fclose(f);
    return;
  }
  fclose(f);
  ImportFwEnvText(std::string_view(text.data(), text.size()),
                  StripCustPrefix());
}

void addSpecialParam() {
  addParamFromFwPrintenv();

  if (FILE* f = fopen(platform::HostPath(kVersionFile).c_str(), "r")) {
    const std::string version = ReadBuffer(f);
    fclose(f);
    ReplaceParamValue("software_version", version.c_str(), kModeReplaceUser);
  } else {
    CMS_DBG(LOG_WARNING, "CMSMain", "I can't get software_version enviroment variable\n");
  }

  // Without an interface name the command would ask ifconfig for every
  // interface and take the first hardware address it prints, which may
  // not be the LAN's. lanaddr is then left as loaded.
  const char* lan_if = GetParamValue("sys_lan_if", kModeGetUser);
  if (lan_if == nullptr) return;
  const std::string name(lan_if, strnlen(lan_if, kStartValueMax));
  FILE* pipe = platform::OpenCommand(platform::FormatCommand(
      "ifconfig %s 2> /dev/null | grep HWaddr | awk '{print $NF}'", {name}));
  if (pipe == nullptr) return;
  const std::string address = ReadBuffer(pipe);
  platform::CloseCommand(pipe);
  ReplaceParamValue("lanaddr", address.c_str(), kModeReplaceUser);
}

}  // namespace cms::store
