// libmc_test.cc - the message-center stand-in under a stuck or absent
// listener; its datagrams are checked wherever events are (events/, tests/).
#include "platform/libmc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/root.h"
#include "testing/process_state.h"
#include "testing/temp_root.h"

namespace cms::platform {
namespace {

class MessageCenter : public ::testing::Test {
 protected:
  MessageCenter() { root_.MakeDir("/var/run"); }
  // A socket bound to the center's path that reads only when asked.
  int Bind() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    strncpy(addr.sun_path, root_.Host("/var/run/msgcenter.sock").c_str(),
            sizeof addr.sun_path - 1);
    unlink(addr.sun_path);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  }
  testing::TempRoot root_;
  testing::ScopedRoot scoped_root_{root_.dir()};
};

// A trigger runs under the parameter lock: it must never wait for the center.
TEST_F(MessageCenter, ListenerThatStopsReadingCostsTheSenderNoWait) {
  const int stuck = Bind();
  const uint64_t dropped = DroppedEventCount();
  const auto start = std::chrono::steady_clock::now();
  constexpr uint64_t kEvents = 1000;
  for (uint64_t i = 0; i < kEvents; ++i) {
    ASSERT_NE(mc_ipc_flag(), 0);
    mc_trigger(static_cast<int>(i));
    mc_ipc_close();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(500));
  // Once the center reads again, every trigger was either delivered, in
  // order, or counted as dropped.
  uint64_t received = 0;
  int last = -1;
  while (received + DroppedEventCount() - dropped < kEvents &&
         std::chrono::steady_clock::now() < start + std::chrono::seconds(10)) {
    char buf[64] = {};
    if (recv(stuck, buf, sizeof buf - 1, MSG_DONTWAIT) <= 0) {
      usleep(1000);
      continue;
    }
    const int n = atoi(buf + strlen("mc_trigger "));
    EXPECT_GT(n, last);
    last = n;
    ++received;
  }
  EXPECT_EQ(received + DroppedEventCount() - dropped, kEvents);
  EXPECT_GT(DroppedEventCount() - dropped, kEvents / 2);
  close(stuck);
}

TEST_F(MessageCenter, AbsentCenterIsSeenAndSoIsItsReturn) {
  EXPECT_EQ(mc_ipc_flag(), 0);  // no socket file
  close(Bind());                // a file left behind, nobody bound
  EXPECT_EQ(mc_ipc_flag(), 0);
  EXPECT_EQ(mc_ipc_flag(), 0);  // remembered
  const int back = Bind();
  EXPECT_NE(mc_ipc_flag(), 0);
  EXPECT_EQ(mc_trigger(5), 0);
  mc_ipc_close();
  close(back);
}

}  // namespace
}  // namespace cms::platform
