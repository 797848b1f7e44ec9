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

// Names come in both ways: as the loader adds them (append, then sort) and
// as an add at run time does (found at once, in order from the next walk).
TEST(ParamList, LookupAndBytewiseOrder) {
  testing::ResetProcessState();
  std::set<std::string> names;
  std::mt19937 rng(5);
  for (int i = 0; i < 400; ++i) {
    ParamRecord r = {};
    const char first = "aAbB_"[rng() % 5];
    snprintf(r.name, sizeof r.name, "%c%u", first,
             static_cast<unsigned>(rng() % 2000));
    r.userLocation = r.ispLocation = -1;
    if (!names.insert(r.name).second) continue;
    ASSERT_EQ(i % 2 ? insertElement(&r) : addElement(&r), 1);
    if (i % 2 == 0) sortParamList();
    ASSERT_NE(seekElement(r.name), nullptr) << r.name;
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
