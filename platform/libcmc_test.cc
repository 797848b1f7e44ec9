// libcmc_test.cc - the frame cipher's failures. Mutexes, threads and the
// enciphered exchange itself are exercised by tests/transport_test.cc.
#include "platform/libcmc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/root.h"
#include "tests/temp_root.h"

namespace cms::platform {
namespace {

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
