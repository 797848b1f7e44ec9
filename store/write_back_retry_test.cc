// write_back_retry_test.cc - a write-back that finds no descriptor free
// keeps its file dirty and asks to be tried again, so an acknowledged value
// is not stranded in memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "store/file_tables.h"
#include "store/operations.h"
#include "store/store_fixture.h"
#include "store/write_back.h"
#include "tests/stub_programs.h"

namespace cms::store {
namespace {

class WriteBackRetry : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    stubs_.Install();
    stubs_.AddStub("/stub_bin/sync", "");
  }

  // Runs `body` with every descriptor this process may open taken.
  template <typename Body>
  static void WithoutDescriptors(Body body) {
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
      taken.push_back(fd);
    }
    body();
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }

  testing::StubPrograms stubs_{root_};
};

TEST_F(WriteBackRetry, NoDescriptorKeepsTheFileDirtyUntilTheNextWrite) {
  WriteUser("a.conf", "x=1\n");
  LoadTree();
  ASSERT_NE(SetParamValue("x", "2", kModeSetUser), 0);
  const int index = UserIndex("a.conf");
  WithoutDescriptors([] { writeParamToFile(); });
  EXPECT_EQ(ReadUser("a.conf"), "x=1\n");
  EXPECT_EQ(UFL[index].dirty, 1);
  EXPECT_TRUE(TakeDeferredWrite());
  EXPECT_FALSE(TakeDeferredWrite());  // told once

  writeParamToFile();
  EXPECT_EQ(ReadUser("a.conf"), "x=2\n");
  EXPECT_EQ(UFL[index].dirty, 0);
  EXPECT_FALSE(TakeDeferredWrite());
}

TEST_F(WriteBackRetry, RemovedFileIsNotRetried) {
  WriteUser("a.conf", "x=1\n");
  LoadTree();
  ASSERT_NE(SetParamValue("x", "2", kModeSetUser), 0);
  ASSERT_EQ(unlink(root_.Host(std::string(kUserDir) + "a.conf").c_str()), 0);
  writeParamToFile();
  EXPECT_EQ(UFL[UserIndex("a.conf")].dirty, 0);
  EXPECT_FALSE(TakeDeferredWrite());
}

}  // namespace
}  // namespace cms::store
