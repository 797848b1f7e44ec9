// history_test.cc - the change ring: wrap-around, cut and secret values,
// and the origin a change is recorded with.
#include "store/history.h"

#include <gtest/gtest.h>

#include <string>

namespace cms::store::history {
namespace {

TEST(History, RingKeepsTheNewestAndNumbersOnFromWhereItWas) {
  Configure(4);
  for (int i = 0; i < 6; ++i)
    Note(Op::kSet, "n", Side::kUser, nullptr, std::to_string(i).c_str());
  PageInfo info;
  Record page[2];
  ASSERT_EQ(ReadPage(1, page, 2, &info), 2u);  // older than held: from 3
  EXPECT_EQ(info.oldest, 3u);
  EXPECT_EQ(info.next, 7u);
  EXPECT_EQ(page[0].seq, 3u);
  EXPECT_STREQ(page[1].new_value, "3");
  const uint64_t boot = info.boot;
  Configure(0);  // off: nothing is kept, and a new start is told apart
  Note(Op::kSet, "n", Side::kUser, nullptr, "x");
  EXPECT_EQ(ReadPage(0, page, 2, &info), 0u);
  EXPECT_NE(info.boot, boot);
}

// Deletes, secrets, pids and process names are seen end to end in
// tests/history_test.cc.
TEST(History, LongValuesAreCutAndTheLabelNamesTheOrigin) {
  Configure(8);
  const std::string long_value(300, 'x');
  {
    const RequestScope request(1);
    const LabelScope label("SomeCallback");
    Note(Op::kReplace, "plain", Side::kIsp, "e0susu;", long_value.c_str());
  }
  Record r[2];
  PageInfo info;
  ASSERT_EQ(ReadPage(0, r, 2, &info), 1u);
  EXPECT_EQ(r[0].old_state, ValueState::kWhole);  // the empty-value marker
  EXPECT_STREQ(r[0].old_value, "");
  EXPECT_EQ(r[0].new_state, ValueState::kCut);
  EXPECT_EQ(std::string(r[0].new_value), long_value.substr(0, 95));
  EXPECT_EQ(r[0].pid, 1);
  EXPECT_STREQ(r[0].label, "SomeCallback");
  EXPECT_TRUE(IsSecretName("tr069_acs_PASSWD"));
  Configure(0);
}

}  // namespace
}  // namespace cms::store::history
