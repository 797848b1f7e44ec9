// libmc_test.cc - the message-center stand-in's datagrams.
#include "platform/libmc.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/root.h"
#include "tests/msg_listener.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

TEST(MessageCenter, FlagIsZeroWithoutListener) {
  testing::TempRoot root;
  SetRoot(root.dir());
  EXPECT_EQ(mc_ipc_flag(), 0);
  EXPECT_EQ(mc_trigger(1), -1);  // nothing open
  SetRoot("/");
}

TEST(MessageCenter, EachTriggerIsOneDatagram) {
  testing::TempRoot root;
  SetRoot(root.dir());
  testing::MsgListener listener(root);
  ASSERT_TRUE(listener.ok());
  ASSERT_NE(mc_ipc_flag(), 0);
  mc_trigger(23);
  mc_trigger_arg(16, 1);
  mc_trigger_delay(8, 1000);
  mc_trigger_delay_arg(10, 1000, 2);
  mc_ipc_close();
  EXPECT_EQ(listener.Drain(),
            (std::vector<std::string>{"mc_trigger 23", "mc_trigger_arg 16 1",
                                      "mc_trigger_delay 8 1000",
                                      "mc_trigger_delay_arg 10 1000 2"}));
  EXPECT_EQ(mc_trigger(1), -1);  // closed
  SetRoot("/");
}

TEST(MessageCenter, ListenerThatStopsReadingDoesNotHoldTheSender) {
  testing::TempRoot root;
  SetRoot(root.dir());
  testing::MsgListener listener(root);
  ASSERT_NE(mc_ipc_flag(), 0);
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < 12; ++i) failed += mc_trigger(i) != 0;
  mc_ipc_close();
  EXPECT_GT(failed, 0);  // the queue filled up and sends gave up
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(listener.Drain().empty());
  SetRoot("/");
}

}  // namespace
}  // namespace cms::platform
