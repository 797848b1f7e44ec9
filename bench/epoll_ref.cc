// epoll_ref.cc - the loopback limit for the request benchmarks: one thread,
// one epoll loop, reads 1024-byte frames and answers each with 1024 zero
// bytes. Nothing is parsed, locked or stored.
//
// Usage: epoll_ref PORT   (listens on 127.0.0.1:PORT until killed)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace {

constexpr size_t kFrameSize = 1024;

struct Conn {
  size_t have = 0;  // bytes of the current request frame received
};

void CloseConn(int epoll_fd, int fd, std::unordered_map<int, Conn>& conns) {
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  conns.erase(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]);
  const int listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd, 1024) != 0) {
    perror("epoll_ref: listen");
    return 1;
  }
  const int epoll_fd = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listen_fd;
  epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev);

  std::unordered_map<int, Conn> conns;
  std::array<char, kFrameSize> scratch{};
  const std::array<char, kFrameSize> zeros{};
  std::array<epoll_event, 256> events;
  for (;;) {
    const int n = epoll_wait(epoll_fd, events.data(),
                             static_cast<int>(events.size()), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("epoll_ref: epoll_wait");
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listen_fd) {
        for (;;) {
          const int c = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK);
          if (c < 0) break;
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.fd = c;
          epoll_ctl(epoll_fd, EPOLL_CTL_ADD, c, &cev);
          conns[c] = Conn{};
        }
        continue;
      }
      Conn& conn = conns[fd];
      for (;;) {
        const ssize_t got = recv(fd, scratch.data(), kFrameSize - conn.have, 0);
        if (got > 0) {
          conn.have += static_cast<size_t>(got);
          if (conn.have == kFrameSize) {
            conn.have = 0;
            // A fresh connection's send buffer always takes one frame.
            if (send(fd, zeros.data(), zeros.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(kFrameSize)) {
              CloseConn(epoll_fd, fd, conns);
              break;
            }
          }
          continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got < 0 && errno == EINTR) continue;
        CloseConn(epoll_fd, fd, conns);
        break;
      }
    }
  }
}
