// cmd_queue_test.cc - first in, first out per name; ownership of elements.
#include "core/cmd_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "core/write_counter.h"
#include "store/file_tables.h"

namespace cms::core {
namespace {

class CmdQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store::initialConfigLocationArray();
    initCmdList();
    initPrivateData();
  }
  void TearDown() override { ResetCmdList(); }

  static std::string Pop(const std::string& name) {
    const char* v = PopCmdValue(name.c_str());
    return v == nullptr ? "<none>" : v;
  }
};

TEST_F(CmdQueueTest, OldestFirstPerExactName) {
  for (const char* v : {"a", "", "b"}) EXPECT_EQ(PushCmdValue("qq", v), 1);
  EXPECT_EQ(PushCmdValue("r", "x"), 1);
  EXPECT_EQ(Pop("QQ"), "<none>");
  EXPECT_EQ(Pop("q"), "<none>");
  EXPECT_EQ(Pop("r"), "x");
  EXPECT_EQ(Pop("r"), "<none>");
  EXPECT_EQ(Pop("qq"), "a");
  // An empty value is stored as the empty marker and taken as no value.
  ASSERT_NE(getLastCmdElement("qq"), nullptr);
  EXPECT_STREQ(getLastCmdElement("qq")->userValue, "e0susu;");
  EXPECT_EQ(Pop("qq"), "<none>");
  EXPECT_EQ(Pop("qq"), "b");
  EXPECT_EQ(list_size(&CmdList), 0u);
  // Long names and values are cut to 63 and 799 characters.
  PushCmdValue(std::string(70, 'n').c_str(), std::string(900, 'v').c_str());
  EXPECT_EQ(Pop(std::string(63, 'n')), std::string(799, 'v'));
}

TEST_F(CmdQueueTest, PushMarksTempFileButCountsNoChange) {
  const int other = store::LocationAdd("/mnt/jffs2/conf/user/lan.conf", 1);
  const int temp = store::LocationAdd(store::kTempUserFile, 1);
  PushCmdValue("q", "a");
  const store::ParamRecord* e = getLastCmdElement("q");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->userLocation, temp);
  EXPECT_EQ(e->ispLocation, -1);
  EXPECT_EQ(e->userChanged, 1);
  EXPECT_EQ(e->callback, nullptr);
  EXPECT_EQ(store::UFL[temp].dirty, 1);
  EXPECT_EQ(store::UFL[other].dirty, 0);
  EXPECT_EQ(Counters().changes, 0u);

  // With the file table full, no file is marked.
  store::initialConfigLocationArray();
  for (int i = 0; i < store::kFileTableSize; ++i) {
    store::LocationAdd(("/mnt/jffs2/conf/user/f" + std::to_string(i)).c_str(),
                       1);
  }
  PushCmdValue("full", "b");
  EXPECT_EQ(getLastCmdElement("full")->userLocation, -1);
  for (const store::ConfigLocation& entry : store::UFL)
    EXPECT_EQ(entry.dirty, 0);
  EXPECT_EQ(Pop("full"), "b");
}

}  // namespace
}  // namespace cms::core
