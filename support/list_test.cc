// list_test.cc - positions, the middle element, ownership and sorting.
#include "support/list.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace cms::support {
namespace {

int CompareInts(const void* a, const void* b) {
  const int x = *static_cast<const int*>(a);
  const int y = *static_cast<const int*>(b);
  return (x > y) - (x < y);
}
size_t IntSize(const void*) { return sizeof(int); }

// Bytes handed out by malloc and not yet freed. The sanitizers keep their
// own heap; there LeakSanitizer checks the same ownership instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMallocStats = false;
#else
constexpr bool kMallocStats = true;
#endif
size_t InUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(list_init(&list_), 0);
    ASSERT_EQ(list_attributes_copy(&list_, IntSize, 1), 0);
    ASSERT_EQ(list_attributes_comparator(&list_, CompareInts), 0);
  }
  void TearDown() override { list_destroy(&list_); }
  int At(int pos) { return *static_cast<int*>(list_get_at(&list_, pos)); }
  list_t list_;
};

TEST_F(ListTest, PositionsFollowAModel) {
  EXPECT_EQ(list_get_at(&list_, 0), nullptr);
  EXPECT_EQ(list_get_at(&list_, -1), nullptr);
  EXPECT_EQ(list_delete_at(&list_, 0), -1);
  int v = 0;
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
    ASSERT_EQ(list_size(&list_), model.size());
    if (!model.empty()) {
      const int mid = (static_cast<int>(model.size()) - 1) / 2;
      ASSERT_EQ(At(mid), model[mid]) << "step " << step;
      ASSERT_EQ(At(0), model.front());
      ASSERT_EQ(At(static_cast<int>(model.size()) - 1), model.back());
    }
  }
  for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(At(i), model[i]);
  EXPECT_EQ(list_get_at(&list_, static_cast<int>(model.size())), nullptr);
  EXPECT_EQ(list_delete_at(&list_, static_cast<int>(model.size())), -1);

  v = -1;
  ASSERT_EQ(list_prepend(&list_, &v), 1);
  EXPECT_EQ(At(0), -1);
  v = -2;
  ASSERT_EQ(list_append(&list_, &v), 1);
  EXPECT_EQ(At(static_cast<int>(list_size(&list_)) - 1), -2);
}

TEST_F(ListTest, CopyFlagDecidesWhoOwnsTheElement) {
  int v = 7;
  ASSERT_EQ(list_append(&list_, &v), 1);
  v = 8;
  EXPECT_EQ(At(0), 7);
  EXPECT_NE(list_get_at(&list_, 0), &v);
  EXPECT_EQ(list_attributes_copy(&list_, nullptr, 1), -1);

  // Without copying, the list keeps the pointer and frees it on delete,
  // but not on clear. A large block makes the release easy to see.
  list_t plain;
  list_init(&plain);
  constexpr size_t kBig = 8 << 20;
  const size_t before = InUse();
  void* block = malloc(kBig);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(list_append(&plain, block), 1);
  EXPECT_EQ(list_get_at(&plain, 0), block);
  EXPECT_TRUE(!kMallocStats || InUse() >= before + kBig);
  ASSERT_EQ(list_delete_at(&plain, 0), 0);
  EXPECT_TRUE(!kMallocStats || InUse() < before + kBig);

  block = malloc(kBig);
  ASSERT_EQ(list_append(&plain, block), 1);
  ASSERT_EQ(list_clear(&plain), 0);
  EXPECT_EQ(list_size(&plain), 0u);
  EXPECT_TRUE(!kMallocStats || InUse() >= before + kBig);
  free(block);
  list_destroy(&plain);
}

TEST_F(ListTest, Sorting) {
  int v = 5;
  list_append(&list_, &v);
  EXPECT_EQ(list_sort(&list_, -1), 0);
  EXPECT_EQ(At(0), 5);

  std::vector<int> values;
  std::mt19937 rng(11);
  for (int i = 0; i < 500; ++i) values.push_back(static_cast<int>(rng() % 100));
  for (int x : values) list_append(&list_, &x);
  values.push_back(5);
  std::sort(values.begin(), values.end());
  ASSERT_EQ(list_sort(&list_, -1), 0);
  for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(At(i), values[i]);
  ASSERT_EQ(list_sort(&list_, 1), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(At(i), values[values.size() - 1 - i]);
  }

  list_t bare;
  list_init(&bare);
  list_append(&bare, malloc(1));
  list_append(&bare, malloc(1));
  EXPECT_EQ(list_sort(&bare, -1), -1);
  while (list_size(&bare) > 0) list_delete_at(&bare, 0);
  list_destroy(&bare);
}

}  // namespace
}  // namespace cms::support
