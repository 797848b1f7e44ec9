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

  static std::string Pop(const char* name) {
    const char* v = PopCmdValue(name);
    return v == nullptr ? "<none>" : v;
  }
};

TEST_F(CmdQueueTest, OldestFirstPerNameAndNamesApart) {
  EXPECT_EQ(PushCmdValue("q", "a"), 1);
  EXPECT_EQ(PushCmdValue("r", "x"), 1);
  EXPECT_EQ(PushCmdValue("q", "b"), 1);
  EXPECT_EQ(Pop("r"), "x");
  EXPECT_EQ(Pop("q"), "a");
  EXPECT_EQ(Pop("q"), "b");
  EXPECT_EQ(Pop("q"), "<none>");
  EXPECT_EQ(Pop("r"), "<none>");
  EXPECT_EQ(list_size(&CmdList), 0u);
}

TEST_F(CmdQueueTest, EmptyValueIsConsumedAsNoValue) {
  PushCmdValue("n", "");
  PushCmdValue("n", "c");
  ASSERT_NE(getLastCmdElement("n"), nullptr);
  EXPECT_STREQ(getLastCmdElement("n")->userValue, "e0susu;");
  EXPECT_EQ(PopCmdValue("n"), nullptr);
  EXPECT_EQ(list_size(&CmdList), 1u);
  EXPECT_EQ(Pop("n"), "c");
}

TEST_F(CmdQueueTest, NamesCompareExactly) {
  PushCmdValue("Foo", "v");
  EXPECT_EQ(PopCmdValue("foo"), nullptr);
  EXPECT_EQ(PopCmdValue("Fo"), nullptr);
  EXPECT_EQ(PopCmdValue("never"), nullptr);
  EXPECT_EQ(list_size(&CmdList), 1u);
  EXPECT_EQ(Pop("Foo"), "v");
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
}

TEST_F(CmdQueueTest, LongNameAndValueAreCut) {
  const std::string name(70, 'n');
  const std::string value(900, 'v');
  PushCmdValue(name.c_str(), value.c_str());
  EXPECT_EQ(Pop(name.substr(0, 63).c_str()), value.substr(0, 799));
}

TEST_F(CmdQueueTest, FullFileTableMarksNothing) {
  for (int i = 0; i < store::kFileTableSize; ++i) {
    const std::string path = "/mnt/jffs2/conf/user/f" + std::to_string(i);
    ASSERT_EQ(store::LocationAdd(path.c_str(), 1), i);
  }
  PushCmdValue("q", "a");
  ASSERT_NE(getLastCmdElement("q"), nullptr);
  EXPECT_EQ(getLastCmdElement("q")->userLocation, -1);
  for (const store::ConfigLocation& entry : store::UFL) {
    EXPECT_EQ(entry.dirty, 0);
  }
  EXPECT_EQ(Pop("q"), "a");
}

}  // namespace
}  // namespace cms::core
