// stub_programs.h - stand-ins for device tools that record each call.
//
// Every stub appends one line to <root>/stub_calls.log: the program name as
// called, then each argument, separated by single tabs. A stub named on PATH
// lives in <root>/stub_bin, which Install() puts first on PATH; stubs under
// the root ("/bin/clat.sh") are found by the daemon through the root rule.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/temp_root.h"

namespace cms::testing {

inline constexpr const char* kPathStubs[] = {
    "fw_printenv", "ifconfig", "iptables", "killall", "telnetd",
    "cwmpc",       "sleep",    "ip",       "iperf"};
inline constexpr const char* kRootStubs[] = {
    "/bin/clat.sh",       "/bin/ip-passthrough.sh",
    "/bin/ipv6_start.sh", "/bin/sleep",
    "/sbin/ip",           "/usr/sbin/vsftpd"};

class StubPrograms {
 public:
  explicit StubPrograms(const TempRoot& root) : root_(root) {}

  // Writes every stub and puts <root>/stub_bin first on PATH (for this
  // process and the programs it starts).
  void Install() {
    for (const char* name : kPathStubs)
      AddStub(std::string("/stub_bin/") + name, "");
    for (const char* path : kRootStubs) AddStub(path, "");
    const char* old_path = getenv("PATH");
    const std::string path =
        root_.Host("/stub_bin") + ":" + (old_path ? old_path : "");
    setenv("PATH", path.c_str(), 1);
  }

  // (Re)writes the stub at device path `path`; `body` is shell code run
  // after the call was recorded (for example "echo HWaddr 00:11:22:33:44:55").
  // The line is built first and appended with one write, so that stubs
  // running at the same time never interleave their lines.
  void AddStub(std::string_view path, std::string_view body) const {
    root_.Write(
        path,
        "#!/bin/sh\ntab=$(printf '\\t'); line=$(basename \"$0\"); for a in "
        "\"$@\"; do line=\"$line$tab$a\"; done; printf '%s\\n' \"$line\" >> '" +
            root_.Host("/stub_calls.log") + "'\n" + std::string(body) +
            "\nexit 0\n");
    chmod(root_.Host(path).c_str(), 0755);
  }

  // Every recorded call, one "name\targ\targ" line each, in order.
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::istringstream in(root_.Read("/stub_calls.log"));
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
  }
  void ClearCalls() const { root_.Write("/stub_calls.log", ""); }

 private:
  const TempRoot& root_;
};

}  // namespace cms::testing
