// libmc_test.cc - the message-center stand-in under a stuck listener; its
// datagrams are checked wherever events are (events/, tests/).
#include "platform/libmc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/root.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

TEST(MessageCenter, ListenerThatStopsReadingDoesNotHoldTheSender) {
  testing::TempRoot root;
  SetRoot(root.dir());
  root.MakeDir("/var/run");
  const int stuck = socket(AF_UNIX, SOCK_DGRAM, 0);  // binds, never reads
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, root.Host("/var/run/msgcenter.sock").c_str(),
          sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_NE(mc_ipc_flag(), 0);
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < 12; ++i) failed += mc_trigger(i) != 0;
  mc_ipc_close();
  EXPECT_GT(failed, 0);  // the queue filled up and sends gave up
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  close(stuck);
  SetRoot("/");
}

}  // namespace
}  // namespace cms::platform
