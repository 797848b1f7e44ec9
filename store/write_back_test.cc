// write_back_test.cc - rewritten files, callback order, changes made while
// the files are written, and a write-back that has to wait for a descriptor.
#include "store/write_back.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "store/operations.h"
#include "testing/sandbox.h"
#include "testing/store_fixture.h"
#include "testing/stub_programs.h"

namespace cms::store {
namespace {

using Lines = std::vector<std::string>;
Lines g_log;

int ParamCb(void* subject, const char* value, int phase) {
  g_log.push_back(std::string(static_cast<ParamRecord*>(subject)->name) + "=" +
                  value + "@" + std::to_string(phase));
  return 1;
}
// Logs the path below /mnt/jffs2/conf/; a file callback gets no value.
int FileCb(void* subject, const char* value, int phase) {
  g_log.push_back("file " + std::string(static_cast<char*>(subject) + 16) +
                  (value == nullptr ? "" : " with value") + "@" +
                  std::to_string(phase));
  return 1;
}

class WriteBackTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    g_log.clear();
    stubs_.Install();
    stubs_.AddStub("/stub_bin/sync", "");
  }
  static void Watch(std::initializer_list<const char*> names) {
    for (const char* name : names) seekElement(name)->callback = ParamCb;
  }
  testing::StubPrograms stubs_{root_};
};

TEST_F(WriteBackTest, RewriteKeepsTheLayoutAndCallsInOrder) {
  // The last line has no line feed: an appended line must start its own.
  WriteUser("lan.conf",
            "# head\na=1\nb 2\nc\t3\n\nbare\n indented=1\nd = x\n"
            "######end of file######\nafter=1");
  LoadTree();
  EXPECT_EQ(SetParamValue("b", "3", kModeSetUser) +
                SetParamValue("d", "y", kModeSetUser) +
                DeleteParam("c", kModeDeleteUser) +
                AddParam("zz", "lan.conf", "2", kModeAddUser) +
                AddParam("aa", "lan.conf", "1", kModeAddUser),
            5);
  Watch({"a", "b", "d", "aa", "zz", "after"});
  UFL[UserIndex("lan.conf")].callback = FileCb;

  EXPECT_EQ(writeParamToFile(), 1);
  EXPECT_EQ(ReadUser("lan.conf"),
            "# head\na=1\nb 3\nbare\n indented=1\nd y\nafter=1\naa=1\nzz=2\n");
  EXPECT_EQ(g_log, (Lines{"b=3@1", "d=y@1", "aa=1@1", "zz=2@1",
                          "file user/lan.conf@1"}));
  EXPECT_EQ(State("b") + " " + State("zz") + Dirty(),
            "3@lan.conf (null)@- 2@lan.conf (null)@-");
  EXPECT_EQ(writeParamToFile(), 0);  // nothing changed since: no pass
}

TEST_F(WriteBackTest, UserPassThenIspPass) {
  ASSERT_EQ(LocationAdd("/mnt/jffs2/conf/user/lan.conf", kUserTable), 0);
  ASSERT_EQ(LocationAdd("/mnt/jffs2/conf/isp/user/lan.conf", kIspTable), 0);
  WriteUser("lan.conf", "p=u\n");
  WriteIsp("lan.conf", "p=i\n");
  LoadTree();
  ASSERT_EQ(SetParamValue("p", "v", kModeSetBoth), 1);
  Watch({"p"});
  UFL[0].callback = IFL[0].callback = FileCb;
  EXPECT_EQ(writeParamToFile(), 2);
  EXPECT_EQ(g_log, (Lines{"p=v@1", "file user/lan.conf@1", "p=v@1",
                          "file isp/user/lan.conf@2"}));
  EXPECT_EQ(ReadUser("lan.conf") + ReadIsp("lan.conf"), "p=v\np=v\n");
  EXPECT_EQ(stubs_.Calls(1), Lines{"sync"});  // none for the ISP side
}

// b's phase-1 callback sets a (whose line is already copied), c (whose line
// is still to come) and x (in a later file); x's sets b again.
int SetOthersCb(void*, const char*, int phase) {
  if (phase != 1) return 1;
  g_log.push_back("b called");
  for (const char* name : {"a", "c", "x"}) {
    SetParamValue(name, "9", kModeSetUser);
  }
  return 1;
}
int SetBackCb(void*, const char*, int phase) {
  if (phase != 1) return 1;
  g_log.push_back("x called");
  SetParamValue("b", "7", kModeSetUser);
  return 1;
}

TEST_F(WriteBackTest, CallbackChangesDuringTheRun) {
  ASSERT_EQ(LocationAdd("/mnt/jffs2/conf/user/f0.conf", kUserTable), 0);
  ASSERT_EQ(LocationAdd("/mnt/jffs2/conf/user/f1.conf", kUserTable), 1);
  WriteUser("f0.conf", "a=1\nb=1\nc=1\n");
  WriteUser("f1.conf", "x=1\n");
  LoadTree();
  ASSERT_EQ(SetParamValue("b", "2", kModeSetUser), 1);
  seekElement("b")->callback = SetOthersCb;
  seekElement("x")->callback = SetBackCb;

  EXPECT_EQ(writeParamToFile(), 2);
  EXPECT_EQ(g_log, (Lines{"b called", "x called"}));
  EXPECT_EQ(ReadUser("f0.conf"), "a=1\nb=2\nc=9\na=9\n");
  EXPECT_EQ(ReadUser("f1.conf"), "x=9\n");
  // x's change falls on a file already written: it waits for the next run.
  EXPECT_EQ(State("b") + " " + Dirty(), "7@f0.conf* (null)@- user/f0.conf");
  g_log.clear();
  EXPECT_EQ(writeParamToFile(), 1);
  EXPECT_EQ(ReadUser("f0.conf"), "b=7\nc=9\na=9\n");
  EXPECT_EQ(g_log, Lines{"b called"});
  EXPECT_EQ(Dirty(), "");
}

// With no descriptor free the file stays dirty and a retry is asked for
// (once, after a back-off), so an acknowledged value is not stranded.
TEST_F(WriteBackTest, NoDescriptorKeepsTheFileDirtyUntilTheNextWrite) {
  WriteUser("a.conf", "x=1\n");
  LoadTree();
  ASSERT_EQ(SetParamValue("x", "2", kModeSetUser), 1);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low = {256, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    taken.push_back(fd);
  writeParamToFile();
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(ReadUser("a.conf") + Dirty(), "x=1\nuser/a.conf");
  EXPECT_FALSE(TakeDeferredWrite());
  EXPECT_TRUE(testing::Sandbox::WaitUntil(TakeDeferredWrite,
                                          std::chrono::seconds(5)));
  EXPECT_FALSE(TakeDeferredWrite());
  writeParamToFile();
  EXPECT_EQ(ReadUser("a.conf") + Dirty(), "x=2\n");
}

}  // namespace
}  // namespace cms::store
