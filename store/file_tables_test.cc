// file_tables_test.cc - entries of the two configuration file tables.
#include "store/file_tables.h"

#include <gtest/gtest.h>

#include <string>

namespace cms::store {
namespace {

// Emptying the tables again is what every store test starts with.
TEST(FileTables, EntriesAreTakenInOrderReusedAndLimited) {
  initialConfigLocationArray();
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/user/lan.conf", kUserTable), 0);
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/user/wan.conf", kUserTable), 1);
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/user/lan.conf", kUserTable), 0);
  for (int table : {0, 3, -1})
    EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/user/x", table), -1);
  // Too long to be kept whole: refused, and no entry taken.
  const std::string long_path = "/mnt/jffs2/conf/user/" + std::string(50, 'x');
  EXPECT_EQ(LocationAdd(long_path.c_str(), kUserTable), -1);
  EXPECT_STREQ(UFL[2].path, kFreeEntry);

  // The ISP table fills up on its own; a known path is still found.
  for (int i = 0; i < kFileTableSize; ++i) {
    const std::string path = "/mnt/jffs2/conf/isp/user/f" + std::to_string(i);
    ASSERT_EQ(LocationAdd(path.c_str(), kIspTable), i);
  }
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/isp/user/new", kIspTable), -1);
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/isp/user/f200", kIspTable), 200);
  EXPECT_EQ(LocationAdd("/mnt/jffs2/conf/user/new", kUserTable), 2);
}

}  // namespace
}  // namespace cms::store
