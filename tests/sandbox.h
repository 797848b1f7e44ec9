// sandbox.h - runs the real build/cmsd in a throw-away root for end-to-end
// tests: example configuration tree, recording stub programs, a message
// center, a free loopback port, and helpers to talk to the daemon and to
// watch it through /proc.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "client/cms_client.h"
#include "tests/msg_listener.h"
#include "tests/stub_programs.h"
#include "tests/temp_root.h"

namespace cms::testing {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

inline constexpr size_t kFrameSize = 1024;
using Frame = std::array<char, kFrameSize>;
inline constexpr size_t kCmdOffset = 4;  // the status in a response
inline constexpr size_t kNameOffset = 12;
inline constexpr size_t kValueOffset = 76;
inline constexpr size_t kValueSize = 800;
inline constexpr int32_t kStatusOk = 6;
inline constexpr int32_t kStatusFailed = 7;
// The pid the frame helpers put into requests.
inline constexpr int32_t kTestPid = 4242;

// CMS_TEST_CMSD names another daemon to test (a ThreadSanitizer build, say).
inline std::string CmsdPath() {
  const char* other = getenv("CMS_TEST_CMSD");
  return other != nullptr && *other ? other : CMS_BUILD_DIR "/cmsd";
}

// Whole content of a host file; empty when it cannot be read.
inline std::string ReadHostFile(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}
// A file of the example tree by its path below examples/.
inline std::string ReadExample(std::string_view relative_path) {
  return ReadHostFile(CMS_SOURCE_DIR "/examples/" + std::string(relative_path));
}

// Texts are copied with the limits of their areas, so they stay terminated.
inline Frame MakeFrame(int32_t cmd, std::string_view name = {},
                       std::string_view value = {},
                       std::string_view location = {}) {
  CMSPacket packet{};
  packet.pid = kTestPid;
  packet.cmd = cmd;
  name.copy(packet.name, sizeof packet.name - 1);
  value.copy(packet.value, sizeof packet.value - 1);
  location.copy(packet.location, sizeof packet.location - 1);
  Frame frame;
  memcpy(frame.data(), &packet, sizeof packet);
  return frame;
}
// A list for commands 35 and 36: each text and its zero byte, then a zero.
inline Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& texts) {
  Frame frame = MakeFrame(cmd);
  size_t at = kValueOffset;
  for (const std::string& text : texts) {
    if (at + text.size() + 2 > kValueOffset + kValueSize) break;
    memcpy(frame.data() + at, text.data(), text.size());
    at += text.size() + 1;
  }
  return frame;
}
inline Frame ToFrame(std::string_view bytes) {
  Frame frame{};
  memcpy(frame.data(), bytes.data(), std::min(bytes.size(), kFrameSize));
  return frame;
}
inline int32_t FrameInt(const Frame& f, size_t at) {
  int32_t v;
  memcpy(&v, f.data() + at, sizeof v);
  return v;
}
inline int32_t FramePid(const Frame& f) { return FrameInt(f, 0); }
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
inline std::string FrameValue(const Frame& f) {
  return {f.data() + kValueOffset,
          strnlen(f.data() + kValueOffset, kValueSize)};
}
inline bool IsAllZero(const Frame& frame) {
  return std::all_of(frame.begin(), frame.end(), [](char c) { return !c; });
}

// Handles short sends and never raises SIGPIPE.
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
// Exactly `size` bytes; nothing when the peer closed first or time ran out.
inline std::optional<std::string> ReadExactly(int fd, size_t size,
                                              milliseconds timeout) {
  const long ms = std::max<long>(timeout.count(), 1);  // zero would mean none
  const timeval tv{ms / 1000, ms % 1000 * 1000};
  std::string got(size, '\0');
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      recv(fd, got.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size)) {
    return std::nullopt;
  }
  return got;
}

// The enciphered exchange with peers other than 127.0.0.1: a 24-byte
// nonce, then the ciphertext with its tag, under a 32-byte key.
inline constexpr size_t kNonceSize =
    crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
inline constexpr size_t kSealSize =
    kNonceSize + crypto_aead_xchacha20poly1305_ietf_ABYTES;
inline const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
inline std::string Seal(std::string_view plain, std::string_view key) {
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
  std::string plain(sealed.size() - kSealSize, '\0');
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          reinterpret_cast<unsigned char*>(plain.data()), nullptr, nullptr,
          Bytes(sealed) + kNonceSize, sealed.size() - kNonceSize, nullptr, 0,
          Bytes(sealed), Bytes(key)) != 0) {
    return std::nullopt;
  }
  return plain;
}
// One sealed request on `fd`: the first 984 bytes of the frame go out as
// 1024, the answer comes as 1052 and deciphers to its first 1012 bytes.
inline std::optional<std::string> SealedRoundTrip(int fd, const Frame& frame,
                                                  std::string_view key) {
  const std::string wire = Seal(std::string_view(frame.data(), 984), key);
  if (!SendAll(fd, wire.data(), wire.size())) return std::nullopt;
  const std::optional<std::string> answer = ReadExactly(fd, 1052, seconds(10));
  return answer ? Unseal(*answer, key) : std::nullopt;
}

// For tests with hundreds of connections; a daemon started later inherits it.
inline void RaiseDescriptorLimit() {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// What /proc tells about a running daemon.
struct ProcStats {
  long rss_kb = 0, threads = 0, fds = 0;
  long other_switches = 0;  // context switches of every thread but the main
  double cpu_seconds = 0;   // user + system, all threads
};
inline long StatusField(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key + ":"))
      return std::stol(line.substr(key.size() + 1));
  }
  return 0;
}
inline ProcStats ReadProcStats(pid_t pid) {
  namespace fs = std::filesystem;
  const std::string base = "/proc/" + std::to_string(pid);
  std::error_code ec;
  ProcStats s{StatusField(base + "/status", "VmRSS"),
              StatusField(base + "/status", "Threads"),
              std::distance(fs::directory_iterator(base + "/fd", ec), {})};
  // After the name: field 3 (state) onwards; utime and stime are 14, 15.
  const std::string stat = ReadHostFile(base + "/stat");
  std::istringstream fields(
      stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
  std::string field;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) s.cpu_seconds += std::stod(field) / sysconf(_SC_CLK_TCK);
  }
  for (const fs::directory_entry& task :
       fs::directory_iterator(base + "/task", ec)) {
    if (task.path().filename() == std::to_string(pid)) continue;
    for (const char* key :
         {"voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"})
      s.other_switches += StatusField(task.path() / "status", key);
  }
  return s;
}
// CPU share of one core, and wakeups per second of the threads other than
// the main one, of a daemon left alone for `window`.
struct IdleSample {
  double cpu_share, other_wakeups;
};
inline IdleSample SampleIdle(pid_t pid, milliseconds window) {
  const ProcStats a = ReadProcStats(pid);
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(window);
  const ProcStats b = ReadProcStats(pid);
  const double secs =
      std::chrono::duration<double>(Clock::now() - start).count();
  // Threads that ended in the window take their counts with them.
  return {
      (b.cpu_seconds - a.cpu_seconds) / secs,
      static_cast<double>(std::max(0L, b.other_switches - a.other_switches)) /
          secs};
}

// Device path -> content.
using Files = std::map<std::string, std::string>;

struct ProgramResult {
  int exit_code = -1;  // 128 + signal number when killed by a signal
  std::string out, err;
};

// The root's files are read and written by device path (TempRoot).
class Sandbox : public TempRoot {
 public:
  // `files` are written over the example tree (examples/ goes to
  // /mnt/jffs2/conf, examples/etc/VERSION to /etc). The message center
  // binds its socket, so that triggers are delivered.
  explicit Sandbox(const Files& files = {}, bool example_tree = true,
                   bool message_center = true)
      : stubs_(*this) {
    for (const char* dir : {"/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
                            "/mnt/jffs2/conf/app", "/tmp", "/var/run", "/dev",
                            "/proc/sys/net/ipv4", "/etc"}) {
      MakeDir(dir);
    }
    namespace fs = std::filesystem;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(CMS_SOURCE_DIR "/examples")) {
      if (!example_tree || !entry.is_directory()) continue;
      const std::string name = entry.path().filename();
      if (name == "etc") {
        Write("/etc/VERSION", ReadExample("etc/VERSION"));
      } else {
        fs::copy(entry.path(), Host("/mnt/jffs2/conf/" + name),
                 fs::copy_options::recursive);
      }
    }
    for (const auto& [device_path, content] : files)
      Write(device_path, content);
    // Only the daemon gets the stubs first on PATH.
    const std::string path = getenv("PATH");
    stubs_.Install();
    setenv("PATH", path.c_str(), 1);
    if (message_center) listener_ = std::make_unique<MsgListener>(*this);
    if (sodium_init() < 0) abort();
    key_.resize(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
    randombytes_buf(key_.data(), key_.size());
    Write("/etc/cms/cipher.key", key_);
    // A free port: the one the kernel picks for a bind to port 0.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
    close(fd);
    // The client library of this process talks to this daemon.
    setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
    setenv("CMS_ROOT", dir().c_str(), 1);
  }
  ~Sandbox() { Stop(); }

  const StubPrograms& stubs() const { return stubs_; }
  MsgListener* messages() { return listener_.get(); }  // null without one
  int port() const { return port_; }
  pid_t pid() const { return pid_; }  // -1 when no daemon runs
  const std::string& cipher_key() const { return key_; }

  // Starts cmsd --root R --port P --log-stderr and waits (bounded) until
  // the port listens; false when the daemon exited or did not listen in
  // time. The port listens before the event loop runs: wait for the ready
  // event or the marker before sending signals. The daemon dies with the
  // thread that started it: start it from the test's own thread.
  bool Start() {
    Launch();
    // The kernel's table tells when the port listens, at the cost of no
    // connection. A sanitizer build needs seconds on a busy machine.
    char entry[48];
    snprintf(entry, sizeof entry, ": 0100007F:%04X 00000000:0000 0A ", port_);
    return WaitUntil(
               [&] {
                 return !Running() ||
                        ReadHostFile("/proc/net/tcp").find(entry) !=
                            std::string::npos;
               },
               seconds(20)) &&
           Running();
  }
  // Starts the daemon without waiting for the port.
  void Launch() {
    Stop();
    pid_ = Spawn({CmsdPath(), "--root", dir(), "--port", std::to_string(port_),
                  "--log-stderr"},
                 {"PATH=" + Host("/stub_bin") + ":" + getenv("PATH")}, "/cmsd",
                 true);
  }
  // SIGKILL to the daemon and its process group, then reaps it.
  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);  // and what it left in the background
    kill(pid_, SIGKILL);
    Reap(0);
  }
  bool Signal(int sig) { return Running() && kill(pid_, sig) == 0; }
  // The exit code (128 + signal when killed); nothing while it still runs.
  std::optional<int> WaitExit(milliseconds timeout) {
    std::optional<int> code;
    WaitUntil([&] { return pid_ <= 0 || (code = Reap(WNOHANG)); }, timeout);
    return code;
  }
  bool Running() { return pid_ > 0 && !Reap(WNOHANG); }
  std::string Stderr() const { return Read("/cmsd.stderr"); }
  bool WaitForStderr(std::string_view text, milliseconds timeout) {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; },
                     timeout);
  }
  // Polls `done` every few milliseconds until it is true or time is up.
  static bool WaitUntil(const std::function<bool()>& done,
                        milliseconds timeout) {
    for (const auto end = Clock::now() + timeout; !done();) {
      if (Clock::now() >= end) return done();
      std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
  }

  // A connection to the daemon from `source_ip` (a loopback address;
  // "127.0.0.2" gets the enciphered exchange), non-blocking if asked;
  // -1 on failure.
  int Connect(const char* source_ip = "127.0.0.1", int flags = 0) const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in from = Loopback(0);
    const sockaddr_in to = Loopback(port_);
    inet_pton(AF_INET, source_ip, &from.sin_addr);
    if ((strcmp(source_ip, "127.0.0.1") != 0 &&
         bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
        (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
         errno != EINPROGRESS)) {
      close(fd);
      fd = -1;
    }
    return fd;
  }
  // One plain exchange on a new connection; nothing when the daemon closed
  // first or did not answer within `timeout`.
  std::optional<Frame> Exchange(const Frame& request,
                                milliseconds timeout = seconds(5)) const {
    const int fd = Connect();
    std::optional<std::string> got;
    if (fd >= 0 && SendAll(fd, request.data(), request.size())) {
      got = ReadExactly(fd, kFrameSize, timeout);
    }
    if (fd >= 0) close(fd);
    return got ? std::optional(ToFrame(*got)) : std::nullopt;
  }

  // Runs build/cms against this daemon; after `timeout` it gets SIGINT,
  // and SIGKILL a second later.
  ProgramResult RunCms(const std::vector<std::string>& args,
                       milliseconds timeout = seconds(10)) const {
    std::vector<std::string> argv = {CMS_BUILD_DIR "/cms"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t child =
        Spawn(argv,
              {"CMS_PORT=" + std::to_string(port_), "CMS_ROOT=" + dir(),
               "PATH=" + std::string(getenv("PATH"))},
              "/cms", false);
    int status = 0;
    auto ended = [&] { return waitpid(child, &status, WNOHANG) == child; };
    if (!WaitUntil(ended, timeout)) {
      kill(child, SIGINT);
      if (!WaitUntil(ended, seconds(1))) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
      }
    }
    return {DecodeStatus(status), Read("/cms.stdout"), Read("/cms.stderr")};
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

  // Starts args[0] with this process's environment and `env` ("NAME=value"),
  // its output in <root><out>.stdout and .stderr. Root, port and the
  // boot-loader variables (which change what a daemon imports at start) are
  // not inherited.
  pid_t Spawn(const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& out,
              bool own_group) const {
    std::vector<std::string> vars = env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry = *e;
      if (std::none_of(env.begin(), env.end(),
                       [&](auto& v) {
                         return entry.starts_with(v.substr(0, v.find('=') + 1));
                       }) &&
          !entry.starts_with("CMS_") && !entry.starts_with("reset_default=") &&
          !entry.starts_with("version_uboot=")) {
        vars.emplace_back(entry);
      }
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& v : vars)
      envp.push_back(const_cast<char*>(v.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out_fd = open(Host(out + ".stdout").c_str(), flags, 0644);
    const int err_fd = open(Host(out + ".stderr").c_str(), flags, 0644);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
      // Async-signal-safe calls only. A test binary that dies must not
      // leave its child behind.
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
    // From this side too, so a group kill reaches a child that has not run.
    if (own_group) setpgid(child, child);
    return child;
  }

  // Reaps the daemon if it has ended (`flags` WNOHANG or 0) and kills what
  // it left in its group; its exit code, or nothing while it runs.
  std::optional<int> Reap(int flags) {
    // Look without reaping first: while the daemon is a zombie its pid, and
    // with it the group id, cannot go to anyone else.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info,
               WEXITED | WNOWAIT | flags) != 0 ||
        info.si_pid != pid_) {
      return std::nullopt;
    }
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return DecodeStatus(status);
  }

  StubPrograms stubs_;
  std::unique_ptr<MsgListener> listener_;
  std::string key_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace cms::testing
