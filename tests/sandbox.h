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
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

inline constexpr size_t kFrameSize = 1024;
using Frame = std::array<char, kFrameSize>;
inline constexpr size_t kValueOffset = 76;  // 800 bytes
inline constexpr int32_t kStatusOk = 6;
inline constexpr int32_t kTestPid = 4242;  // in every request made here

// Texts are copied with the limits of their areas, so they stay terminated.
inline Frame MakeFrame(int32_t cmd, std::string_view name = {},
                       std::string_view value = {},
                       std::string_view location = {}) {
  Frame f{};
  const int32_t head[] = {kTestPid, cmd};
  memcpy(f.data(), head, sizeof head);
  name.copy(f.data() + 12, 63);
  value.copy(f.data() + kValueOffset, 799);
  location.copy(f.data() + 876, 63);
  return f;
}
// A list for commands 35 and 36: each text and its zero byte, then a zero.
inline Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& list) {
  Frame frame = MakeFrame(cmd);
  for (size_t at = kValueOffset; const std::string& text : list) {
    if (at + text.size() + 2 > kValueOffset + 800) break;
    at += text.copy(frame.data() + at, text.size()) + 1;
  }
  return frame;
}
inline Frame ToFrame(std::string_view bytes) {
  Frame frame{};
  bytes.copy(frame.data(), kFrameSize);
  return frame;
}
inline int32_t FrameInt(const Frame& f, size_t at) {
  int32_t v;
  memcpy(&v, f.data() + at, sizeof v);
  return v;
}
inline int32_t FramePid(const Frame& f) { return FrameInt(f, 0); }
inline int32_t FrameStatus(const Frame& f) { return FrameInt(f, 4); }
// The texts of the response's value area, up to the empty text.
inline std::vector<std::string> FrameList(const Frame& f) {
  std::vector<std::string> texts;
  for (size_t at = kValueOffset; at < kValueOffset + 800 && f[at];) {
    texts.emplace_back(f.data() + at, strnlen(f.data() + at, 876 - at));
    at += texts.back().size() + 1;
  }
  return texts;
}
inline std::string FrameValue(const Frame& f) {
  return {f.data() + kValueOffset, strnlen(f.data() + kValueOffset, 800)};
}
inline bool IsOk(const std::optional<Frame>& r) {
  return r && FrameStatus(*r) == kStatusOk;
}
// Blocking sends are whole; this one never raises SIGPIPE.
inline bool SendAll(int fd, const void* data, size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}
// Exactly `size` bytes; nothing when the peer closed first or time ran out.
inline std::optional<std::string> ReadExactly(int fd, size_t size,
                                              milliseconds timeout) {
  const long ms = std::max<long>(timeout.count(), 1);  // zero means none
  const timeval tv{ms / 1000, ms % 1000 * 1000};
  std::string got(size, '\0');
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      recv(fd, got.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size)) {
    return std::nullopt;
  }
  return got;
}

// One frame out on `fd`, one back; nothing when the peer closed first or
// did not answer in time.
inline std::optional<Frame> RoundTrip(int fd, const Frame& request,
                                      milliseconds timeout = seconds(5)) {
  if (!SendAll(fd, request.data(), kFrameSize)) return std::nullopt;
  const std::optional<std::string> got = ReadExactly(fd, kFrameSize, timeout);
  return got ? std::optional(ToFrame(*got)) : std::nullopt;
}

// The enciphered exchange of peers other than 127.0.0.1 (XChaCha20-Poly1305,
// 24-byte nonce first, then ciphertext and tag): the first 984 bytes of the
// frame go out as 1024, the answer comes as 1052 and deciphers to its first
// 1012 bytes. The frame is stamped with the time of sealing unless it
// carries one. Nothing when no answer came, "" when it did not decipher.
inline int64_t WallMs() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
// Stamps the sealing time unless told not to (a client that does not stamp).
inline std::array<unsigned char, 1024> Seal(Frame frame, std::string_view key,
                                            bool stamp = true) {
  if (stamp && FrameInt(frame, CMS_SEALED_TIME_OFFSET) == 0) {
    const int64_t now = WallMs();
    memcpy(frame.data() + CMS_SEALED_TIME_OFFSET, &now, sizeof now);
  }
  std::array<unsigned char, 1024> out;
  randombytes_buf(out.data(), 24);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      out.data() + 24, nullptr, (const unsigned char*)frame.data(), 984,
      nullptr, 0, nullptr, out.data(), (const unsigned char*)key.data());
  return out;
}
inline std::optional<std::string> SealedRoundTrip(int fd, const Frame& frame,
                                                  std::string_view key) {
  auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const std::array<unsigned char, 1024> out = Seal(frame, key);
  std::optional<std::string> in;
  if (SendAll(fd, out.data(), out.size()))
    in = ReadExactly(fd, 1052, seconds(10));
  if (!in) return std::nullopt;
  auto* sealed = reinterpret_cast<const unsigned char*>(in->data());
  std::string plain(1012, '\0');
  return crypto_aead_xchacha20poly1305_ietf_decrypt(
             (unsigned char*)plain.data(), nullptr, nullptr, sealed + 24, 1028,
             nullptr, 0, sealed, k) == 0
             ? plain
             : "";
}

// `text` with the first occurrence of each `from` replaced by its `to`.
inline std::string Edit(std::string text,
                        const std::map<std::string, std::string>& edits) {
  for (const auto& [from, to] : edits)
    text.replace(text.find(from), from.size(), to);
  return text;
}

// What /proc tells about a running daemon.
struct ProcStats {
  long rss_kb = 0, threads = 0, fds = 0;
  long other_switches = 0;  // wakeups of every thread but the main one
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
  const std::string dir = "/proc/" + std::to_string(pid);
  std::error_code ec;
  ProcStats s{StatusField(dir + "/status", "VmRSS"),
              StatusField(dir + "/status", "Threads"),
              std::distance(fs::directory_iterator(dir + "/fd", ec), {})};
  clockid_t clock;
  timespec cpu{};
  if (clock_getcpuclockid(pid, &clock) == 0) clock_gettime(clock, &cpu);
  s.cpu_seconds = cpu.tv_sec + cpu.tv_nsec / 1e9;
  for (const fs::path& task : fs::directory_iterator(dir + "/task", ec)) {
    if (task.filename() == std::to_string(pid)) continue;
    s.other_switches += StatusField(task / "status", "voluntary_ctxt_switches");
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
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  // Threads that ended in the window take their counts with them.
  const long wakeups = std::max(0L, b.other_switches - a.other_switches);
  return {(b.cpu_seconds - a.cpu_seconds) / s,
          static_cast<double>(wakeups) / s};
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
  // `files` go over the example tree (examples/ under /mnt/jffs2/conf, its
  // etc/VERSION in /etc). The message center collects triggers.
  explicit Sandbox(const Files& files = {}, bool message_center = true)
      : stubs_(*this) {
    for (const char* dir : {"/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
                            "/mnt/jffs2/conf/app", "/tmp", "/var/run", "/dev",
                            "/proc/sys/net/ipv4", "/etc"}) {
      MakeDir(dir);
    }
    for (const char* dir : {"user", "isp", "app"}) {
      fs::copy(kExamples + dir, Host("/mnt/jffs2/conf/") + dir,
               fs::copy_options::recursive);
    }
    Write("/etc/VERSION", ReadExample("etc/VERSION"));
    for (const auto& [path, content] : files) Write(path, content);
    // Only the daemon gets the stubs first on PATH.
    const std::string path = getenv("PATH");
    stubs_.Install();
    setenv("PATH", path.c_str(), 1);
    if (message_center) listener_ = std::make_unique<MsgListener>(*this);
    // Room for hundreds of connections; a daemon started later inherits it.
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    if (sodium_init() < 0) abort();
    key_.resize(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
    randombytes_buf(key_.data(), key_.size());
    Write("/etc/cms/cipher.key", key_);
    // A free port: the one the kernel picks for a bind to port 0.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    close(fd);
    // The client library of this process talks to this daemon.
    setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
    setenv("CMS_ROOT", dir().c_str(), 1);
  }
  ~Sandbox() { Stop(); }

  // Every configuration file under /mnt/jffs2/conf.
  Files ConfFiles() const {
    Files files;
    for (const auto& e :
         fs::recursive_directory_iterator(Host("/mnt/jffs2/conf"))) {
      if (e.is_regular_file())
        files[e.path().string().substr(dir().size())] = ReadHost(e.path());
    }
    return files;
  }
  static std::string ReadExample(const std::string& relative_path) {
    return ReadHost(kExamples + relative_path);
  }
  const StubPrograms& stubs() const { return stubs_; }
  MsgListener* messages() { return listener_.get(); }  // null without one
  int port() const { return port_; }
  pid_t pid() const { return pid_; }  // -1 when no daemon runs
  const std::string& cipher_key() const { return key_; }

  // Starts cmsd --root R --port P --log-stderr and, if asked, waits
  // (bounded) until the port listens; false when the daemon exited or did
  // not listen in time. The port listens before the event loop runs: wait for
  // the ready event or the marker before sending signals. The daemon dies with
  // the thread that started it: start it from the test's own thread.
  bool Start(bool wait = true, const std::vector<std::string>& extra = {}) {
    Stop();
    // CMS_TEST_CMSD names another daemon to test (a ThreadSanitizer build).
    const char* other = getenv("CMS_TEST_CMSD");
    std::vector<std::string> args = {
        other && *other ? other : CMS_BUILD_DIR "/cmsd", "--root", dir(),
        "--port", std::to_string(port_), "--log-stderr"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = Spawn(args, {"PATH=" + Host("/stub_bin:") + getenv("PATH")},
                 "/cmsd");
    // The kernel's table tells when the port listens, at the cost of no
    // connection. A sanitizer build needs seconds on a busy machine.
    char entry[48];
    snprintf(entry, sizeof entry, ": 0100007F:%04X 00000000:0000 0A ", port_);
    auto listens = [&] {
      return ReadHost("/proc/net/tcp").find(entry) != std::string::npos;
    };
    return !wait ||
           (WaitUntil([&] { return !Running() || listens(); }, seconds(20)) &&
            Running() && listens());
  }
  // SIGKILL to the daemon and its process group, then reaps it.
  void Stop() {
    if (pid_ <= 0) return;
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
    const std::optional<Frame> r = RoundTrip(fd, request, timeout);
    close(fd);
    return r;
  }

  // One request on a new connection: "ok:" and the value answered,
  // "failed", or "no answer".
  std::string Ask(int32_t cmd, std::string_view name,
                  std::string_view value = {},
                  std::string_view location = {}) const {
    const std::optional<Frame> r =
        Exchange(MakeFrame(cmd, name, value, location));
    if (!r || FramePid(*r) != kTestPid) return "no answer";
    return IsOk(r) ? "ok:" + FrameValue(*r) : "failed";
  }

  // Runs build/cms against this daemon; after `timeout` it gets SIGINT,
  // and SIGKILL a second later.
  ProgramResult RunCms(std::vector<std::string> args,
                       milliseconds timeout = seconds(10)) const {
    args.insert(args.begin(), CMS_BUILD_DIR "/cms");
    const pid_t child =
        Spawn(args,
              {"PATH=" + std::string(getenv("PATH")),
               "CMS_PORT=" + std::to_string(port_), "CMS_ROOT=" + dir()},
              "/cms");
    int status = 0;
    auto ended = [&] { return waitpid(child, &status, WNOHANG) == child; };
    for (int sig : {SIGINT, SIGKILL}) {
      if (WaitUntil(ended, sig == SIGINT ? timeout : seconds(1))) break;
      kill(child, sig);
      if (sig == SIGKILL) waitpid(child, &status, 0);
    }
    return {DecodeStatus(status), Read("/cms.stdout"), Read("/cms.stderr")};
  }

 private:
  static inline const std::string kExamples = CMS_SOURCE_DIR "/examples/";

  static sockaddr_in Loopback(int port) {
    return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  }
  static int DecodeStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Starts args[0] in a process group of its own with `env` ("NAME=value",
  // PATH among them) and this process's environment but for PATH, root,
  // port and the boot-loader variables, which change what a daemon imports
  // at start; its output goes to <root><out>.stdout and .stderr.
  pid_t Spawn(const std::vector<std::string>& args,
              std::vector<std::string> env, const std::string& out) const {
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view v = *e;
      if (!v.starts_with("PATH=") && !v.starts_with("CMS_") &&
          !v.starts_with("reset_default=") && !v.starts_with("version_uboot="))
        env.emplace_back(v);
    }
    auto c_strings = [](const std::vector<std::string>& v) {
      std::vector<char*> p;
      for (const std::string& s : v) p.push_back(const_cast<char*>(s.c_str()));
      p.push_back(nullptr);
      return p;
    };
    std::vector<char*> argv = c_strings(args), envp = c_strings(env);
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
      setpgid(0, 0);
      dup2(out_fd, STDOUT_FILENO);
      dup2(err_fd, STDERR_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out_fd);
    close(err_fd);
    if (child < 0 || out_fd < 0 || err_fd < 0) abort();
    // From this side too, so a group kill reaches a child that has not run.
    setpgid(child, child);
    return child;
  }

  // Reaps the daemon if it has ended (`flags` WNOHANG or 0) and kills what
  // it left running in its group; its exit code, or nothing while it runs.
  std::optional<int> Reap(int flags) {
    // Look without reaping first: while the daemon is a zombie its pid, and
    // with it the group id, cannot go to anyone else.
    siginfo_t info{};
    if (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT | flags) != 0 ||
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
