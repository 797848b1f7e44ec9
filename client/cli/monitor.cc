// monitor.cc - cms monitor, and the hand-on between several monitors.
#include "client/cli/monitor.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <vector>

#include "client/cli/params.h"
#include "platform/event_ids.h"

namespace cms::cli {
namespace {

// A monitor that does not hold the socket tries to take it this often, so
// that the events keep coming when the one that held it ends.
constexpr int kTakeOverMillis = 500;

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Binds the path. A socket file that nobody answers on is left from an
// earlier listener and is replaced; a live one is not taken.
bool Bind(int fd, const std::string& path) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr)) return false;
  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (bind(fd, sa, sizeof addr) == 0) return true;
  if (errno != EADDRINUSE) return false;
  const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool live = probe >= 0 && connect(probe, sa, sizeof addr) == 0;
  if (probe >= 0) close(probe);
  if (live) return false;
  unlink(path.c_str());
  return bind(fd, sa, sizeof addr) == 0;
}

std::string Now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const time_t seconds = system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03ld", millis);
  return text;
}

// Hands a datagram on to every other monitor's socket in `dir`; a socket
// nobody reads any more is removed.
void HandOn(const std::string& dir, const char* data, size_t size, int fd) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = dir + "/" + e->d_name;
    sockaddr_un addr;
    if (!MakeAddress(path, &addr)) continue;
    // Never waits: a monitor that does not read in time misses the event.
    if (sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 &&
        (errno == ECONNREFUSED || errno == ENOENT)) {
      unlink(path.c_str());
    }
  }
  closedir(d);
}

}  // namespace

// Each event as one line with a time and the event's name rather than the
// datagram's raw text: the numbers alone told the reader nothing.
std::string DescribeEvent(const std::string& datagram,
                          const std::string& time) {
  std::istringstream in(datagram);
  std::string kind;
  long event = 0, delay = 0, arg = 0;
  in >> kind >> event;
  const bool with_delay =
      kind == "mc_trigger_delay" || kind == "mc_trigger_delay_arg";
  const bool with_arg =
      kind == "mc_trigger_arg" || kind == "mc_trigger_delay_arg";
  if (with_delay) in >> delay;
  if (with_arg) in >> arg;
  std::string rest;
  if (!kind.starts_with("mc_trigger") || in.fail() || (in >> rest)) {
    return time + " " + datagram;
  }
  const std::string_view name = platform::EventNameOf(static_cast<int>(event));
  std::string line = time + " " + (name.empty() ? "event" : std::string(name)) +
                     " (" + std::to_string(event) + ")";
  if (with_delay) line += " delay " + std::to_string(delay) + " ms";
  if (with_arg) line += " arg " + std::to_string(arg);
  return line;
}

int RunMonitor(const std::string& root) {
  const std::string path = root + "/var/run/msgcenter.sock";
  const std::string dir = root + "/var/run/msgcenter.monitors";
  const std::string own = dir + "/" + std::to_string(getpid()) + ".sock";
  sockaddr_un probe;
  if (!MakeAddress(own, &probe) || !MakeAddress(path, &probe)) {
    fprintf(stderr, "cms: socket path %s is too long\n", own.c_str());
    return kExitUnreachable;
  }
  struct sigaction on_interrupt {};
  on_interrupt.sa_handler = OnInterrupt;
  sigaction(SIGINT, &on_interrupt, nullptr);
  sigaction(SIGTERM, &on_interrupt, nullptr);
  // The signals stay blocked except inside ppoll, so an interrupt between
  // two datagrams is never missed.
  sigset_t blocked, waiting;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const int hub = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int follower = -1;  // this monitor's own socket while another holds path
  bool holding = false;
  char buf[4096];
  while (g_interrupted == 0) {
    if (!holding) holding = hub >= 0 && Bind(hub, path);
    if (holding && follower >= 0) {
      close(follower);
      unlink(own.c_str());
      follower = -1;
    }
    if (!holding && follower < 0) {
      mkdir(dir.c_str(), 0755);
      follower = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (follower < 0 || !Bind(follower, own)) {
        fprintf(stderr, "cms: cannot listen on %s: %s\n", path.c_str(),
                strerror(errno));
        if (follower >= 0) close(follower);
        if (hub >= 0) close(hub);
        return kExitUnreachable;
      }
    }
    const int fd = holding ? hub : follower;
    pollfd p{fd, POLLIN, 0};
    const timespec wait{0, kTakeOverMillis * 1000000L};
    const int ready = ppoll(&p, 1, holding ? nullptr : &wait, &waiting);
    if (ready <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) continue;
    if (holding) HandOn(dir, buf, static_cast<size_t>(n), hub);
    printf(
        "%s\n",
        DescribeEvent(std::string(buf, static_cast<size_t>(n)), Now()).c_str());
  }
  if (holding) unlink(path.c_str());
  if (follower >= 0) {
    close(follower);
    unlink(own.c_str());
  }
  if (hub >= 0) close(hub);
  return kExitOk;
}

}  // namespace cms::cli
