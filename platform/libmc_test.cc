// libmc_test.cc - the message-center stand-in under a stuck listener; its
// datagrams are checked wherever events are (events/, tests/).
#include "platform/libmc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/root.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

class MessageCenter : public ::testing::Test {
 protected:
  void SetUp() override { SetRoot(root_.dir()); }
  void TearDown() override { SetRoot("/"); }
  testing::TempRoot root_;
};

TEST_F(MessageCenter, ListenerThatStopsReadingDoesNotHoldTheSender) {
  root_.MakeDir("/var/run");
  // A message center that binds its socket and never reads.
  const int stuck = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = root_.Host("/var/run/msgcenter.sock");
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_NE(mc_ipc_flag(), 0);
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < 12; ++i) failed += mc_trigger(i) != 0;
  mc_ipc_close();
  EXPECT_GT(failed, 0);  // the queue filled up and sends gave up
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  close(stuck);
}

}  // namespace
}  // namespace cms::platform
