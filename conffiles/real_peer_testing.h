// real_peer_testing.h - runs the real programs that read the generated files
// (dnsmasq, snmpd) from tests: found on PATH or in the sbin directories,
// started with fork/exec, output collected, bounded in time, stopped by pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cms::testing {

// Full path of an executable `name` on PATH or in the usual sbin
// directories (often missing from a user's PATH); nothing if absent.
inline std::optional<std::string> FindProgram(const std::string& name) {
  std::string dirs = getenv("PATH") != nullptr ? getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::istringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::nullopt;
}

// A UDP port on 127.0.0.1 that was free a moment ago.
inline int FreeLoopbackUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

struct PeerRun {
  bool started = false;    // fork and pipe worked
  bool timed_out = false;  // the deadline passed before the program was done
  int exit_status = -1;    // exit code, or -1 when it ended by a signal
  std::string output;      // standard output and standard error together
};

// Runs `argv` with `env` ("NAME=value" texts, which win over this process's
// own environment), collecting its output. With `ready_marker` empty, waits
// for the program to end; with a marker, sends SIGTERM to the child's pid once
// the marker has appeared in the output (a daemon started in the foreground)
// and collects the rest. Past `timeout` the child is killed with SIGKILL and
// `timed_out` is set.
inline PeerRun RunPeer(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env,
                       const std::string& ready_marker,
                       std::chrono::milliseconds timeout) {
  PeerRun run;
  // Everything the child needs is built before fork: only exec-safe calls
  // run in the child.
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return run;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  run.started = true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool stopped = false;
  for (;;) {
    if (!ready_marker.empty() && !stopped &&
        run.output.find(ready_marker) != std::string::npos) {
      kill(pid, SIGTERM);
      stopped = true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;  // the child closed its output: it has ended
    run.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.exit_status = WEXITSTATUS(status);
  }
  return run;
}

}  // namespace cms::testing
