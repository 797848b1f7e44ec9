#include "testing/sandbox.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/prctl.h>

#include <cstring>

namespace cms::testing {
namespace {

const std::string kExamples = CMS_SOURCE_DIR "/examples/";

sockaddr_in Loopback(int port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

int DecodeStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Sandbox::Sandbox(const Files& files, bool message_center) : stubs_(*this) {
  for (const char* dir : {"/mnt/jffs2/conf/isp/user", "/tmp", "/var/run",
                          "/dev", "/proc/sys/net/ipv4", "/etc"})
    MakeDir(dir);
  for (const char* dir : {"user", "isp", "app"})
    fs::copy(kExamples + dir, Host("/mnt/jffs2/conf/") + dir,
             fs::copy_options::recursive);
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
  key_.assign(crypto_aead_xchacha20poly1305_ietf_KEYBYTES, 'K');
  Write("/etc/cms/cipher.key", key_);
  // A free port: the one the kernel picks for a bind to port 0.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (bind(fd, (sockaddr*)&addr, len) ||
      getsockname(fd, (sockaddr*)&addr, &len))
    abort();
  port_ = ntohs(addr.sin_port);
  close(fd);
  // The client library of this process talks to this daemon.
  setenv("CMS_PORT", std::to_string(port_).c_str(), 1);
  setenv("CMS_ROOT", dir().c_str(), 1);
}

std::string Sandbox::ReadExample(const std::string& relative_path) {
  return ReadHost(kExamples + relative_path);
}

long Sandbox::Fds() const {
  std::error_code ec;
  return std::distance(
      fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec), {});
}

double Sandbox::CpuSeconds() const {
  clockid_t clock;
  timespec cpu{};
  if (clock_getcpuclockid(pid_, &clock) == 0) clock_gettime(clock, &cpu);
  return cpu.tv_sec + cpu.tv_nsec / 1e9;
}

bool Sandbox::Start(bool wait, const std::vector<std::string>& extra) {
  Stop();
  // CMS_TEST_CMSD names another daemon to test (a ThreadSanitizer build).
  const char* other = getenv("CMS_TEST_CMSD");
  const std::string cmsd = other && *other ? other : CMS_BUILD_DIR "/cmsd";
  std::vector<std::string> args = {
      cmsd, "--root", dir(), "--port", std::to_string(port_), "--log-stderr"};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = Spawn(args, {"PATH=" + Host("/stub_bin:") + getenv("PATH")}, "/cmsd");
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

void Sandbox::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(0);
}

bool Sandbox::Signal(int sig) { return Running() && kill(pid_, sig) == 0; }

std::optional<int> Sandbox::WaitExit(milliseconds timeout) {
  std::optional<int> code;
  WaitUntil([&] { return pid_ <= 0 || (code = Reap(WNOHANG)); }, timeout);
  return code;
}

bool Sandbox::Running() { return pid_ > 0 && !Reap(WNOHANG); }

bool Sandbox::WaitForStderr(std::string_view text, milliseconds timeout) {
  return WaitUntil([&] { return Stderr().find(text) != std::string::npos; },
                   timeout);
}

bool Sandbox::WaitUntil(const std::function<bool()>& done,
                        milliseconds timeout) {
  for (const auto end = Clock::now() + timeout; !done();) {
    if (Clock::now() >= end) return done();
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

int Sandbox::Connect(const char* source_ip) const {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = Loopback(0), to = Loopback(port_);
  inet_pton(AF_INET, source_ip, &from.sin_addr);
  // Bound only for another address: a port picked before the connect cannot
  // be shared with connections elsewhere, and runs out under many clients.
  if ((strcmp(source_ip, "127.0.0.1") != 0 &&
       bind(fd, (sockaddr*)&from, sizeof from) != 0) ||
      connect(fd, (sockaddr*)&to, sizeof to) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

std::optional<Frame> Sandbox::Exchange(const Frame& request,
                                       milliseconds timeout) const {
  const int fd = Connect();
  const std::optional<Frame> r = RoundTrip(fd, request, timeout);
  close(fd);
  return r;
}

std::string Sandbox::Ask(int32_t cmd, std::string_view name,
                         std::string_view value,
                         std::string_view location) const {
  const std::optional<Frame> r =
      Exchange(MakeFrame(cmd, name, value, location));
  if (!r || FramePid(*r) != kTestPid) return "no answer";
  return IsOk(r) ? "ok:" + FrameValue(*r) : "failed";
}

pid_t Sandbox::StartCms(std::vector<std::string> args,
                        const std::string& tag) const {
  args.insert(args.begin(), CMS_BUILD_DIR "/cms");
  return Spawn(args,
               {"PATH=" + std::string(getenv("PATH")),
                "CMS_PORT=" + std::to_string(port_), "CMS_ROOT=" + dir()},
               "/" + tag);
}

ProgramResult Sandbox::RunCms(std::vector<std::string> args) const {
  const pid_t child = StartCms(std::move(args), "cms");
  int status = 0;
  auto ended = [&] { return waitpid(child, &status, WNOHANG) == child; };
  for (int sig : {SIGINT, SIGKILL}) {
    if (WaitUntil(ended, sig == SIGINT ? seconds(10) : seconds(1))) break;
    kill(child, sig);
    if (sig == SIGKILL) waitpid(child, &status, 0);
  }
  return {DecodeStatus(status), Read("/cms.stdout"), Read("/cms.stderr")};
}

// Starts args[0] in a process group of its own with `env` and this process's
// environment but for PATH, CMS_* and the boot-loader variables (a daemon
// imports them at start); output to <root><out>.stdout and .stderr.
pid_t Sandbox::Spawn(const std::vector<std::string>& args,
                     std::vector<std::string> env,
                     const std::string& out) const {
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view v = *e;
    if (!v.starts_with("PATH=") && !v.starts_with("CMS_") &&
        !v.starts_with("reset_default=") && !v.starts_with("version_uboot="))
      env.emplace_back(v);
  }
  std::vector<char*> argv, envp;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int out_fd = open(Host(out + ".stdout").c_str(), flags, 0644);
  const int err_fd = open(Host(out + ".stderr").c_str(), flags, 0644);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // Async-signal-safe calls only; the child dies with the test binary.
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
std::optional<int> Sandbox::Reap(int flags) {
  // Look without reaping first: while the daemon is a zombie its pid, and
  // with it the group id, cannot go to anyone else.
  siginfo_t info{};
  if (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT | flags) != 0 ||
      info.si_pid != pid_)
    return std::nullopt;
  kill(-pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return DecodeStatus(status);
}

}  // namespace cms::testing
