// libmc.cc - message-center stand-in over a UNIX datagram socket.
//
// A trigger never waits for the message center while its caller holds the
// parameter lock: a datagram the center's queue cannot take at once goes to a
// bounded outbox that a thread of its own delivers, and a trigger the outbox
// cannot take either is dropped and counted. A center that is not there is
// remembered by the identity of its socket file, so asking again costs one
// stat until the file changes.
#include "platform/libmc.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/root.h"
#include "platform/stats.h"

namespace cms::platform {
namespace {

constexpr char kCenterPath[] = "/var/run/msgcenter.sock";
// Datagrams waiting for a slow center; beyond this they are dropped.
constexpr size_t kOutboxLimit = 256;
// How long the outbox thread lets one datagram wait for a center that does
// not read before giving it up.
constexpr timeval kOutboxSendTimeout{1, 0};

// Like the device library, the channel belongs to the calling thread.
thread_local int t_fd = -1;

std::atomic<uint64_t> g_dropped{0};

// What identifies the socket file: a center that comes back binds a new one.
struct FileId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  timespec ctime{};
  bool operator==(const FileId& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileId StatCenter(const std::string& path) {
  struct stat st;
  FileId id;
  if (stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.ctime = st.st_ctim;
  return id;
}

// The socket file as it was when a connect last failed.
std::mutex g_dead_lock;
bool g_dead_known = false;
FileId g_dead_file;

// A socket connected to the center, or -1 with errno telling why not.
int ConnectCenter(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Datagrams that the center's queue could not take at once, oldest first.
// Lives for the whole process (its thread never ends), so it is never freed.
class Outbox {
 public:
  // Sends `text` on `fd` without waiting, or queues it behind the datagrams
  // already waiting so that the center sees them in order. False when it
  // could be neither sent nor queued.
  bool Send(int fd, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (queue_.empty() && !in_flight_) {
      if (send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
        return true;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    }
    if (queue_.size() >= kOutboxLimit) return false;
    queue_.push_back(text);
    if (!started_) {
      std::thread([this] { Run(); }).detach();
      started_ = true;
    }
    ready_.notify_one();
    return true;
  }

 private:
  // The thread's loop; it never ends, and nothing escapes it: a failure
  // costs the datagram at hand.
  void Run() {
    int fd = -1;
    for (;;) {
      try {
        DeliverNext(fd);
      } catch (...) {
        g_dropped.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

  // Waits for the oldest datagram and sends it on `fd`, connecting first if
  // needed; a datagram the center does not take within the send timeout is
  // dropped.
  void DeliverNext(int& fd) {
    std::string text;
    {
      std::unique_lock lock(mutex_);
      in_flight_ = false;
      ready_.wait(lock, [this] { return !queue_.empty(); });
      text = std::move(queue_.front());
      queue_.pop_front();
      in_flight_ = true;
    }
    if (fd < 0) {
      fd = ConnectCenter(HostPath(kCenterPath));
      if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kOutboxSendTimeout,
                   sizeof kOutboxSendTimeout);
      }
    }
    if (fd < 0 || send(fd, text.data(), text.size(), MSG_NOSIGNAL) !=
                      static_cast<ssize_t>(text.size())) {
      g_dropped.fetch_add(1, std::memory_order_relaxed);
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> queue_;
  bool in_flight_ = false;
  bool started_ = false;
};

Outbox& TheOutbox() {
  static Outbox* outbox = new Outbox;
  return *outbox;
}

int Send(const char* text) {
  if (t_fd < 0) return -1;
  try {
    if (TheOutbox().Send(t_fd, text)) return stats::CountDatagram(0);
  } catch (...) {
    // No memory for the outbox: the event is lost like any other drop.
  }
  g_dropped.fetch_add(1, std::memory_order_relaxed);
  return stats::CountDatagram(-1);
}

}  // namespace

uint64_t DroppedEventCount() { return g_dropped.load(std::memory_order_relaxed); }

}  // namespace cms::platform

extern "C" {

using cms::platform::Send;

int mc_ipc_flag(void) {
  using namespace cms::platform;
  if (t_fd >= 0) return 1;
  const std::string path = HostPath(kCenterPath);
  const FileId file = StatCenter(path);
  {
    std::lock_guard lock(g_dead_lock);
    if (!file.exists || (g_dead_known && g_dead_file == file)) return 0;
  }
  const int fd = ConnectCenter(path);
  if (fd < 0 && errno == ECONNREFUSED) {
    // Nobody bound to the file: only a new file can bring the center back.
    std::lock_guard lock(g_dead_lock);
    g_dead_known = true;
    g_dead_file = file;
  }
  if (fd < 0) return 0;
  t_fd = fd;
  return 1;
}

int mc_trigger(int event) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger %d", event);
  return Send(text);
}

int mc_trigger_arg(int event, int arg) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger_arg %d %d", event, arg);
  return Send(text);
}

int mc_trigger_delay(int event, int delay) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger_delay %d %d", event, delay);
  return Send(text);
}

int mc_trigger_delay_arg(int event, int delay, int arg) {
  char text[80];
  snprintf(text, sizeof text, "mc_trigger_delay_arg %d %d %d", event, delay,
           arg);
  return Send(text);
}

int mc_ipc_close(void) {
  using cms::platform::t_fd;
  if (t_fd < 0) return 0;
  const int rc = close(t_fd);
  t_fd = -1;
  return rc;
}

}  // extern "C"
