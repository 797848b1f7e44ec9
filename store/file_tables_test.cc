// file_tables_test.cc - entries of the two configuration file tables.
#include "store/file_tables.h"

#include <gtest/gtest.h>

#include <string>

namespace cms::store {
namespace {

TEST(FileTables, EntriesAreTakenInOrderReusedAndLimited) {
  initialConfigLocationArray();
  const std::string dir = "/mnt/jffs2/conf/user/";
  EXPECT_EQ(LocationAdd((dir + "lan.conf").c_str(), kUserTable), 0);
  EXPECT_EQ(LocationAdd((dir + "wan.conf").c_str(), kUserTable), 1);
  EXPECT_EQ(LocationAdd((dir + "lan.conf").c_str(), kUserTable), 0);
  for (int table : {0, 3, -1}) EXPECT_EQ(LocationAdd("/x", table), -1);
  // Too long to be kept whole: refused, and no entry taken.
  EXPECT_EQ(LocationAdd((dir + std::string(50, 'x')).c_str(), kUserTable), -1);
  // The ISP table fills up on its own; a known path is still found.
  const std::string isp = "/mnt/jffs2/conf/isp/user/f";
  for (int i = 0; i < kFileTableSize; ++i)
    ASSERT_EQ(LocationAdd((isp + std::to_string(i)).c_str(), kIspTable), i);
  EXPECT_EQ(LocationAdd((isp + "new").c_str(), kIspTable), -1);
  EXPECT_EQ(LocationAdd((isp + "200").c_str(), kIspTable), 200);
  EXPECT_EQ(LocationAdd((dir + "new").c_str(), kUserTable), 2);
}

}  // namespace
}  // namespace cms::store
