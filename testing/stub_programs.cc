#include "testing/stub_programs.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace cms::testing {

namespace {
constexpr const char* kPathStubs[] = {"fw_printenv", "ifconfig", "iptables",
                                      "killall",     "telnetd",  "cwmpc",
                                      "sleep",       "ip",       "iperf"};
constexpr const char* kRootStubs[] = {
    "/bin/clat.sh", "/bin/ip-passthrough.sh", "/bin/ipv6_start.sh",
    "/bin/sleep",   "/sbin/ip",               "/usr/sbin/vsftpd"};
}  // namespace

void StubPrograms::Install() const {
  for (const char* name : kPathStubs)
    AddStub(std::string("/stub_bin/") + name, "");
  for (const char* path : kRootStubs) AddStub(path, "");
  const char* old_path = getenv("PATH");
  const std::string path =
      root_.Host("/stub_bin") + ":" + (old_path ? old_path : "");
  setenv("PATH", path.c_str(), 1);
}

// The line is built first and appended with one write, so that stubs
// running at the same time never interleave their lines.
void StubPrograms::AddStub(std::string_view path, std::string_view body) const {
  root_.Write(path,
              "#!/bin/sh\ntab=$(printf '\\t'); line=$(basename \"$0\"); for a "
              "in \"$@\"; do line=\"$line$tab$a\"; done; printf '%s\\n' "
              "\"$line\" >> '" +
                  root_.Host("/stub_calls.log") + "'\n" + std::string(body) +
                  "\nexit 0\n");
  chmod(root_.Host(path).c_str(), 0755);
}

std::vector<std::string> StubPrograms::Calls(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const std::string log = root_.Read("/stub_calls.log");
    std::istringstream in(log.substr(0, log.rfind('\n') + 1));
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    if (calls.size() >= count || std::chrono::steady_clock::now() > deadline)
      return calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace cms::testing
