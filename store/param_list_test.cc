// param_list_test.cc - lookup and bytewise order in the parameter list;
// removal is seen through the delete operation.
#include "store/param_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "testing/process_state.h"

namespace cms::store {
namespace {

// Half the names as the loader adds them (append, then sort), half as an
// add at run time does (found at once, in order from the next walk on).
void Add(const std::string& name) {
  ParamRecord r = {};
  strncpy(r.name, name.c_str(), kMaxNameLength);
  r.userLocation = r.ispLocation = -1;
  static bool insert = false;
  if ((insert = !insert)) {
    ASSERT_EQ(insertElement(&r), 1);
  } else {
    ASSERT_EQ(addElement(&r), 1);
    sortParamList();
  }
  ASSERT_NE(seekElement(name.c_str()), nullptr) << name;
}

TEST(ParamList, LookupOnNoneOneAndManyInBytewiseOrder) {
  testing::ResetProcessState();
  EXPECT_EQ(seekElement("a"), nullptr);
  Add("only");
  EXPECT_STREQ(seekElement("only")->name, "only");
  for (const char* other : {"", "onl", "only1", "a", "z", "Only"}) {
    EXPECT_EQ(seekElement(other), nullptr) << other;
  }
  // Added in random order, the list holds them as a std::set orders bytes.
  // A name one byte longer or shorter, or with its first letter in the
  // other case, is found only when stored itself.
  std::set<std::string> names = {"only"};
  std::mt19937 rng(5);
  for (int i = 0; i < 1000; ++i) {
    const std::string n =
        std::string(1, "aAbB_"[rng() % 5]) + std::to_string(rng() % 5000);
    if (names.insert(n).second) Add(n);
  }
  ASSERT_EQ(CheckListLength(), static_cast<int>(names.size()));
  int i = 0;
  for (const std::string& n : names) {
    const ParamRecord* r = seekElement(n.c_str());
    ASSERT_TRUE(r != nullptr && r == list_get_at(&ParamList, i++)) << n;
    std::string other_case = n;
    other_case[0] ^= 0x20;
    for (const std::string& m :
         {n + "x", n.substr(0, n.size() - 1), other_case})
      ASSERT_EQ(seekElement(m.c_str()) != nullptr, names.count(m) == 1) << m;
  }

  testing::ResetProcessState();
}

}  // namespace
}  // namespace cms::store
