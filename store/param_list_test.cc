// param_list_test.cc - lookup, insertion and removal in the parameter list.
#include "store/param_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace cms::store {
namespace {

class ParamListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetParamList();
    initParamList();
  }
  void TearDown() override { ResetParamList(); }

  static void Add(const std::string& name) {
    ParamRecord r = {};
    strncpy(r.name, name.c_str(), kMaxNameLength);
    r.userLocation = -1;
    r.ispLocation = -1;
    ASSERT_EQ(addElement(&r), 1);
    sortParamList();
  }
};

TEST_F(ParamListTest, LookupOnNoneOneAndMany) {
  EXPECT_EQ(seekElement("a"), nullptr);
  EXPECT_EQ(seekElement(""), nullptr);
  Add("only");
  ASSERT_NE(seekElement("only"), nullptr);
  EXPECT_STREQ(seekElement("only")->name, "only");
  for (const char* other : {"", "onl", "only1", "a", "z"}) {
    EXPECT_EQ(seekElement(other), nullptr) << other;
  }

  // Every stored name found, every name between or beyond them missed.
  std::vector<std::string> names;
  std::mt19937 rng(5);
  for (int i = 0; i < 1000; ++i) {
    names.push_back("p" + std::to_string(rng() % 100000) + "_" +
                    std::to_string(i));
  }
  for (const std::string& n : names) Add(n);
  names.push_back("only");
  ASSERT_EQ(CheckListLength(), static_cast<int>(names.size()));
  for (const std::string& n : names) {
    const ParamRecord* r = seekElement(n.c_str());
    ASSERT_NE(r, nullptr) << n;
    ASSERT_EQ(r->name, n);
    ASSERT_EQ(seekElement((n + "x").c_str()), nullptr);
    const std::string shorter = n.substr(0, n.size() - 1);
    const bool stored =
        std::find(names.begin(), names.end(), shorter) != names.end();
    ASSERT_EQ(seekElement(shorter.c_str()) != nullptr, stored) << shorter;
  }
  EXPECT_EQ(seekElement("A"), nullptr);
  EXPECT_EQ(seekElement("zzz"), nullptr);
}

TEST_F(ParamListTest, BytewiseOrder) {
  for (const char* n : {"abcd", "abc", "b", "B", "Abc", "a"}) Add(n);
  const std::vector<std::string> expected = {"Abc", "B",    "a",
                                             "abc", "abcd", "b"};
  for (int i = 0; i < CheckListLength(); ++i) {
    EXPECT_EQ(static_cast<ParamRecord*>(list_get_at(&ParamList, i))->name,
              expected[i]);
  }
  EXPECT_EQ(seekElement("ABC"), nullptr);
  EXPECT_EQ(seekElement("A"), nullptr);
  Add("0last_appended");
  EXPECT_NE(seekElement("0last_appended"), nullptr);
}

TEST_F(ParamListTest, StoredCopyAndRemoval) {
  Add("a");
  Add("b");
  seekElement("a")->userChanged = 1;
  EXPECT_EQ(seekElement("a")->userChanged, 1);

  ParamRecord absent = {};
  strcpy(absent.name, "zz");
  EXPECT_EQ(DeleteFromList(&absent), 0);
  EXPECT_EQ(CheckListLength(), 2);
  ParamRecord a = {};
  strcpy(a.name, "a");
  EXPECT_EQ(DeleteFromList(&a), 1);
  EXPECT_EQ(seekElement("a"), nullptr);
  EXPECT_NE(seekElement("b"), nullptr);
  EXPECT_EQ(CheckListLength(), 1);

  const int32_t lock = ParamListLock;
  ASSERT_NE(lock, -1);
  ResetParamList();
  initParamList();
  EXPECT_EQ(ParamListLock, lock);
}

}  // namespace
}  // namespace cms::store
