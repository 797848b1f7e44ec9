// real_peer_testing.h - runs the real programs that read the generated files
// (dnsmasq, snmpd) from tests: started with fork/exec, output collected,
// bounded in time, stopped by pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cms::testing {

// Full path of an executable `name` on PATH or in the sbin directories
// (often missing from a user's PATH); nothing if absent.
inline std::optional<std::string> FindProgram(const std::string& name) {
  std::istringstream dirs(std::string(getenv("PATH") ? getenv("PATH") : "") +
                          ":/usr/sbin:/sbin:/usr/local/sbin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) {
      return dir + "/" + name;
    }
  }
  return std::nullopt;
}

// A UDP port on 127.0.0.1 that was free a moment ago, or -1.
inline int FreeLoopbackUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool ok =
      fd >= 0 &&
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) close(fd);
  return ok ? ntohs(addr.sin_port) : -1;
}

struct PeerRun {
  bool timed_out = false;  // also set when the program could not start
  int exit_status = -1;    // exit code, or -1 when it ended by a signal
  std::string output;      // standard output and standard error together
};

// Runs `argv` with `env` ("NAME=value" texts, which win over this process's
// environment), collecting its output. With `ready_marker` empty, waits for
// the program to end; with a marker, sends SIGTERM to the child's pid once
// the marker has appeared (a daemon in the foreground). Past `timeout` the
// child is killed with SIGKILL and `timed_out` is set.
inline PeerRun RunPeer(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env,
                       const std::string& ready_marker,
                       std::chrono::milliseconds timeout) {
  PeerRun run{true, -1, "could not start"};
  // Built before fork: only exec-safe calls run in the child.
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.data()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.data()));
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  args.push_back(nullptr);
  envp.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(STDIN_FILENO);
    open("/dev/null", O_RDONLY);  // becomes standard input
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return run;
  }
  run = PeerRun{};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool stopped = false;
  for (;;) {
    if (!stopped && !ready_marker.empty() &&
        run.output.find(ready_marker) != std::string::npos) {
      stopped = kill(pid, SIGTERM) == 0;
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
