// real_peer.h - runs the real programs that read the generated files
// (dnsmasq, snmpd) from tests, bounded in time and stopped by pid.
#pragma once

#include <string>
#include <vector>

namespace cms::testing {

// Full path of executable `name` on PATH or in the sbin directories (often
// missing from a user's PATH); "" if absent.
std::string FindProgram(const std::string& name);

// Runs `argv` with `env` added to the environment, its output (standard
// output and error) going to the file `log`, and returns that output. With
// a `ready_marker`, a program that prints it (a daemon in the foreground)
// is sent SIGTERM. Past 20 seconds it is killed, and "(timed out)" added.
std::string RunPeer(std::vector<std::string> argv,
                    std::vector<std::string> env, const std::string& log,
                    const std::string& ready_marker = "");

}  // namespace cms::testing
