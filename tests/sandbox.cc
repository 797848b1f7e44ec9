// sandbox.cc - starts, watches and stops build/cmsd in a temporary root.
#include "tests/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "client/cms_client.h"

extern char** environ;

namespace cms::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kKeySize = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kNonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;

// Whole content of a host file; empty when it cannot be read.
std::string ReadHost(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  const bool ok =
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

// True when a socket listens on 127.0.0.1:port. Read from the kernel's table
// instead of connecting, so that the check costs the daemon no connection.
bool PortListens(int port) {
  char entry[48];
  snprintf(entry, sizeof entry, ": 0100007F:%04X 00000000:0000 0A ", port);
  return ReadHost("/proc/net/tcp").find(entry) != std::string::npos;
}

// This process's environment without the variables named in `drop` or set
// by `add`, then `add`.
std::vector<std::string> Environment(std::vector<std::string> drop,
                                     const std::vector<std::string>& add) {
  for (const std::string& a : add) drop.push_back(a.substr(0, a.find('=')));
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry = *e;
    if (std::none_of(drop.begin(), drop.end(), [&](const std::string& name) {
          return entry.starts_with(name + "=");
        })) {
      env.emplace_back(entry);
    }
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& t : texts)
    pointers.push_back(const_cast<char*>(t.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Starts program args[0] with `env`, its output into the host files `out`
// and `err`, in a process group of its own when `own_group`.
pid_t Spawn(const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& out,
            const std::string& err, bool own_group) {
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int out_fd = open(out.c_str(), flags, 0644);
  const int err_fd = open(err.c_str(), flags, 0644);
  if (out_fd < 0 || err_fd < 0) abort();
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls up to the exec. A test binary that dies
    // (a failed sanitizer check, a timeout) must not leave its child behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (own_group) setpgid(0, 0);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_fd);
  close(err_fd);
  if (child < 0) abort();
  // Also from this side, so that a group kill reaches the child at once
  // even if it has not run yet.
  if (own_group) setpgid(child, child);
  return child;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

CMSPacket Packet(const Frame& frame) {
  CMSPacket packet;
  memcpy(&packet, frame.data(), sizeof packet);
  return packet;
}

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string CmsdPath() { return std::string(CMS_BUILD_DIR) + "/cmsd"; }
std::string CmsPath() { return std::string(CMS_BUILD_DIR) + "/cms"; }
std::string ExamplesDir() { return std::string(CMS_SOURCE_DIR) + "/examples"; }

std::string ReadExample(std::string_view relative_path) {
  return ReadHost(ExamplesDir() + "/" + std::string(relative_path));
}

Sandbox::Sandbox(SandboxOptions options) : stubs_(root_) {
  for (const char* dir : {"/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
                          "/mnt/jffs2/conf/app", "/tmp", "/var/run", "/dev",
                          "/proc/sys/net/ipv4", "/etc"}) {
    root_.MakeDir(dir);
  }
  if (options.example_tree) {
    // Everything but etc/ (the image's own files) and the top-level notes
    // lives under /mnt/jffs2/conf on the device.
    for (const fs::directory_entry& entry :
         fs::directory_iterator(ExamplesDir())) {
      if (!entry.is_directory() || entry.path().filename() == "etc") continue;
      fs::copy(
          entry.path(),
          root_.Host("/mnt/jffs2/conf/") + entry.path().filename().string(),
          fs::copy_options::recursive);
    }
    root_.Write("/etc/VERSION", ReadExample("etc/VERSION"));
  }
  for (const auto& [device_path, content] : options.files) {
    root_.Write(device_path, content);
  }
  // Install() leads this process's PATH with the stubs; the daemon gets its
  // own PATH instead, so the test process keeps the one it had.
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  stubs_.Install();
  setenv("PATH", path.c_str(), 1);
  if (options.message_center) listener_ = std::make_unique<MsgListener>(root_);
  if (options.cipher_key) {
    if (sodium_init() < 0) abort();
    key_.resize(kKeySize);
    randombytes_buf(key_.data(), key_.size());
    root_.Write("/etc/cms/cipher.key", key_);
  }
  port_ = FreeLoopbackPort();
  UseFromThisProcess();
}

void Sandbox::UseFromThisProcess() const {
  setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
  setenv("CMS_ROOT", root_.dir().c_str(), 1);
}

void Sandbox::Launch(const std::vector<std::string>& extra_env,
                     const std::vector<std::string>& extra_args) {
  Stop();
  std::vector<std::string> args = {
      CmsdPath(),    "--root", root_.dir(), "--port", std::to_string(port_),
      "--log-stderr"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  // Root and port come from the command line, and the boot-loader
  // variables change what the daemon imports at start.
  std::vector<std::string> add = {
      "PATH=" + root_.Host("/stub_bin") + ":" +
      (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
  add.insert(add.end(), extra_env.begin(), extra_env.end());
  pid_ = Spawn(
      args,
      Environment({"CMS_ROOT", "CMS_PORT", "reset_default", "version_uboot"},
                  add),
      root_.Host("/cmsd.stdout"), root_.Host("/cmsd.stderr"), true);
}

bool Sandbox::Start(const std::vector<std::string>& extra_env) {
  Launch(extra_env);
  // A sanitizer build of the daemon needs a few seconds to come up on a
  // busy machine; a plain one needs milliseconds.
  return WaitUntil([this] { return !Running() || PortListens(port_); },
                   std::chrono::seconds(20)) &&
         Running();
}

void Sandbox::Stop() {
  if (pid_ <= 0) return;
  // The group first: commands the daemon left in the background die with it.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  Reap(0);
}

bool Sandbox::Signal(int sig) { return Running() && kill(pid_, sig) == 0; }

bool Sandbox::Running() { return pid_ > 0 && !Reap(WNOHANG).has_value(); }

std::optional<int> Sandbox::Reap(int flags) {
  // Look without reaping first: while the ended daemon is a zombie its pid,
  // and with it the process group id, cannot be given to anyone else, so
  // the group kill cannot hit a stranger.
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

std::optional<int> Sandbox::WaitExit(milliseconds timeout) {
  std::optional<int> code;
  if (pid_ > 0)
    WaitUntil([&] { return (code = Reap(WNOHANG)).has_value(); }, timeout);
  return code;
}

bool Sandbox::WaitForStderr(std::string_view text, milliseconds timeout) {
  return WaitUntil([&] { return Stderr().find(text) != std::string::npos; },
                   timeout);
}

bool Sandbox::WaitUntil(const std::function<bool()>& done,
                        milliseconds timeout) {
  for (const auto deadline = Clock::now() + timeout; !done();) {
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

int Sandbox::Connect(const char* source_ip) const {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  inet_pton(AF_INET, source_ip, &addr.sin_addr);
  const sockaddr_in daemon = Loopback(port_);
  if (fd >= 0 &&
      (strcmp(source_ip, "127.0.0.1") == 0 ||
       bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) &&
      connect(fd, reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon) ==
          0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

std::optional<Frame> Sandbox::Exchange(const Frame& request,
                                       milliseconds timeout) const {
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

ProgramResult Sandbox::RunCms(const std::vector<std::string>& args,
                              milliseconds timeout) const {
  std::vector<std::string> all = {CmsPath()};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t child = Spawn(
      all,
      Environment(
          {}, {"CMS_PORT=" + std::to_string(port_), "CMS_ROOT=" + root_.dir()}),
      root_.Host("/cms.stdout"), root_.Host("/cms.stderr"), false);
  int status = 0;
  if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                 timeout)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  return {DecodeStatus(status), root_.Read("/cms.stdout"),
          root_.Read("/cms.stderr")};
}

Frame MakeFrame(int32_t cmd, std::string_view name, std::string_view value,
                std::string_view location, int32_t pid) {
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

Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& texts,
                    int32_t pid) {
  Frame frame = MakeFrame(cmd, {}, {}, {}, pid);
  size_t at = kValueOffset;
  // Each text needs room for its zero byte and the list's final one.
  for (const std::string& text : texts) {
    if (at + text.size() + 2 > kValueOffset + kValueSize) break;
    memcpy(frame.data() + at, text.data(), text.size());
    at += text.size() + 1;
  }
  return frame;
}

int32_t FramePid(const Frame& frame) { return Packet(frame).pid; }
int32_t FrameStatus(const Frame& frame) { return Packet(frame).status; }

std::string FrameValue(const Frame& frame) {
  const char* begin = frame.data() + kValueOffset;
  return std::string(begin, strnlen(begin, kValueSize));
}

std::vector<std::string> FrameList(const Frame& frame) {
  std::vector<std::string> texts;
  for (size_t at = 0; at < kValueSize && frame[kValueOffset + at] != '\0';) {
    const char* begin = frame.data() + kValueOffset + at;
    texts.emplace_back(begin, strnlen(begin, kValueSize - at));
    at += texts.back().size() + 1;
  }
  return texts;
}

bool IsAllZero(const Frame& frame) {
  return std::all_of(frame.begin(), frame.end(), [](char c) { return c == 0; });
}

bool SendAll(int fd, const void* data, size_t size) {
  for (const char* p = static_cast<const char*>(data); size > 0;) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> ReadExactly(int fd, size_t size,
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

std::string Seal(std::string_view plain, std::string_view key) {
  if (sodium_init() < 0 || key.size() != kKeySize) return {};
  std::string sealed(kNonceSize + plain.size() + kTagSize, '\0');
  auto* nonce = reinterpret_cast<unsigned char*>(sealed.data());
  randombytes_buf(nonce, kNonceSize);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      nonce + kNonceSize, nullptr, Bytes(plain), plain.size(), nullptr, 0,
      nullptr, nonce, Bytes(key));
  return sealed;
}

std::optional<std::string> Unseal(std::string_view sealed,
                                  std::string_view key) {
  if (sodium_init() < 0 || key.size() != kKeySize ||
      sealed.size() < kNonceSize + kTagSize) {
    return std::nullopt;
  }
  std::string plain(sealed.size() - kNonceSize - kTagSize, '\0');
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          reinterpret_cast<unsigned char*>(plain.data()), nullptr, nullptr,
          Bytes(sealed) + kNonceSize, sealed.size() - kNonceSize, nullptr, 0,
          Bytes(sealed), Bytes(key)) != 0) {
    return std::nullopt;
  }
  return plain;
}

}  // namespace cms::testing
