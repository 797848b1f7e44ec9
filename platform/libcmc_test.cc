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

TEST(CommonLibrary, MutexHandlesAreDistinctAndUsable) {
  const int32_t a = CM_MutexCreate();
  const int32_t b = CM_MutexCreate();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(CM_MutexWait(a), 0);
  EXPECT_EQ(CM_MutexWait(b), 0);  // independent of a
  EXPECT_EQ(CM_MutexRelease(b), 0);
  EXPECT_EQ(CM_MutexRelease(a), 0);
  EXPECT_EQ(CM_MutexWait(-1), -1);
}

TEST(CommonLibrary, ThreadsRunAndAreReused) {
  std::atomic<int> runs{0};
  auto routine = +[](void* arg) -> void* {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return nullptr;
  };
  for (int i = 0; i < 50; ++i) {
    pthread_t t;
    ASSERT_EQ(CM_ThreadCreate(routine, &runs, &t), 0);
    // Let the worker go idle so that the next call reuses it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (runs.load() <= i && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  }
  EXPECT_EQ(runs.load(), 50);
  EXPECT_NE(CM_ThreadCreate(nullptr, nullptr, nullptr), 0);
}

class CipherTest : public ::testing::Test {
 protected:
  void SetUp() override { SetRoot(root_.dir()); }
  void TearDown() override { SetRoot("/"); }
  void WriteKey(size_t length, char fill) {
    root_.Write("/etc/cms/cipher.key", std::string(length, fill));
  }
  testing::TempRoot root_;
};

TEST_F(CipherTest, RoundTripWithTheKeyFile) {
  WriteKey(32, 'k');
  unsigned char frame[984];
  for (size_t i = 0; i < sizeof frame; ++i) frame[i] = static_cast<unsigned char>(i);
  int sealed_len = 0;
  unsigned char* sealed = CM_EncryptCfgData(frame, sizeof frame, &sealed_len);
  ASSERT_NE(sealed, nullptr);
  EXPECT_EQ(sealed_len, 1024);  // nonce 24 + 984 + tag 16
  int plain_len = 0;
  unsigned char* plain = CM_DecryptCfgData(sealed, sealed_len, &plain_len);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain_len, 984);
  EXPECT_EQ(memcmp(plain, frame, sizeof frame), 0);
  CM_Free(plain);

  sealed[100] ^= 1;  // a flipped bit fails the tag
  EXPECT_EQ(CM_DecryptCfgData(sealed, sealed_len, &plain_len), nullptr);
  CM_Free(sealed);
}

TEST_F(CipherTest, MissingShortOrOtherKeyFails) {
  unsigned char data[16] = {1, 2, 3};
  int len = 0;
  EXPECT_EQ(CM_EncryptCfgData(data, sizeof data, &len), nullptr);  // no file
  WriteKey(31, 'k');
  EXPECT_EQ(CM_EncryptCfgData(data, sizeof data, &len), nullptr);
  WriteKey(33, 'k');
  EXPECT_EQ(CM_EncryptCfgData(data, sizeof data, &len), nullptr);

  WriteKey(32, 'k');
  unsigned char* sealed = CM_EncryptCfgData(data, sizeof data, &len);
  ASSERT_NE(sealed, nullptr);
  WriteKey(32, 'x');
  EXPECT_EQ(CM_DecryptCfgData(sealed, len, &len), nullptr);
  EXPECT_EQ(CM_DecryptCfgData(sealed, 39, &len), nullptr);  // shorter than nonce+tag
  CM_Free(sealed);
}

}  // namespace
}  // namespace cms::platform
