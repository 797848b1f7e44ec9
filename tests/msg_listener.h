// msg_listener.h - a message center for tests: binds the datagram socket of
// the sandbox and collects each trigger's text.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/temp_root.h"

namespace cms::testing {

class MsgListener {
 public:
  explicit MsgListener(const TempRoot& root) {
    root.MakeDir("/var/run");
    path_ = root.Host("/var/run/msgcenter.sock");
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~MsgListener() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  MsgListener(const MsgListener&) = delete;
  MsgListener& operator=(const MsgListener&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Every datagram already queued, oldest first.
  std::vector<std::string> Drain() { return Receive(std::chrono::milliseconds(0), 0); }

  // Waits up to `timeout` until at least `count` datagrams came (from a
  // daemon in another process), then returns everything queued.
  std::vector<std::string> WaitFor(size_t count, std::chrono::milliseconds timeout) {
    return Receive(timeout, count);
  }

 private:
  std::vector<std::string> Receive(std::chrono::milliseconds timeout, size_t count) {
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      char buf[256];
      const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n >= 0) {
        got.emplace_back(buf, static_cast<size_t>(n));
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (got.size() >= count || left.count() <= 0) return got;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left.count()));
    }
  }

  std::string path_;
  int fd_ = -1;
};

}  // namespace cms::testing
