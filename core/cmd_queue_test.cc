// cmd_queue_test.cc - first in, first out per name; the temporary file.
#include "core/cmd_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/write_counter.h"
#include "store/file_tables.h"
#include "testing/process_state.h"

namespace cms::core {
namespace {

std::string Pop(const std::string& name) {
  const char* v = PopCmdValue(name.c_str());
  return v == nullptr ? "<none>" : v;
}

TEST(CmdQueue, OldestFirstPerExactNameAndTheTemporaryFile) {
  testing::ResetProcessState();
  const int other = store::LocationAdd("/mnt/jffs2/conf/user/lan.conf", 1);
  const int temp = store::LocationAdd(store::kTempUserFile, 1);
  for (const char* v : {"a", "", "b"}) EXPECT_EQ(PushCmdValue("qq", v), 1);
  EXPECT_EQ(PushCmdValue("r", "x"), 1);
  // Queued in the in-memory file: marked, yet no change to write back.
  const store::ParamRecord* e = getLastCmdElement("qq");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ((std::vector<int>{e->userLocation, e->ispLocation, e->userChanged,
                              store::UFL[temp].dirty, store::UFL[other].dirty,
                              static_cast<int>(Counters().changes)}),
            (std::vector<int>{temp, -1, 1, 1, 0, 0}));
  const char* pops[][2] = {{"QQ", "<none>"}, {"q", "<none>"}, {"r", "x"},
                           {"r", "<none>"},  {"qq", "a"},     {"qq", "<none>"},
                           {"qq", "b"}};  // an empty value is taken as none
  for (const auto& [name, value] : pops) EXPECT_EQ(Pop(name), value) << name;
  EXPECT_EQ(CmdQueueSize(), 0u);
  // Long names and values are cut to 63 and 799 characters.
  PushCmdValue(std::string(70, 'n').c_str(), std::string(900, 'v').c_str());
  EXPECT_EQ(Pop(std::string(63, 'n')), std::string(799, 'v'));
  testing::ResetProcessState();
}

TEST(CmdQueue, FullQueueRefusesAndKeepsItsOrder) {
  testing::ResetProcessState();
  for (size_t i = 0; i < kCmdQueueLimit; ++i)
    ASSERT_EQ(PushCmdValue(i % 2 ? "odd" : "even", std::to_string(i).c_str()),
              1);
  EXPECT_EQ(PushCmdValue("other", "x"), 0);
  EXPECT_EQ(Pop("other") + Pop("odd"), "<none>1");  // room for one more
  EXPECT_EQ(PushCmdValue("odd", "last") + PushCmdValue("odd", "x"), 1);
  EXPECT_EQ(Pop("odd") + Pop("even"), "30");
  testing::ResetProcessState();
}

}  // namespace
}  // namespace cms::core
