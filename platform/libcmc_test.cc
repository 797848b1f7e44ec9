// libcmc_test.cc - the worker threads. The frame cipher is exercised through
// the request path by tests/transport_test.cc and fuzz/cipher_frame_fuzz.cc.
#include "platform/libcmc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

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
  int arrived = 0, finished = 0, met = 0;
  int small_stack = 0, reused = 0;  // reused: ran on a thread that had served

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
    b->small_stack += stack > 0 && stack <= 256 * 1024;
    b->reused += served++ > 0;
    ++b->arrived;
    b->changed.notify_all();
    b->met += b->changed.wait_for(l, seconds(5),
                                  [b] { return b->arrived == b->size; });
    ++b->finished;
    b->changed.notify_all();
    return nullptr;
  }
  // Starts every routine; true once all ran together on small stacks.
  bool RunAll() {
    for (int i = 0; i < size; ++i) {
      if (CM_ThreadCreate(Run, this, nullptr) != 0) return false;
    }
    std::unique_lock l(lock);
    changed.wait_for(l, seconds(10), [this] { return finished == size; });
    return met == size && small_stack == size;
  }
};

TEST(CommonLibrary, EveryRoutineRunsAtOnceOnASmallThreadOfItsOwn) {
  EXPECT_NE(CM_ThreadCreate(nullptr, nullptr, nullptr), 0);
  Batch batch(12);
  EXPECT_TRUE(batch.RunAll());
}

// Threads that finished wait for the next routine instead of ending: one at
// a time, each routine gets a thread that has served before, once the
// previous one has had a moment to go back to waiting. A routine that
// throws ends only its own work.
TEST(CommonLibrary, IdleThreadsServeAgainAfterARoutineThrew) {
  ASSERT_EQ(CM_ThreadCreate([](void*) -> void* { throw std::bad_alloc(); },
                            nullptr, nullptr),
            0);
  int reused = 0;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Batch one(1);
    ASSERT_TRUE(one.RunAll());
    reused += one.reused;
  }
  EXPECT_GE(reused, 9);
}

}  // namespace
}  // namespace cms::platform
