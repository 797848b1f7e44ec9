// sandbox.h - runs the real build/cmsd in a throw-away root for end-to-end
// tests: example configuration tree, recording stub programs, a message
// center, a free loopback port, and helpers to talk to the daemon.
#pragma once

// Also what the end-to-end tests use beside it: sockets, signals, files,
// processes and threads.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "testing/frame.h"
#include "testing/msg_listener.h"
#include "testing/stub_programs.h"
#include "testing/temp_root.h"

namespace cms::testing {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;

struct ProgramResult {
  int exit_code = -1;  // 128 + signal number when killed by a signal
  std::string out, err;
};

class Sandbox : public TempRoot {
 public:
  // `files` go over the example tree (examples/ under /mnt/jffs2/conf, its
  // etc/VERSION in /etc). The message center collects triggers.
  explicit Sandbox(const Files& files = {}, bool message_center = true);
  ~Sandbox() { Stop(); }

  static std::string ReadExample(const std::string& relative_path);
  const StubPrograms& stubs() const { return stubs_; }
  MsgListener* messages() { return listener_.get(); }  // null without one
  int port() const { return port_; }
  pid_t pid() const { return pid_; }  // -1 when no daemon runs
  const std::string& cipher_key() const { return key_; }
  // The daemon's open descriptors and CPU time (user + system, in seconds).
  long Fds() const;
  double CpuSeconds() const;

  // Starts cmsd --root R --port P --log-stderr and, if asked, waits until the
  // port listens (false when it did not). Signals work only once the event
  // loop runs: wait for the ready event or the marker. The daemon dies with
  // the thread that started it.
  bool Start(bool wait = true, const std::vector<std::string>& extra = {});
  // SIGKILL to the daemon and its process group, then reaps it.
  void Stop();
  bool Signal(int sig);
  // The exit code (128 + signal when killed); nothing while it still runs.
  std::optional<int> WaitExit(milliseconds timeout);
  bool Running();
  std::string Stderr() const { return Read("/cmsd.stderr"); }
  bool WaitForStderr(std::string_view text, milliseconds timeout);
  // Polls `done` every few milliseconds until it is true or time is up.
  static bool WaitUntil(const std::function<bool()>& done,
                        milliseconds timeout);

  // A connection from `source_ip` ("127.0.0.2" gets the enciphered
  // exchange); -1 on failure.
  int Connect(const char* source_ip = "127.0.0.1") const;
  // One plain exchange on a new connection; nothing without an answer.
  std::optional<Frame> Exchange(const Frame& request,
                                milliseconds timeout = seconds(5)) const;
  // One request on a new connection: "ok:" and the value answered,
  // "failed", or "no answer".
  std::string Ask(int32_t cmd, std::string_view name,
                  std::string_view value = {},
                  std::string_view location = {}) const;
  // Starts build/cms against this daemon, output in <root>/<tag>.stdout and
  // .stderr.
  pid_t StartCms(std::vector<std::string> args, const std::string& tag) const;
  // Runs build/cms to its end (SIGINT after 10 s, SIGKILL a second later).
  ProgramResult RunCms(std::vector<std::string> args) const;

 private:
  pid_t Spawn(const std::vector<std::string>& args,
              std::vector<std::string> env, const std::string& out) const;
  std::optional<int> Reap(int flags);

  StubPrograms stubs_;
  std::unique_ptr<MsgListener> listener_;
  std::string key_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace cms::testing
