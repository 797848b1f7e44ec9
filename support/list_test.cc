// list_test.cc - positions, ownership and sorting.
#include "support/list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace cms::support {
namespace {

int CompareInts(const void* a, const void* b) {
  const int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
  return (x > y) - (x < y);
}
size_t IntSize(const void*) { return sizeof(int); }

// Random inserts and deletes of copied ints against a vector, then both
// sort orders.
TEST(List, PositionsSortingAndOwnership) {
  list_t l;
  list_init(&l);
  EXPECT_EQ(list_attributes_copy(&l, nullptr, 1), -1);
  ASSERT_EQ(list_attributes_copy(&l, IntSize, 1), 0);
  list_attributes_comparator(&l, CompareInts);
  std::vector<int> model;
  std::mt19937 rng(3);
  for (int step = 0; step < 500; ++step) {
    const int count = static_cast<int>(model.size());
    int v = static_cast<int>(rng() % 100);  // duplicates for the sort
    const int pos = static_cast<int>(rng() % (count + 1));
    if (count > 0 && v % 3 == 0) {
      ASSERT_EQ(list_delete_at(&l, pos % count), 0);
      model.erase(model.begin() + pos % count);
    } else {
      ASSERT_EQ(list_insert_at(&l, &v, pos), 1);
      model.insert(model.begin() + pos, v);
    }
  }
  const int size = static_cast<int>(model.size());
  EXPECT_EQ(list_get_at(&l, -1), nullptr);
  EXPECT_EQ(list_get_at(&l, size), nullptr);
  EXPECT_EQ(list_delete_at(&l, size), -1);
  EXPECT_EQ(list_insert_at(&l, &size, size + 1), -1);
  for (int order : {0, -1, 1}) {  // as built, then sorted both ways
    ASSERT_EQ(list_sort(&l, order), 0);
    if (order != 0) std::sort(model.begin(), model.end());
    if (order == 1) std::reverse(model.begin(), model.end());
    ASSERT_EQ(list_size(&l), model.size());
    for (int i = 0; i < size; ++i)
      ASSERT_EQ(*static_cast<int*>(list_get_at(&l, i)), model[i]) << i;
  }
  list_destroy(&l);

  // Without copying the list frees an element on delete but not on clear:
  // the sanitizer build reports a leak or a double free otherwise.
  list_init(&l);
  ASSERT_EQ(list_append(&l, malloc(16)), 1);
  ASSERT_EQ(list_delete_at(&l, 0), 0);
  void* block = malloc(16);
  list_append(&l, block);
  ASSERT_EQ(list_clear(&l), 0);
  free(block);
  list_destroy(&l);
}

}  // namespace
}  // namespace cms::support
