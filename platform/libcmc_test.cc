// libcmc_test.cc - the worker threads and the frame cipher's failures. The
// enciphered exchange itself is exercised by tests/transport_test.cc.
#include "platform/libcmc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/root.h"
#include "testing/process_state.h"
#include "testing/temp_root.h"

namespace cms::platform {
namespace {

using std::chrono::seconds;

// A batch of routines that only finish once all of them run at the same
// time: a routine queued behind another would keep the batch waiting.
struct Batch {
  explicit Batch(int size) : size(size) {}
  const int size;
  std::mutex lock;
  std::condition_variable changed;
  int arrived = 0, finished = 0;
  int reused = 0;  // routines that ran on a thread that had served before
  bool all_met = true, small_stack = true;

  static void* Run(void* p) {
    thread_local int served = 0;
    auto* b = static_cast<Batch*>(p);
    pthread_attr_t attr;
    size_t stack = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack);
      pthread_attr_destroy(&attr);
    }
    std::unique_lock l(b->lock);
    b->small_stack = b->small_stack && stack > 0 && stack <= 256 * 1024;
    b->reused += served++ > 0;
    ++b->arrived;
    b->changed.notify_all();
    b->all_met = b->changed.wait_for(l, seconds(5), [b] {
      return b->arrived == b->size;
    }) && b->all_met;
    ++b->finished;
    b->changed.notify_all();
    return nullptr;
  }
  bool Finish() {
    std::unique_lock l(lock);
    return changed.wait_for(l, seconds(10), [this] {
      return finished == size;
    }) && all_met;
  }
};

TEST(CommonLibrary, EveryRoutineRunsAtOnceOnASmallThreadOfItsOwn) {
  EXPECT_NE(CM_ThreadCreate(nullptr, nullptr, nullptr), 0);
  for (int round = 0; round < 3; ++round) {
    Batch batch(12);
    for (int i = 0; i < batch.size; ++i) {
      pthread_t thread;
      ASSERT_EQ(CM_ThreadCreate(Batch::Run, &batch, &thread), 0);
    }
    ASSERT_TRUE(batch.Finish()) << "round " << round;
    EXPECT_TRUE(batch.small_stack);
  }
  // Threads that finished wait for the next routine instead of ending. One
  // at a time, each routine gets a thread that has served before, once the
  // previous one has had a moment to go back to waiting.
  int reused = 0;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Batch one(1);
    ASSERT_EQ(CM_ThreadCreate(Batch::Run, &one, nullptr), 0);
    ASSERT_TRUE(one.Finish());
    reused += one.reused;
  }
  EXPECT_GE(reused, 9);
}

TEST(CommonLibrary, RoutineThatThrowsEndsOnlyItsOwnWork) {
  static std::atomic<int> ran{0};
  auto throws = [](void*) -> void* {
    ++ran;
    throw std::bad_alloc();
  };
  auto counts = [](void*) -> void* {
    ++ran;
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(CM_ThreadCreate(throws, nullptr, &thread), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ran < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Still here, and the pool still runs routines.
  ASSERT_EQ(CM_ThreadCreate(counts, nullptr, &thread), 0);
  while (ran < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ran, 2);
}

TEST(CommonLibrary, CipherNeedsTheExactKeyAndAnIntactFrame) {
  testing::TempRoot root;
  const testing::ScopedRoot scoped_root(root.dir());
  const auto key = [&](size_t length, char fill) {
    root.Write("/etc/cms/cipher.key", std::string(length, fill));
  };
  unsigned char frame[984];
  for (size_t i = 0; i < sizeof frame; ++i) frame[i] = i & 0xff;
  int len = 0;
  EXPECT_EQ(CM_EncryptCfgData(frame, sizeof frame, &len), nullptr);  // no key
  for (size_t bad_length : {31, 33}) {
    key(bad_length, 'k');
    EXPECT_EQ(CM_EncryptCfgData(frame, sizeof frame, &len), nullptr);
  }
  key(32, 'k');
  unsigned char* sealed = CM_EncryptCfgData(frame, sizeof frame, &len);
  ASSERT_NE(sealed, nullptr);
  ASSERT_EQ(len, 1024);  // nonce 24 + 984 + tag 16
  int plain_len = 0;
  unsigned char* plain = CM_DecryptCfgData(sealed, len, &plain_len);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain_len, 984);
  EXPECT_EQ(memcmp(plain, frame, sizeof frame), 0);
  CM_Free(plain);
  EXPECT_EQ(CM_DecryptCfgData(sealed, 39, &plain_len), nullptr);  // too short
  sealed[100] ^= 1;  // a flipped bit fails the tag
  EXPECT_EQ(CM_DecryptCfgData(sealed, len, &plain_len), nullptr);
  sealed[100] ^= 1;
  key(32, 'x');
  EXPECT_EQ(CM_DecryptCfgData(sealed, len, &plain_len), nullptr);
  CM_Free(sealed);
}

}  // namespace
}  // namespace cms::platform
