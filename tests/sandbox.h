// sandbox.h - runs the real build/cmsd in a throw-away root for end-to-end
// tests: example configuration tree, recording stub programs, a message
// center, a free loopback port, and helpers to talk to the daemon.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "client/cms_client.h"
#include "tests/msg_listener.h"
#include "tests/stub_programs.h"
#include "tests/temp_root.h"

namespace cms::testing {

using std::chrono::milliseconds;

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

// Paths of the build and of the source tree. CMS_TEST_CMSD in the
// environment names another daemon to test (a ThreadSanitizer build, say).
inline std::string CmsdPath() {
  if (const char* other = getenv("CMS_TEST_CMSD"); other != nullptr && *other) {
    return other;
  }
  return std::string(CMS_BUILD_DIR) + "/cmsd";
}
inline std::string CmsPath() { return std::string(CMS_BUILD_DIR) + "/cms"; }
inline std::string ExamplesDir() {
  return std::string(CMS_SOURCE_DIR) + "/examples";
}

// Whole content of a host file; empty when it cannot be read.
inline std::string ReadHostFile(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// Content of a file of the example tree, by its path below examples/
// ("user/sysini.conf"); empty when it does not exist.
inline std::string ReadExample(std::string_view relative_path) {
  return ReadHostFile(ExamplesDir() + "/" + std::string(relative_path));
}

// Frame helpers. Texts are copied with the limits of their areas (63, 799
// and 63 characters), so the fields stay terminated.
inline Frame MakeFrame(int32_t cmd, std::string_view name = {},
                       std::string_view value = {},
                       std::string_view location = {}, int32_t pid = kTestPid) {
  CMSPacket packet{};
  packet.pid = pid;
  packet.cmd = cmd;
  name.copy(packet.name, sizeof packet.name - 1);
  value.copy(packet.value, sizeof packet.value - 1);
  location.copy(packet.location, sizeof packet.location - 1);
  Frame frame;
  memcpy(frame.data(), &packet, sizeof packet);
  return frame;
}

// A list of texts for commands 35 and 36: each text then a zero byte, and a
// final zero byte (texts that do not fit are left out).
inline Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& texts,
                           int32_t pid = kTestPid) {
  Frame frame = MakeFrame(cmd, {}, {}, {}, pid);
  size_t at = kValueOffset;
  for (const std::string& text : texts) {
    if (at + text.size() + 2 > kValueOffset + kValueSize) break;
    memcpy(frame.data() + at, text.data(), text.size());
    at += text.size() + 1;
  }
  return frame;
}

inline int32_t FrameInt(const Frame& f, size_t at) {
  int32_t v;
  memcpy(&v, f.data() + at, sizeof v);
  return v;
}
inline int32_t FramePid(const Frame& f) { return FrameInt(f, kPidOffset); }
inline int32_t FrameStatus(const Frame& f) { return FrameInt(f, kCmdOffset); }

// The texts of a list in the response's value area, up to the empty text.
inline std::vector<std::string> FrameList(const Frame& frame) {
  std::vector<std::string> texts;
  for (size_t at = 0; at < kValueSize && frame[kValueOffset + at] != '\0';) {
    const char* begin = frame.data() + kValueOffset + at;
    texts.emplace_back(begin, strnlen(begin, kValueSize - at));
    at += texts.back().size() + 1;
  }
  return texts;
}

// The response's value text (up to its first zero byte).
inline std::string FrameValue(const Frame& frame) {
  const std::vector<std::string> texts = FrameList(frame);
  return texts.empty() ? "" : texts[0];
}

inline bool IsAllZero(const Frame& frame) {
  return std::all_of(frame.begin(), frame.end(), [](char c) { return !c; });
}

// Socket helpers for tests that drive the transport by hand; both handle
// short transfers and never raise SIGPIPE.
inline bool SendAll(int fd, const void* data, size_t size) {
  for (const char* p = static_cast<const char*>(data); size > 0;) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes; nothing when the peer closed first or the time
// ran out (what arrived is then lost).
inline std::optional<std::string> ReadExactly(int fd, size_t size,
                                              milliseconds timeout) {
  // The receive time-out bounds the whole call (zero would mean none).
  const long ms = std::max<long>(timeout.count(), 1);
  const timeval tv{ms / 1000, ms % 1000 * 1000};
  std::string got(size, '\0');
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      recv(fd, got.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size)) {
    return std::nullopt;
  }
  return got;
}

// The enciphered form of the exchange with peers other than 127.0.0.1:
// a 24-byte nonce, then the ciphertext with its tag, under a 32-byte key.
namespace internal {
inline constexpr size_t kNonceSize =
    crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
inline constexpr size_t kSealSize =
    kNonceSize + crypto_aead_xchacha20poly1305_ietf_ABYTES;

inline const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
}  // namespace internal

inline std::string Seal(std::string_view plain, std::string_view key) {
  using namespace internal;
  if (sodium_init() < 0 || key.size() != 32) return {};
  std::string sealed(plain.size() + kSealSize, '\0');
  auto* nonce = reinterpret_cast<unsigned char*>(sealed.data());
  randombytes_buf(nonce, kNonceSize);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      nonce + kNonceSize, nullptr, Bytes(plain), plain.size(), nullptr, 0,
      nullptr, nonce, Bytes(key));
  return sealed;
}

inline std::optional<std::string> Unseal(std::string_view sealed,
                                         std::string_view key) {
  using namespace internal;
  if (sodium_init() < 0 || key.size() != 32 || sealed.size() < kSealSize) {
    return std::nullopt;
  }
  std::string plain(sealed.size() - kSealSize, '\0');
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          reinterpret_cast<unsigned char*>(plain.data()), nullptr, nullptr,
          Bytes(sealed) + kNonceSize, sealed.size() - kNonceSize, nullptr, 0,
          Bytes(sealed), Bytes(key)) != 0) {
    return std::nullopt;
  }
  return plain;
}

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
  explicit Sandbox(SandboxOptions options = {}) : stubs_(root_) {
    for (const char* dir : {"/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
                            "/mnt/jffs2/conf/app", "/tmp", "/var/run", "/dev",
                            "/proc/sys/net/ipv4", "/etc"}) {
      root_.MakeDir(dir);
    }
    // Everything of examples/ but etc/ (the image's own files) and the
    // top-level notes lives under /mnt/jffs2/conf on the device.
    namespace fs = std::filesystem;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(ExamplesDir())) {
      if (!options.example_tree || !entry.is_directory()) continue;
      const std::string name = entry.path().filename();
      if (name == "etc") {
        root_.Write("/etc/VERSION", ReadExample("etc/VERSION"));
      } else {
        fs::copy(entry.path(), root_.Host("/mnt/jffs2/conf/" + name),
                 fs::copy_options::recursive);
      }
    }
    for (const auto& [device_path, content] : options.files) {
      root_.Write(device_path, content);
    }
    // Install() leads this process's PATH with the stubs; the daemon gets
    // its own PATH instead, so the test process keeps the one it had.
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    stubs_.Install();
    setenv("PATH", path.c_str(), 1);
    if (options.message_center) {
      listener_ = std::make_unique<MsgListener>(root_);
    }
    if (options.cipher_key) {
      if (sodium_init() < 0) abort();
      key_.resize(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
      randombytes_buf(key_.data(), key_.size());
      root_.Write("/etc/cms/cipher.key", key_);
    }
    // A free port: the one the kernel picks for a bind to port 0.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
    close(fd);
    UseFromThisProcess();
  }
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
  bool Start(const std::vector<std::string>& extra_env = {}) {
    Launch(extra_env);
    // The kernel's table tells when the port listens, at the cost of no
    // connection to the daemon. A sanitizer build needs a few seconds to
    // come up on a busy machine; a plain one needs milliseconds.
    char entry[48];
    snprintf(entry, sizeof entry, ": 0100007F:%04X 00000000:0000 0A ", port_);
    auto listens = [&] {
      return ReadHostFile("/proc/net/tcp").find(entry) != std::string::npos;
    };
    return WaitUntil([&] { return !Running() || listens(); },
                     std::chrono::seconds(20)) &&
           Running();
  }
  // Starts the daemon like Start but does not wait for the port; for
  // start-ups that are expected to fail.
  void Launch(const std::vector<std::string>& extra_env = {},
              const std::vector<std::string>& extra_args = {}) {
    Stop();
    std::vector<std::string> args = {
        CmsdPath(),    "--root", root_.dir(), "--port", std::to_string(port_),
        "--log-stderr"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<std::string> env = {"PATH=" + root_.Host("/stub_bin") + ":" +
                                    getenv("PATH")};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    pid_ = Spawn(args, env, "/cmsd", true);
  }
  // SIGKILL to the daemon and its process group, then reaps it. Safe to call
  // when nothing runs.
  void Stop() {
    if (pid_ <= 0) return;
    // The group first: commands the daemon left in the background die too.
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    Reap(0);
  }
  // Sends `sig` to the daemon alone. False when it is not running.
  bool Signal(int sig) { return Running() && kill(pid_, sig) == 0; }
  // Waits until the daemon ends; its exit code (128 + signal when killed),
  // or nothing when it still runs after `timeout`.
  std::optional<int> WaitExit(milliseconds timeout) {
    std::optional<int> code;
    WaitUntil([&] { return pid_ <= 0 || (code = Reap(WNOHANG)); }, timeout);
    return code;
  }
  // True while the daemon process exists (reaps it when it has ended).
  bool Running() { return pid_ > 0 && !Reap(WNOHANG); }

  // Everything the daemon wrote to standard output / standard error so far.
  std::string Stdout() const { return root_.Read("/cmsd.stdout"); }
  std::string Stderr() const { return root_.Read("/cmsd.stderr"); }
  // Waits until the daemon's standard error contains `text`.
  bool WaitForStderr(std::string_view text, milliseconds timeout) {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; },
                     timeout);
  }

  // Polls `done` every few milliseconds until it is true or the time is up;
  // returns its last result.
  static bool WaitUntil(const std::function<bool()>& done,
                        milliseconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         !done();) {
      if (std::chrono::steady_clock::now() >= end) return done();
      std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
  }

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
  int Connect(const char* source_ip = "127.0.0.1") const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = Loopback(0);
    const sockaddr_in to = Loopback(port_);
    inet_pton(AF_INET, source_ip, &from.sin_addr);
    if ((strcmp(source_ip, "127.0.0.1") != 0 &&
         bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      close(fd);
      fd = -1;
    }
    return fd;
  }
  // One plain exchange on a new connection: sends the frame, reads a whole
  // frame back. Nothing when the daemon closed the connection first or did
  // not answer within `timeout`.
  std::optional<Frame> Exchange(
      const Frame& request,
      milliseconds timeout = std::chrono::seconds(5)) const {
    const int fd = Connect();
    std::optional<std::string> got;
    if (fd >= 0 && SendAll(fd, request.data(), request.size())) {
      got = ReadExactly(fd, kFrameSize, timeout);
    }
    if (fd >= 0) close(fd);
    if (!got) return std::nullopt;
    Frame response;
    memcpy(response.data(), got->data(), kFrameSize);
    return response;
  }

  // Runs build/cms with `args` against this daemon (CMS_PORT and CMS_ROOT
  // set) and collects its output. The program is killed after `timeout`.
  ProgramResult RunCms(const std::vector<std::string>& args,
                       milliseconds timeout = std::chrono::seconds(10)) const {
    std::vector<std::string> argv = {CmsPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t child =
        Spawn(argv,
              {"CMS_PORT=" + std::to_string(port_), "CMS_ROOT=" + root_.dir(),
               "PATH=" + std::string(getenv("PATH"))},
              "/cms", false);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                   timeout)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    return {DecodeStatus(status), root_.Read("/cms.stdout"),
            root_.Read("/cms.stderr")};
  }

  // Sets CMS_PORT and CMS_ROOT of this test process to this sandbox, so
  // that the client library talks to this daemon. The constructor does it.
  void UseFromThisProcess() const {
    setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
    setenv("CMS_ROOT", root_.dir().c_str(), 1);
  }

 private:
  static sockaddr_in Loopback(int port) {
    return {AF_INET,
            htons(static_cast<uint16_t>(port)),
            {htonl(INADDR_LOOPBACK)},
            {}};
  }

  static int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  }

  // Starts program args[0] with this process's environment and `env`
  // ("NAME=value"), its output in <root><out>.stdout and .stderr, in a
  // process group of its own when `own_group`. The child's root and port
  // come from its command line or `env`, and the boot-loader variables
  // would change what a daemon imports at start: those are not inherited.
  pid_t Spawn(const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& out,
              bool own_group) const {
    std::vector<std::string> vars, drop = {"CMS_ROOT=", "CMS_PORT=", "PATH=",
                                           "reset_default=", "version_uboot="};
    for (const std::string& v : env)
      drop.push_back(v.substr(0, v.find('=') + 1));
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry = *e;
      if (std::none_of(drop.begin(), drop.end(), [&](const std::string& d) {
            return entry.starts_with(d);
          })) {
        vars.emplace_back(entry);
      }
    }
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& v : vars)
      envp.push_back(const_cast<char*>(v.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out_fd = open(root_.Host(out + ".stdout").c_str(), flags, 0644);
    const int err_fd = open(root_.Host(out + ".stderr").c_str(), flags, 0644);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
      // Only async-signal-safe calls up to the exec. A test binary that
      // dies (a failed sanitizer check, a timeout) must not leave its child
      // behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      if (own_group) setpgid(0, 0);
      dup2(out_fd, STDOUT_FILENO);
      dup2(err_fd, STDERR_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out_fd);
    close(err_fd);
    if (child < 0 || out_fd < 0 || err_fd < 0) abort();
    // Also from this side, so that a group kill reaches the child at once
    // even if it has not run yet.
    if (own_group) setpgid(child, child);
    return child;
  }

  // Reaps the daemon if it has ended (waitid `flags`: WNOHANG or 0) and
  // kills what it left in its process group; its exit code, or nothing
  // while it runs.
  std::optional<int> Reap(int flags) {
    // Look without reaping first: while the ended daemon is a zombie its
    // pid, and with it the process group id, cannot be given to anyone
    // else, so the group kill cannot hit a stranger.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info,
               WEXITED | WNOWAIT | flags) != 0 ||
        info.si_pid != pid_) {
      return std::nullopt;
    }
    kill(-pid_, SIGKILL);  // whatever it left running in the background
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return DecodeStatus(status);
  }

  TempRoot root_;
  StubPrograms stubs_;
  std::unique_ptr<MsgListener> listener_;
  std::string key_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace cms::testing
