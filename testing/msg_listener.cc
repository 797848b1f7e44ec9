#include "testing/msg_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace cms::testing {

MsgListener::MsgListener(const TempRoot& root)
    : path_(root.Host("/var/run/msgcenter.sock")) {
  root.MakeDir("/var/run");
  unlink(path_.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return;  // not ok()
  // A reader in the background keeps the socket's short queue empty, so
  // that a burst of events never makes the sender give one up.
  reader_ = std::thread([this] {
    for (pollfd p{fd_, POLLIN, 0}; !stop_.load();) {
      if (poll(&p, 1, 20) > 0) Pull();
    }
  });
}

MsgListener::~MsgListener() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  close(fd_);
  unlink(path_.c_str());
}

std::vector<std::string> MsgListener::WaitFor(
    size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A send has queued its datagram before it returns: look at once.
  while (Pull() < count && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::lock_guard lock(mutex_);
  return std::move(got_);
}

size_t MsgListener::Pull() {
  std::lock_guard lock(mutex_);
  char buf[256];
  for (ssize_t n; (n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0;)
    got_.emplace_back(buf, static_cast<size_t>(n));
  return got_.size();
}

}  // namespace cms::testing
