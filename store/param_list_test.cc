// param_list_test.cc - lookup, insertion and removal in the parameter list.
#include "store/param_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
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
  static ParamRecord Named(const std::string& name) {
    ParamRecord r = {};
    strncpy(r.name, name.c_str(), kMaxNameLength);
    r.userLocation = r.ispLocation = -1;
    return r;
  }
  static void Add(const std::string& name) {
    ParamRecord r = Named(name);
    ASSERT_EQ(addElement(&r), 1);
    sortParamList();
  }
};

TEST_F(ParamListTest, LookupOnNoneOneAndMany) {
  EXPECT_EQ(seekElement("a"), nullptr);
  Add("only");
  EXPECT_STREQ(seekElement("only")->name, "only");
  for (const char* other : {"", "onl", "only1", "a", "z"}) {
    EXPECT_EQ(seekElement(other), nullptr) << other;
  }
  // Every stored name found; its neighbours one byte longer or shorter
  // found only when stored themselves.
  std::set<std::string> names = {"only"};
  std::mt19937 rng(5);
  for (int i = 0; i < 1000; ++i) {  // added in random order
    const std::string n =
        "p" + std::to_string(rng() % 100000) + "_" + std::to_string(i);
    names.insert(n);
    Add(n);
  }
  ASSERT_EQ(CheckListLength(), static_cast<int>(names.size()));
  for (const std::string& n : names) {
    const ParamRecord* r = seekElement(n.c_str());
    ASSERT_TRUE(r != nullptr && r->name == n) << n;
    ASSERT_EQ(seekElement((n + "x").c_str()), nullptr);
    const std::string shorter = n.substr(0, n.size() - 1);
    ASSERT_EQ(seekElement(shorter.c_str()) != nullptr,
              names.count(shorter) == 1)
        << shorter;
  }
}

TEST_F(ParamListTest, BytewiseOrderCopiesAndRemoval) {
  for (const char* n : {"abcd", "abc", "b", "B", "Abc", "a"}) Add(n);
  const std::vector<std::string> expected = {"Abc", "B",    "a",
                                             "abc", "abcd", "b"};
  ASSERT_EQ(CheckListLength(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<ParamRecord*>(list_get_at(&ParamList, i))->name,
              expected[i]);
  }
  EXPECT_EQ(seekElement("ABC"), nullptr);

  // The list holds its own copy, changed in place through the lookup.
  seekElement("a")->userChanged = 1;
  EXPECT_EQ(seekElement("a")->userChanged, 1);
  ParamRecord absent = Named("zz");
  EXPECT_EQ(DeleteFromList(&absent), 0);
  ParamRecord a = Named("a");
  EXPECT_EQ(DeleteFromList(&a), 1);
  EXPECT_EQ(seekElement("a"), nullptr);
  EXPECT_NE(seekElement("abc"), nullptr);
  EXPECT_EQ(CheckListLength(), 5);
}

}  // namespace
}  // namespace cms::store
