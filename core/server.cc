// server.cc - accepts request connections and serves their frames from one
// epoll loop.
#include "core/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>

#include "client/cms_client.h"
#include "core/dispatcher.h"
#include "core/replay_window.h"
#include "platform/libcmc.h"
#include "platform/log.h"
#include "platform/stats.h"
#include "store/history.h"
#include "store/param_list.h"

namespace cms::core {

int CMSfd = -1;

namespace {

// Longer than the 20 the device always used, on purpose: when a boot starts
// every client at once, their connects wait in the queue instead of being
// dropped and retried a second (then two, four...) later. The kernel caps it
// at net.core.somaxconn.
constexpr int kBacklog = 1024;
// Counted for the whole frame, from the end of the previous exchange (or the
// connect) to its last byte, and for sending an answer. Not per receive, on
// purpose: a peer trickling a byte now and then would hold its connection
// for ever.
constexpr int64_t kFrameTimeoutMs = 6000;
// Only the first 1012 bytes of an enciphered response are sealed.
constexpr int kSealedResponseBytes = 1012;
// After running out of descriptors or memory, accept would fail again at
// once; a short pause keeps the loop from spinning until some close.
constexpr int64_t kAcceptPauseMs = 50;
// Connection cap: the descriptor limit less what files, commands and the
// message center need, and never above this. Beyond it the connection that
// has waited longest for a whole frame is closed to make room, on purpose:
// a flood of slow or idle peers then cannot shut out a client that sends
// whole frames, and the daemon never runs out of descriptors for its files.
constexpr size_t kMaxConnections = 4096;
constexpr rlim_t kSpareDescriptors = 64;
constexpr int kEventsPerWait = 128;
constexpr int kAcceptsPerWake = 32;

// A monotonic clock read from memory the kernel maps in: cheap enough to
// read after every request. Its few milliseconds of grain do not matter
// against a 6 s time-out.
int64_t NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1'000'000;
}

int64_t WallMs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1'000'000;
}

// Nothing sealed before the process started is served: it was meant for an
// earlier run, or is a replay of such a request.
const int64_t g_started_ms = WallMs();

ReplayWindow& Replays() {
  static ReplayWindow window(g_started_ms);
  return window;
}

bool IsResourceExhaustion(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

struct Connection {
  int fd = -1;
  bool plain = true;
  uint32_t peer = 0;  // IPv4 address in network order, 0 when plain
  bool sending = false;         // an answer waits in `unsent`
  size_t have = 0;              // bytes of the request frame received
  int64_t deadline_ms = 0;      // of the frame, or of sending the answer
  Connection* older = nullptr;  // waiting order, by deadline
  Connection* newer = nullptr;
  std::unique_ptr<unsigned char[]> unsent;
  size_t unsent_len = 0;
  size_t unsent_at = 0;
  alignas(CMSPacket) unsigned char request[kFrameSize];
  const platform::stats::ConnectionScope counted;
};

enum class Next { kRead, kWrite, kClose };

void Dispatch(const CMSPacket* request, CMSPacket* response) {
  {
    store::ParamListGuard lock;
    handleCMSreq(request, response);
  }
  RunDeferredWork();
  platform::stats::CountRequest(request->cmd, response->status);
}

bool WouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Sends what the socket takes now and keeps the rest for later.
Next Send(Connection& c, const void* data, size_t len) {
  // MSG_NOSIGNAL: a peer that has gone away fails the send instead of
  // ending the daemon.
  const ssize_t n = send(c.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n == static_cast<ssize_t>(len)) return Next::kRead;
  if (n < 0 && !WouldBlock(errno)) return Next::kClose;
  const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  c.unsent.reset(new unsigned char[len - sent]);
  memcpy(c.unsent.get(), static_cast<const unsigned char*>(data) + sent,
         len - sent);
  c.unsent_len = len - sent;
  c.unsent_at = 0;
  return Next::kWrite;
}

Next SendUnsent(Connection& c) {
  const ssize_t n = send(c.fd, c.unsent.get() + c.unsent_at,
                         c.unsent_len - c.unsent_at, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) return WouldBlock(errno) ? Next::kWrite : Next::kClose;
  c.unsent_at += static_cast<size_t>(n);
  if (c.unsent_at < c.unsent_len) return Next::kWrite;
  c.unsent.reset();
  return Next::kRead;
}

Next AnswerPlain(Connection& c) {
  CMSPacket response;
  memset(&response, 0, sizeof response);
  store::history::SetConnectionPeer(0);
  Dispatch(reinterpret_cast<const CMSPacket*>(c.request), &response);
  return Send(c, &response, sizeof response);
}

// A stamped sealed request must lie within the freshness window
// and must not have been served before. Refused on purpose like one whose
// tag fails, by closing without an answer: a captured request sent again
// could otherwise undo a later change, and a replayer learns nothing.
bool Fresh(const unsigned char* wire, const CMSPacket& plain) {
  int64_t sealed_ms;
  memcpy(&sealed_ms,
         reinterpret_cast<const unsigned char*>(&plain) +
             CMS_SEALED_TIME_OFFSET,
         sizeof sealed_ms);
  // The sealed bytes themselves name the request: changing any of them
  // breaks the tag.
  unsigned char id[16];
  crypto_generichash(id, sizeof id, wire, kFrameSize, nullptr, 0);
  return Replays().Admit(id, sealed_ms, WallMs());
}

Next AnswerSealed(Connection& c) {
  int length = 0;
  unsigned char* opened = CM_DecryptCfgData(c.request, kFrameSize, &length);
  if (opened == nullptr || opened == c.request) return Next::kClose;
  // The plaintext is shorter than a frame: it is read as the start of a
  // zeroed frame, never beyond what was deciphered.
  CMSPacket deciphered;
  memset(&deciphered, 0, sizeof deciphered);
  memcpy(&deciphered, opened,
         std::clamp<size_t>(static_cast<size_t>(std::max(length, 0)), 0,
                            kFrameSize));
  CM_Free(opened);
  if (!Fresh(c.request, deciphered)) return Next::kClose;
  CMSPacket response;
  memset(&response, 0, sizeof response);
  store::history::SetConnectionPeer(c.peer);
  Dispatch(&deciphered, &response);
  int sealed_length = 0;
  unsigned char* sealed =
      CM_EncryptCfgData(reinterpret_cast<const unsigned char*>(&response),
                        kSealedResponseBytes, &sealed_length);
  if (sealed == nullptr) return Next::kClose;
  std::unique_ptr<unsigned char, decltype(&CM_Free)> owned(sealed, CM_Free);
  Next next = Send(c, sealed, static_cast<size_t>(std::max(sealed_length, 0)));
  if (next == Next::kClose) {
    // The peer may still send; its next receive tells whether it is gone.
    platform::ReportFailure("send", errno);
    next = Next::kRead;
  }
  return next;
}

// One step on a readable (or, while an answer waits, writable) connection.
// A whole frame, or the end of sending an answer, restarts the deadline.
// Whatever a request throws fails that connection only.
Next Step(Connection& c) {
  try {
    if (c.sending) {
      const Next next = SendUnsent(c);
      if (next == Next::kRead) c.deadline_ms = NowMs() + kFrameTimeoutMs;
      return next;
    }
    const ssize_t n =
        recv(c.fd, c.request + c.have, kFrameSize - c.have, MSG_DONTWAIT);
    if (n < 0 && WouldBlock(errno)) return Next::kRead;
    if (n <= 0) return Next::kClose;
    c.have += static_cast<size_t>(n);
    if (c.have < kFrameSize) return Next::kRead;
    c.have = 0;
    const Next next = c.plain ? AnswerPlain(c) : AnswerSealed(c);
    c.deadline_ms = NowMs() + kFrameTimeoutMs;
    return next;
  } catch (const std::exception& e) {
    char line[200];
    snprintf(line, sizeof line, "cmsd: connection dropped: %s", e.what());
    platform::LogLine(LOG_ERR, line);
  } catch (...) {
    platform::LogLine(LOG_ERR, "cmsd: connection dropped: unknown exception");
  }
  return Next::kClose;
}

void NewConnection(Connection& c, int fd, const sockaddr_in& peer) {
  c.fd = fd;
  c.plain = peer.sin_addr.s_addr == inet_addr("127.0.0.1");
  c.peer = c.plain ? 0 : peer.sin_addr.s_addr;
  c.deadline_ms = NowMs() + kFrameTimeoutMs;
}

// Every connection of the process, served from one epoll set. The waiting
// list holds them in the order of their deadlines, which is also the order
// in which they began to wait for their current frame.
class RequestLoop {
 public:
  RequestLoop(int listen_fd, int epoll_fd, size_t cap)
      : listen_fd_(listen_fd), epoll_fd_(epoll_fd), cap_(cap) {
    waiting_.older = waiting_.newer = &waiting_;
  }

  [[noreturn]] void Run() {
    epoll_event events[kEventsPerWait];
    for (;;) {
      const int n = epoll_wait(epoll_fd_, events, kEventsPerWait, Timeout());
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<Connection*>(events[i].data.ptr);
        if (c == nullptr) {
          AcceptSome();
        } else if (c->fd >= 0) {
          Serve(c);
        }
      }
      const int64_t now = NowMs();
      while (Oldest() != nullptr && Oldest()->deadline_ms <= now) {
        Close(Oldest());
      }
      if (paused_ && now >= resume_ms_) Listen(true);
      // Closed connections may still have had events in this batch.
      while (closed_ != nullptr) {
        Connection* next = closed_->newer;
        delete closed_;
        closed_ = next;
      }
    }
  }

 private:
  Connection* Oldest() {
    return waiting_.newer == &waiting_ ? nullptr : waiting_.newer;
  }

  void Unlink(Connection* c) {
    c->older->newer = c->newer;
    c->newer->older = c->older;
  }

  void LinkNewest(Connection* c) {
    c->older = waiting_.older;
    c->newer = &waiting_;
    waiting_.older->newer = c;
    waiting_.older = c;
  }

  // Milliseconds until the next deadline or the end of a pause; -1: none.
  int Timeout() {
    int64_t until = -1;
    if (Oldest() != nullptr) until = Oldest()->deadline_ms;
    if (paused_ && (until < 0 || resume_ms_ < until)) until = resume_ms_;
    if (until < 0) return -1;
    // Rounded up: the clock's grain must not wake the loop early.
    return static_cast<int>(std::max<int64_t>(until - NowMs(), 0) + 1);
  }

  void Listen(bool on) {
    epoll_event ev{};
    ev.events = on ? uint32_t{EPOLLIN} : 0u;
    ev.data.ptr = nullptr;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &ev);
    paused_ = !on;
    if (!on) resume_ms_ = NowMs() + kAcceptPauseMs;
  }

  void AcceptSome() {
    for (int i = 0; i < kAcceptsPerWake && !paused_; ++i) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer),
                             &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        const int err = errno;
        platform::ReportFailure("accept", errno);
        if (IsResourceExhaustion(err)) Listen(false);
        continue;
      }
      if (count_ >= cap_) Close(Oldest());
      auto* c = new (std::nothrow) Connection;
      if (c == nullptr) {
        close(fd);
        Listen(false);
        return;
      }
      NewConnection(*c, fd, peer);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = c;
      if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        platform::ReportFailure("epoll_ctl", errno);
        close(fd);
        delete c;
        continue;
      }
      LinkNewest(c);
      ++count_;
    }
  }

  void Serve(Connection* c) {
    const int64_t deadline = c->deadline_ms;
    const Next next = Step(*c);
    if (next == Next::kClose) {
      Close(c);
      return;
    }
    if (c->deadline_ms != deadline) {
      Unlink(c);
      LinkNewest(c);
    }
    const bool sending = next == Next::kWrite;
    if (sending != c->sending) {
      // While an answer waits, no further frame is read from that peer.
      epoll_event ev{};
      ev.events = sending ? EPOLLOUT : EPOLLIN;
      ev.data.ptr = c;
      epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c->fd, &ev);
      c->sending = sending;
    }
  }

  void Close(Connection* c) {
    Unlink(c);
    // Taken out first: a command being started may hold a copy of the
    // descriptor until its exec, and while any copy is open, closing ours
    // would leave the socket in the set, its events pointing at freed memory.
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    c->fd = -1;
    c->newer = closed_;
    closed_ = c;
    --count_;
  }

  const int listen_fd_;
  const int epoll_fd_;
  const size_t cap_;
  size_t count_ = 0;
  bool paused_ = false;
  int64_t resume_ms_ = 0;
  Connection waiting_;  // list head: newer is the oldest
  Connection* closed_ = nullptr;
};

size_t ConnectionCap() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) {
    return kMaxConnections;
  }
  const rlim_t room = lim.rlim_cur > 2 * kSpareDescriptors
                          ? lim.rlim_cur - kSpareDescriptors
                          : lim.rlim_cur / 2;
  return std::clamp<size_t>(room, 1, kMaxConnections);
}

}  // namespace

int initCMSSock(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(port);
  // Close-on-exec: the shell commands that callbacks run must not inherit
  // the listening socket (a daemon they start would keep the port taken).
  CMSfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (CMSfd == -1) {
    platform::ReportFailure("CMSfd", errno);
    return 0;
  }
  // After a crash or a kill, connections the old daemon closed linger in
  // TIME_WAIT on this port for a minute; without this a restart could not
  // bind until they are gone. A socket still listening on the port keeps
  // it taken all the same.
  const int reuse = 1;
  if (setsockopt(CMSfd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    platform::ReportFailure("setsockopt", errno);
  }
  if (bind(CMSfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
    platform::ReportFailure("bind", errno);
    return 0;
  }
  if (listen(CMSfd, kBacklog) == -1) {
    platform::ReportFailure("listen", errno);
    return 0;
  }
  return 1;
}

int sock_connect_thread() {
  const int listen_fd = CMSfd;
  if (listen_fd <= 0) return 0;
  // Accepts never block the loop, whatever the state of the queue.
  const int flags = fcntl(listen_fd, F_GETFL);
  fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK);
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  if (epoll_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev) != 0) {
    platform::ReportFailure("epoll", errno);
    return 0;
  }
  RequestLoop(listen_fd, epoll_fd, ConnectionCap()).Run();
}

void* AcceptThreadMain(void*) {
  // Signals belong to the main loop. Blocked here, they never interrupt
  // the request loop.
  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : {SIGINT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM}) {
    sigaddset(&mask, sig);
  }
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  sock_connect_thread();
  return nullptr;
}

int sock_response(ClientConn* conn) {
  Connection c;
  NewConnection(c, conn->fd, conn->peer);
  free(conn);
  for (;;) {
    const int64_t left = c.deadline_ms - NowMs();
    if (left <= 0) break;
    pollfd p{c.fd, static_cast<short>(c.sending ? POLLOUT : POLLIN), 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const Next next = Step(c);
    if (next == Next::kClose) break;
    c.sending = next == Next::kWrite;
  }
  close(c.fd);
  return 0;
}

}  // namespace cms::core
