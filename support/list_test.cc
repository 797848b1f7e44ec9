// list_test.cc - positions, the middle element, ownership and sorting.
#include "support/list.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace cms::support {
namespace {

int CompareInts(const void* a, const void* b) {
  const int x = *static_cast<const int*>(a);
  const int y = *static_cast<const int*>(b);
  return (x > y) - (x < y);
}
size_t IntSize(const void*) { return sizeof(int); }

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list_init(&list_);
    ASSERT_EQ(list_attributes_copy(&list_, IntSize, 1), 0);
    list_attributes_comparator(&list_, CompareInts);
  }
  void TearDown() override { list_destroy(&list_); }
  int At(int pos) { return *static_cast<int*>(list_get_at(&list_, pos)); }
  // The list's content, checked against `model` element by element.
  void ExpectContent(const std::vector<int>& model) {
    ASSERT_EQ(list_size(&list_), model.size());
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(At(i), model[i]) << i;
    EXPECT_EQ(list_get_at(&list_, static_cast<int>(model.size())), nullptr);
  }
  list_t list_;
};

// Random inserts and deletes against a vector; the middle element
// ((count - 1) / 2) is what the parameter lookup relies on.
TEST_F(ListTest, PositionsFollowAModel) {
  int v = 0;
  EXPECT_EQ(list_get_at(&list_, -1), nullptr);
  EXPECT_EQ(list_delete_at(&list_, 0), -1);
  EXPECT_EQ(list_insert_at(&list_, &v, 1), -1);
  EXPECT_EQ(list_insert_at(&list_, &v, -1), -1);
  std::vector<int> model;
  std::mt19937 rng(3);
  for (int step = 0; step < 2000; ++step) {
    const int count = static_cast<int>(model.size());
    if (count > 0 && rng() % 3 == 0) {
      const int pos = static_cast<int>(rng() % count);
      ASSERT_EQ(list_delete_at(&list_, pos), 0);
      model.erase(model.begin() + pos);
    } else {
      v = step;
      const int pos = static_cast<int>(rng() % (count + 1));
      ASSERT_EQ(list_insert_at(&list_, &v, pos), 1);
      model.insert(model.begin() + pos, v);
    }
    if (!model.empty()) {
      const int mid = (static_cast<int>(model.size()) - 1) / 2;
      ASSERT_EQ(At(mid), model[mid]) << "step " << step;
    }
  }
  EXPECT_EQ(list_delete_at(&list_, static_cast<int>(model.size())), -1);
  v = -1;
  ASSERT_EQ(list_prepend(&list_, &v), 1);
  model.insert(model.begin(), -1);
  v = -2;
  ASSERT_EQ(list_append(&list_, &v), 1);
  model.push_back(-2);
  ExpectContent(model);
}

TEST_F(ListTest, CopyFlagDecidesWhoOwnsTheElement) {
  int v = 7;
  ASSERT_EQ(list_append(&list_, &v), 1);
  v = 8;
  EXPECT_EQ(At(0), 7);  // a copy, not the caller's int
  EXPECT_EQ(list_attributes_copy(&list_, nullptr, 1), -1);

  // Without copying the list frees an element on delete but not on clear.
  // The sanitizers keep their own heap, where LeakSanitizer checks this.
#if !defined(__SANITIZE_ADDRESS__)
  auto in_use = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
  list_t plain;
  list_init(&plain);
  constexpr size_t kBig = 8 << 20;  // large enough to see in the totals
  const size_t before = in_use();
  void* block = malloc(kBig);
  ASSERT_EQ(list_append(&plain, block), 1);
  EXPECT_EQ(list_get_at(&plain, 0), block);
  ASSERT_EQ(list_delete_at(&plain, 0), 0);
  EXPECT_LT(in_use(), before + kBig);
  block = malloc(kBig);
  list_append(&plain, block);
  ASSERT_EQ(list_clear(&plain), 0);
  EXPECT_EQ(list_size(&plain), 0u);
  EXPECT_GE(in_use(), before + kBig);
  free(block);
  list_destroy(&plain);
#endif
}

TEST_F(ListTest, Sorting) {
  std::vector<int> values;
  std::mt19937 rng(11);
  for (int i = 0; i < 500; ++i) values.push_back(static_cast<int>(rng() % 100));
  for (int x : values) list_append(&list_, &x);
  std::sort(values.begin(), values.end());
  ASSERT_EQ(list_sort(&list_, -1), 0);
  ExpectContent(values);
  ASSERT_EQ(list_sort(&list_, 1), 0);
  std::reverse(values.begin(), values.end());
  ExpectContent(values);
}

}  // namespace
}  // namespace cms::support
