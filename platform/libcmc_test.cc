// libcmc_test.cc - mutex handles, pooled threads and the frame cipher.
#include "platform/libcmc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/root.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

TEST(CommonLibrary, MutexesAndThreads) {
  const int32_t a = CM_MutexCreate();
  const int32_t b = CM_MutexCreate();
  ASSERT_GE(a, 0);
  ASSERT_NE(a, b);
  EXPECT_EQ(CM_MutexWait(a), 0);
  EXPECT_EQ(CM_MutexWait(b), 0);  // independent of a
  EXPECT_EQ(CM_MutexRelease(b), 0);
  EXPECT_EQ(CM_MutexRelease(a), 0);
  EXPECT_EQ(CM_MutexWait(-1), -1);

  // Each routine runs; waiting for it lets the next call reuse the idle
  // worker.
  std::atomic<int> runs{0};
  auto routine = +[](void* arg) -> void* {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return nullptr;
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int i = 0; i < 50; ++i) {
    pthread_t t;
    ASSERT_EQ(CM_ThreadCreate(routine, &runs, &t), 0);
    while (runs.load() <= i && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  }
  EXPECT_EQ(runs.load(), 50);
  EXPECT_NE(CM_ThreadCreate(nullptr, nullptr, nullptr), 0);
}

TEST(CommonLibrary, CipherNeedsTheExactKeyAndAnIntactFrame) {
  testing::TempRoot root;
  SetRoot(root.dir());
  auto key = [&](size_t length, char fill) {
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
  SetRoot("/");
}

}  // namespace
}  // namespace cms::platform
