// libcmc_test.cc - the worker threads. The frame cipher is exercised through
// the request path by tests/transport_test.cc and fuzz/cipher_frame_fuzz.cc.
#include "platform/libcmc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace cms::platform {
namespace {

// Routines that only finish once all of them run at the same time: one
// queued behind another would keep the batch waiting.
struct Batch {
  static constexpr int kSize = 12;
  std::mutex lock;
  std::condition_variable changed;
  int arrived = 0, finished = 0, met = 0, small_stack = 0;

  static void* Run(void* p) {
    auto* b = static_cast<Batch*>(p);
    pthread_attr_t attr;
    size_t stack = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack);
      pthread_attr_destroy(&attr);
    }
    std::unique_lock l(b->lock);
    b->small_stack += stack > 0 && stack <= 256 * 1024;
    ++b->arrived;
    b->changed.notify_all();
    b->met += b->changed.wait_for(l, std::chrono::seconds(5),
                                  [b] { return b->arrived == kSize; });
    ++b->finished;
    b->changed.notify_all();
    return nullptr;
  }
};

// A routine that throws ends only its own work, not the process.
TEST(CommonLibrary, EveryRoutineRunsAtOnceOnASmallThreadEvenAfterAThrow) {
  EXPECT_NE(CM_ThreadCreate(nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(CM_ThreadCreate([](void*) -> void* { throw std::bad_alloc(); },
                            nullptr, nullptr),
            0);
  Batch b;
  for (int i = 0; i < Batch::kSize; ++i)
    ASSERT_EQ(CM_ThreadCreate(Batch::Run, &b, nullptr), 0);
  std::unique_lock l(b.lock);
  b.changed.wait_for(l, std::chrono::seconds(10),
                     [&b] { return b.finished == Batch::kSize; });
  EXPECT_EQ(b.met + b.small_stack, 2 * Batch::kSize);
}

}  // namespace
}  // namespace cms::platform
