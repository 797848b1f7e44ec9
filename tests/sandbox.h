// sandbox.h - runs the real build/cmsd in a throw-away root for end-to-end
// tests: example configuration tree, recording stub programs, a message
// center, a free loopback port, and helpers to talk to the daemon.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/msg_listener.h"
#include "tests/stub_programs.h"
#include "tests/temp_root.h"

namespace cms::testing {

inline constexpr size_t kFrameSize = 1024;
using Frame = std::array<char, kFrameSize>;

// Offsets of the request and response frame.
inline constexpr size_t kPidOffset = 0;
inline constexpr size_t kCmdOffset = 4;  // the status in a response
inline constexpr size_t kNameOffset = 12;
inline constexpr size_t kNameSize = 64;
inline constexpr size_t kValueOffset = 76;
inline constexpr size_t kValueSize = 800;
inline constexpr size_t kLocationOffset = 876;
inline constexpr size_t kLocationSize = 64;

inline constexpr int32_t kStatusOk = 6;
inline constexpr int32_t kStatusFailed = 7;

// The pid the frame helpers put into requests unless told otherwise.
inline constexpr int32_t kTestPid = 4242;

struct SandboxOptions {
  // Copy examples/ into /mnt/jffs2/conf and examples/etc/VERSION to
  // /etc/VERSION. Without it the conf directories exist but are empty.
  bool example_tree = true;
  // Bind the message-center socket, so that triggers are delivered.
  bool message_center = true;
  // Write a random 32-byte key to /etc/cms/cipher.key.
  bool cipher_key = true;
  // Device path -> content, written after the example tree (so a file
  // here replaces the example file of the same path).
  std::map<std::string, std::string> files;

  SandboxOptions& WithoutExampleTree() {
    example_tree = false;
    return *this;
  }
  SandboxOptions& WithoutMessageCenter() {
    message_center = false;
    return *this;
  }
  SandboxOptions& WithoutCipherKey() {
    cipher_key = false;
    return *this;
  }
  SandboxOptions& WithFile(std::string device_path, std::string content) {
    files[std::move(device_path)] = std::move(content);
    return *this;
  }
};

// Result of a program run to its end.
struct ProgramResult {
  int exit_code = -1;  // 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

class Sandbox {
 public:
  explicit Sandbox(SandboxOptions options = {});
  // Kills the daemon (and anything it left running) and removes the root.
  ~Sandbox() { Stop(); }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const TempRoot& root() const { return root_; }
  const StubPrograms& stubs() const { return stubs_; }
  // Null when the sandbox was made without a message center.
  MsgListener* messages() { return listener_.get(); }
  int port() const { return port_; }
  // -1 when no daemon is running (not started, stopped, or reaped).
  pid_t pid() const { return pid_; }
  // The 32-byte cipher key (empty without one).
  const std::string& cipher_key() const { return key_; }

  // Starts build/cmsd --root R --port P --log-stderr with the stub
  // directory first on PATH and `extra_env` ("NAME=value") added, and waits
  // (bounded) until the port listens. False when the daemon exited or did
  // not listen in time; its output then tells why. The port listens before
  // the event loop runs: wait for the ready event (or the marker
  // "/tmp/cms_started") before sending signals. The daemon is killed when
  // the thread that started it ends (so a crashed test leaves nothing
  // behind): start it from the test's own thread.
  bool Start(const std::vector<std::string>& extra_env = {});
  // Starts the daemon like Start but does not wait for the port; for
  // start-ups that are expected to fail.
  void Launch(const std::vector<std::string>& extra_env = {},
              const std::vector<std::string>& extra_args = {});
  // SIGKILL to the daemon and its process group, then reaps it. Safe to call
  // when nothing runs.
  void Stop();
  // Sends `sig` to the daemon alone. False when it is not running.
  bool Signal(int sig);
  // Waits until the daemon ends; its exit code (128 + signal when killed),
  // or nothing when it still runs after `timeout`.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  // True while the daemon process exists (reaps it when it has ended).
  bool Running();

  // Everything the daemon wrote to standard output / standard error so far.
  std::string Stdout() const { return root_.Read("/cmsd.stdout"); }
  std::string Stderr() const { return root_.Read("/cmsd.stderr"); }
  // Waits until the daemon's standard error contains `text`.
  bool WaitForStderr(std::string_view text, std::chrono::milliseconds timeout);

  // Polls `done` every few milliseconds until it is true or the time is up;
  // returns its last result.
  static bool WaitUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout);

  // Files by device path.
  std::string ReadFile(std::string_view device_path) const {
    return root_.Read(device_path);
  }
  void WriteFile(std::string_view device_path, std::string_view content) const {
    root_.Write(device_path, content);
  }
  bool FileExists(std::string_view device_path) const {
    return root_.Exists(device_path);
  }

  // A TCP connection to the daemon from `source_ip` (a loopback address;
  // "127.0.0.2" gets the enciphered exchange). -1 on failure; the caller
  // closes the descriptor.
  int Connect(const char* source_ip = "127.0.0.1") const;
  // One plain exchange on a new connection: sends the frame, reads a whole
  // frame back. Nothing when the daemon closed the connection first or did
  // not answer within `timeout`.
  std::optional<Frame> Exchange(
      const Frame& request,
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // Runs build/cms with `args` against this daemon (CMS_PORT and CMS_ROOT
  // set) and collects its output. The program is killed after `timeout`.
  ProgramResult RunCms(
      const std::vector<std::string>& args,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Sets CMS_PORT and CMS_ROOT of this test process to this sandbox, so
  // that the client library talks to this daemon. The constructor does it.
  void UseFromThisProcess() const;

 private:
  // Reaps the daemon if it has ended (waitid `flags`: WNOHANG or 0) and
  // kills what it left in its process group; its exit code, or nothing
  // while it runs.
  std::optional<int> Reap(int flags);

  TempRoot root_;
  StubPrograms stubs_;
  std::unique_ptr<MsgListener> listener_;
  std::string key_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// Frame helpers. Texts are copied with the limits of their areas (63, 799
// and 63 characters), so the fields stay terminated.
Frame MakeFrame(int32_t cmd, std::string_view name = {},
                std::string_view value = {}, std::string_view location = {},
                int32_t pid = kTestPid);
// A list of texts for commands 35 and 36: each text then a zero byte, and a
// final zero byte.
Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& texts,
                    int32_t pid = kTestPid);
int32_t FramePid(const Frame& frame);
int32_t FrameStatus(const Frame& frame);
// The response's value text (up to its first zero byte).
std::string FrameValue(const Frame& frame);
// The texts of a list in the response's value area, up to the empty text.
std::vector<std::string> FrameList(const Frame& frame);
bool IsAllZero(const Frame& frame);

// Socket helpers for tests that drive the transport by hand; both handle
// short transfers and never raise SIGPIPE.
bool SendAll(int fd, const void* data, size_t size);
// Reads exactly `size` bytes; nothing when the peer closed first or the time
// ran out (what arrived is then lost).
std::optional<std::string> ReadExactly(int fd, size_t size,
                                       std::chrono::milliseconds timeout);

// The enciphered form of the exchange with peers other than 127.0.0.1:
// a 24-byte nonce, then the ciphertext with its tag, under a 32-byte key.
std::string Seal(std::string_view plain, std::string_view key);
std::optional<std::string> Unseal(std::string_view sealed,
                                  std::string_view key);

// Paths of the build and of the source tree.
std::string CmsdPath();
std::string CmsPath();
std::string ExamplesDir();
// Content of a file of the example tree, by its path below examples/
// ("user/sysini.conf"); empty when it does not exist.
std::string ReadExample(std::string_view relative_path);

}  // namespace cms::testing
