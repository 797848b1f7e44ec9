// msg_listener.h - a message center for tests: binds the datagram socket of
// the sandbox and collects each trigger's text.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_root.h"

namespace cms::testing {

class MsgListener {
 public:
  explicit MsgListener(const TempRoot& root);
  ~MsgListener();

  bool ok() const { return reader_.joinable(); }
  // Every datagram sent so far, oldest first; they are taken.
  std::vector<std::string> Drain() { return WaitFor(0, {}); }
  // Waits up to `timeout` for at least `count`, then takes all received.
  std::vector<std::string> WaitFor(size_t count,
                                   std::chrono::milliseconds timeout);

 private:
  size_t Pull();  // moves queued datagrams into got_; how many it holds

  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
  std::vector<std::string> got_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace cms::testing
