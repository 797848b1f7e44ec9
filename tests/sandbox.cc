// sandbox.cc - starts, watches and stops build/cmsd in a temporary root.
#include "tests/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace cms::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A sanitizer build of the daemon needs a few seconds to come up on a busy
// machine; a plain one needs milliseconds.
constexpr auto kStartTimeout = std::chrono::seconds(20);

constexpr const char* kDaemonOut = "/cmsd.stdout";
constexpr const char* kDaemonErr = "/cmsd.stderr";
constexpr const char* kCmsOut = "/cms.stdout";
constexpr const char* kCmsErr = "/cms.stderr";

// Variables a sandboxed daemon must not inherit from the test's own
// environment: its root and port come from the command line, and the
// boot-loader variables change what it imports at start.
constexpr const char* kDroppedVariables[] = {"PATH", "CMS_ROOT", "CMS_PORT",
                                             "reset_default", "version_uboot"};

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// True when a socket listens on 127.0.0.1:port. Read from the kernel's table
// instead of connecting, so that the check costs the daemon no connection.
bool PortListens(int port) {
  std::ifstream in("/proc/net/tcp");
  char local[32];
  snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local_addr, remote_addr, state;
    fields >> slot >> local_addr >> remote_addr >> state;
    if (local_addr == local && state == "0A") return true;
  }
  return false;
}

bool HasName(const std::string& entry, std::string_view name) {
  return entry.size() > name.size() &&
         entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
}

std::string EntryName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// Child side of fork: only async-signal-safe calls up to the exec.
[[noreturn]] void ExecChild(const char* program, char* const argv[],
                            char* const envp[], int out_fd, int err_fd,
                            bool own_group, pid_t parent) {
  // A test binary that dies (a failed sanitizer check, a timeout) must not
  // leave its daemon behind.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  if (own_group) setpgid(0, 0);
  dup2(out_fd, STDOUT_FILENO);
  dup2(err_fd, STDERR_FILENO);
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  execve(program, argv, envp);
  _exit(127);
}

struct Argv {
  explicit Argv(const std::vector<std::string>& texts) : storage(texts) {
    for (std::string& t : storage) pointers.push_back(t.data());
    pointers.push_back(nullptr);
  }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void PutInt(Frame& frame, size_t offset, int32_t v) {
  memcpy(frame.data() + offset, &v, sizeof v);
}

int32_t GetInt(const Frame& frame, size_t offset) {
  int32_t v;
  memcpy(&v, frame.data() + offset, sizeof v);
  return v;
}

void PutText(Frame& frame, size_t offset, size_t area, std::string_view text) {
  // copy_n, not memcpy: an empty view may carry a null pointer.
  std::copy_n(text.begin(), std::min(text.size(), area - 1),
              frame.begin() + static_cast<long>(offset));
}

}  // namespace

std::string CmsdPath() {
  // A daemon built another way (with ThreadSanitizer, say) can stand in for
  // the one built beside these tests.
  if (const char* other = getenv("CMS_TEST_CMSD"); other != nullptr && *other) {
    return other;
  }
  return std::string(CMS_BUILD_DIR) + "/cmsd";
}
std::string CmsPath() { return std::string(CMS_BUILD_DIR) + "/cms"; }
std::string ExamplesDir() { return std::string(CMS_SOURCE_DIR) + "/examples"; }

std::string ReadExample(std::string_view relative_path) {
  std::ifstream in(ExamplesDir() + "/" + std::string(relative_path),
                   std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Sandbox::Sandbox(SandboxOptions options) : stubs_(root_) {
  BuildTree(options);
  // Install() leads this process's PATH with the stubs; the daemon gets its
  // own PATH instead, so the test process keeps the one it had.
  const char* path = getenv("PATH");
  const std::string saved_path = path != nullptr ? path : "";
  stubs_.Install();
  setenv("PATH", saved_path.c_str(), 1);
  if (options.message_center) listener_ = std::make_unique<MsgListener>(root_);
  if (options.cipher_key) {
    if (sodium_init() < 0) abort();
    key_.resize(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
    randombytes_buf(key_.data(), key_.size());
    root_.Write("/etc/cms/cipher.key", key_);
  }
  port_ = FreeLoopbackPort();
  UseFromThisProcess();
}

Sandbox::~Sandbox() { Stop(); }

void Sandbox::BuildTree(const SandboxOptions& options) {
  for (const char* dir : {"/mnt/jffs2/conf/user", "/mnt/jffs2/conf/isp/user",
                          "/mnt/jffs2/conf/app", "/tmp", "/var/run", "/dev",
                          "/proc/sys/net/ipv4", "/etc"}) {
    root_.MakeDir(dir);
  }
  if (options.example_tree) {
    const fs::path examples = ExamplesDir();
    const fs::path conf = root_.Host("/mnt/jffs2/conf");
    // Everything but etc/ (the image's own files) and the top-level notes
    // lives under /mnt/jffs2/conf on the device.
    for (const fs::directory_entry& entry : fs::directory_iterator(examples)) {
      if (!entry.is_directory() || entry.path().filename() == "etc") continue;
      fs::copy(
          entry.path(), conf / entry.path().filename(),
          fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    const fs::path version = examples / "etc" / "VERSION";
    if (fs::exists(version)) {
      fs::copy_file(version, root_.Host("/etc/VERSION"),
                    fs::copy_options::overwrite_existing);
    }
  }
  for (const auto& [device_path, content] : options.files) {
    root_.Write(device_path, content);
  }
}

void Sandbox::UseFromThisProcess() const {
  setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
  setenv("CMS_ROOT", root_.dir().c_str(), 1);
}

std::vector<std::string> Sandbox::ChildEnvironment(
    const std::vector<std::string>& extra_env) const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool keep = true;
    for (const char* name : kDroppedVariables)
      keep = keep && !HasName(entry, name);
    for (const std::string& extra : extra_env)
      keep = keep && !HasName(entry, EntryName(extra));
    if (keep) env.push_back(entry);
  }
  const char* path = getenv("PATH");
  env.push_back("PATH=" + root_.Host("/stub_bin") + ":" +
                (path != nullptr ? path : "/usr/bin:/bin"));
  for (const std::string& extra : extra_env) env.push_back(extra);
  return env;
}

void Sandbox::Launch(const std::vector<std::string>& extra_env,
                     const std::vector<std::string>& extra_args) {
  Stop();
  std::vector<std::string> args = {
      CmsdPath(),    "--root", root_.dir(), "--port", std::to_string(port_),
      "--log-stderr"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  Argv argv(args);
  Argv envp(ChildEnvironment(extra_env));
  const int out_fd = open(root_.Host(kDaemonOut).c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err_fd = open(root_.Host(kDaemonErr).c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out_fd < 0 || err_fd < 0) abort();
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    ExecChild(argv.pointers[0], argv.pointers.data(), envp.pointers.data(),
              out_fd, err_fd, true, parent);
  }
  close(out_fd);
  close(err_fd);
  if (child < 0) abort();
  // Also from this side, so that Stop() can kill the group at once even
  // if the child has not run yet.
  setpgid(child, child);
  pid_ = child;
}

bool Sandbox::Start(const std::vector<std::string>& extra_env) {
  Launch(extra_env);
  const bool up = WaitUntil(
      [this] { return !Running() || PortListens(port_); },
      std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  return up && Running();
}

void Sandbox::Stop() {
  if (pid_ <= 0) return;
  // The group first: commands the daemon left in the background die with it.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
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
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return DecodeStatus(status);
}

std::optional<int> Sandbox::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (std::optional<int> code = Reap(WNOHANG)) return code;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string Sandbox::Stdout() const { return root_.Read(kDaemonOut); }
std::string Sandbox::Stderr() const { return root_.Read(kDaemonErr); }

bool Sandbox::WaitForStderr(std::string_view text,
                            std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return Stderr().find(text) != std::string::npos; },
                   timeout);
}

bool Sandbox::WaitUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int Sandbox::Connect(const char* source_ip) const {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (strcmp(source_ip, "127.0.0.1") != 0) {
    inet_pton(AF_INET, source_ip, &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      return -1;
    }
  }
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::optional<Frame> Sandbox::Exchange(
    const Frame& request, std::chrono::milliseconds timeout) const {
  const int fd = Connect();
  if (fd < 0) return std::nullopt;
  std::optional<Frame> response;
  if (SendAll(fd, request.data(), request.size())) {
    if (std::optional<std::string> got = ReadExactly(fd, kFrameSize, timeout)) {
      response.emplace();
      memcpy(response->data(), got->data(), kFrameSize);
    }
  }
  close(fd);
  return response;
}

ProgramResult Sandbox::RunCms(const std::vector<std::string>& args,
                              std::chrono::milliseconds timeout) const {
  std::vector<std::string> all = {CmsPath()};
  all.insert(all.end(), args.begin(), args.end());
  Argv argv(all);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!HasName(entry, "CMS_PORT") && !HasName(entry, "CMS_ROOT"))
      env.push_back(entry);
  }
  env.push_back("CMS_PORT=" + std::to_string(port_));
  env.push_back("CMS_ROOT=" + root_.dir());
  Argv envp(env);
  const int out_fd = open(root_.Host(kCmsOut).c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err_fd = open(root_.Host(kCmsErr).c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ProgramResult result;
  if (out_fd < 0 || err_fd < 0) abort();
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    ExecChild(argv.pointers[0], argv.pointers.data(), envp.pointers.data(),
              out_fd, err_fd, false, parent);
  }
  close(out_fd);
  close(err_fd);
  if (child < 0) abort();
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) break;
    if (Clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.exit_code = DecodeStatus(status);
  result.out = root_.Read(kCmsOut);
  result.err = root_.Read(kCmsErr);
  return result;
}

Frame MakeFrame(int32_t cmd, std::string_view name, std::string_view value,
                std::string_view location, int32_t pid) {
  Frame frame{};
  PutInt(frame, kPidOffset, pid);
  PutInt(frame, kCmdOffset, cmd);
  PutText(frame, kNameOffset, kNameSize, name);
  PutText(frame, kValueOffset, kValueSize, value);
  PutText(frame, kLocationOffset, kLocationSize, location);
  return frame;
}

Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& texts,
                    int32_t pid) {
  Frame frame = MakeFrame(cmd, {}, {}, {}, pid);
  size_t at = kValueOffset;
  for (const std::string& text : texts) {
    // Leave room for the text's zero byte and the list's final one.
    if (at + text.size() + 2 > kValueOffset + kValueSize) break;
    memcpy(frame.data() + at, text.data(), text.size());
    at += text.size() + 1;
  }
  return frame;
}

int32_t FramePid(const Frame& frame) { return GetInt(frame, kPidOffset); }
int32_t FrameStatus(const Frame& frame) { return GetInt(frame, kCmdOffset); }

std::string FrameValue(const Frame& frame) {
  const char* begin = frame.data() + kValueOffset;
  return std::string(begin, strnlen(begin, kValueSize));
}

std::vector<std::string> FrameList(const Frame& frame) {
  std::vector<std::string> texts;
  size_t at = 0;
  while (at < kValueSize && frame[kValueOffset + at] != '\0') {
    const char* begin = frame.data() + kValueOffset + at;
    const size_t n = strnlen(begin, kValueSize - at);
    texts.emplace_back(begin, n);
    at += n + 1;
  }
  return texts;
}

bool IsAllZero(const Frame& frame) {
  for (char c : frame) {
    if (c != '\0') return false;
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> ReadExactly(int fd, size_t size,
                                       std::chrono::milliseconds timeout) {
  std::string got(size, '\0');
  size_t have = 0;
  const auto deadline = Clock::now() + timeout;
  while (have < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = recv(fd, got.data() + have, size - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    have += static_cast<size_t>(n);
  }
  return got;
}

std::string Seal(std::string_view plain, std::string_view key) {
  if (sodium_init() < 0 ||
      key.size() != crypto_aead_xchacha20poly1305_ietf_KEYBYTES) {
    return {};
  }
  std::string sealed(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES +
                         plain.size() +
                         crypto_aead_xchacha20poly1305_ietf_ABYTES,
                     '\0');
  auto* nonce = reinterpret_cast<unsigned char*>(sealed.data());
  randombytes_buf(nonce, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  unsigned long long cipher_len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, &cipher_len,
      reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
      nullptr, 0, nullptr, nonce,
      reinterpret_cast<const unsigned char*>(key.data()));
  return sealed;
}

std::optional<std::string> Unseal(std::string_view sealed,
                                  std::string_view key) {
  constexpr size_t kOverhead = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES +
                               crypto_aead_xchacha20poly1305_ietf_ABYTES;
  if (sodium_init() < 0 ||
      key.size() != crypto_aead_xchacha20poly1305_ietf_KEYBYTES ||
      sealed.size() < kOverhead) {
    return std::nullopt;
  }
  const auto* nonce = reinterpret_cast<const unsigned char*>(sealed.data());
  std::string plain(sealed.size() - kOverhead, '\0');
  unsigned long long plain_len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          reinterpret_cast<unsigned char*>(plain.data()), &plain_len, nullptr,
          nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
          sealed.size() - crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, nullptr,
          0, nonce, reinterpret_cast<const unsigned char*>(key.data())) != 0) {
    return std::nullopt;
  }
  plain.resize(plain_len);
  return plain;
}

}  // namespace cms::testing
