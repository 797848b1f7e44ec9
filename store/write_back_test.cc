// write_back_test.cc - rewritten files, callback order and the in-memory file.
#include "store/write_back.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "store/operations.h"
#include "store/store_fixture.h"
#include "tests/stub_programs.h"

namespace cms::store {
namespace {

using Lines = std::vector<std::string>;
Lines g_log;

int ParamCb(void* subject, const char* value, int phase) {
  g_log.push_back(std::string(static_cast<ParamRecord*>(subject)->name) + "=" +
                  value + "@" + std::to_string(phase));
  return 1;
}
int FileCb(void* subject, const char* value, int phase) {
  g_log.push_back(std::string("file ") + static_cast<char*>(subject) +
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
  // "sync &" runs in the background: the calls once `n` were recorded (or
  // a generous deadline passed).
  Lines SyncCalls(size_t n) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stubs_.Calls().size() < n &&
           std::chrono::steady_clock::now() < deadline) {
      sched_yield();
    }
    return stubs_.Calls();
  }
  ino_t Inode(const char* device_path) {
    struct stat st;
    return stat(root_.Host(device_path).c_str(), &st) == 0 ? st.st_ino : 0;
  }
  static constexpr char kLan[] = "/mnt/jffs2/conf/user/lan.conf";
  testing::StubPrograms stubs_{root_};
};

TEST_F(WriteBackTest, RewriteKeepsTheLayoutAndCallsInOrder) {
  WriteUser("lan.conf",
            "# head\na=1\nb 2\nc\t3\n\nbare\n indented=1\nd = x\n"
            "######end of file######\nafter=1\n");
  LoadTree();
  const int lan = UserIndex("lan.conf");
  ASSERT_EQ(SetParamValue("b", "3", kModeSetUser), 1);
  ASSERT_EQ(SetParamValue("d", "y", kModeSetUser), 1);
  ASSERT_EQ(DeleteParam("c", kModeDeleteUser), 1);
  ASSERT_EQ(AddParam("zz", "lan.conf", "2", kModeAddUser), 1);
  ASSERT_EQ(AddParam("aa", "lan.conf", "1", kModeAddUser), 1);
  for (const char* name : {"a", "b", "d", "aa", "zz", "after"}) {
    seekElement(name)->callback = ParamCb;
  }
  UFL[lan].callback = FileCb;

  EXPECT_EQ(writeParamToFile(), 1);
  const std::string expected = "# head\na=1\nb 3\nd y\nafter=1\naa=1\nzz=2\n";
  EXPECT_EQ(ReadUser("lan.conf"), expected);
  EXPECT_EQ(root_.Read("/tmp/xcfg_conf.tmp"), expected);
  EXPECT_EQ(g_log, (Lines{"b=3@1", "d=y@1", "aa=1@1", "zz=2@1",
                          "file /mnt/jffs2/conf/user/lan.conf@1"}));
  for (const char* name : {"b", "d", "aa", "zz"}) {
    EXPECT_EQ(seekElement(name)->userChanged, 0) << name;
  }
  EXPECT_EQ(UFL[lan].dirty, 0);
  EXPECT_EQ(SyncCalls(1), Lines{"sync"});

  // Nothing changed since: no pass at all.
  g_log.clear();
  const ino_t inode = Inode(kLan);
  EXPECT_EQ(writeParamToFile(), 0);
  EXPECT_TRUE(g_log.empty());
  // Changed and changed back: the same content is not copied over the
  // file, but the rest of the pass runs all the same.
  ASSERT_EQ(SetParamValue("a", "5", kModeSetUser), 1);
  ASSERT_EQ(SetParamValue("a", "1", kModeSetUser), 1);
  g_log.clear();
  EXPECT_EQ(writeParamToFile(), 0);
  EXPECT_EQ(Inode(kLan), inode);
  EXPECT_EQ(ReadUser("lan.conf"), expected);
  EXPECT_EQ(UFL[lan].dirty, 0);
  EXPECT_EQ(g_log, (Lines{"a=1@1", "file /mnt/jffs2/conf/user/lan.conf@1"}));
  EXPECT_EQ(SyncCalls(2), (Lines{"sync", "sync"}));
}

TEST_F(WriteBackTest, UserPassThenIspPassPerIndex) {
  ASSERT_EQ(LocationAdd(kLan, kUserTable), 0);
  ASSERT_EQ(LocationAdd("/mnt/jffs2/conf/isp/user/lan.conf", kIspTable), 0);
  WriteUser("lan.conf", "p=u\n");
  WriteIsp("lan.conf", "p=i\n");
  WriteUser("wan.conf", "w=1\n");
  LoadTree();
  const int wan = UserIndex("wan.conf");
  ASSERT_GT(wan, 0);
  ASSERT_EQ(SetParamValue("p", "v", kModeSetBoth), 1);
  ASSERT_EQ(SetParamValue("w", "2", kModeSetUser), 1);
  seekElement("p")->callback = seekElement("w")->callback = ParamCb;
  UFL[0].callback = IFL[0].callback = UFL[wan].callback = FileCb;

  EXPECT_EQ(writeParamToFile(), 3);
  EXPECT_EQ(g_log, (Lines{"p=v@1", "file /mnt/jffs2/conf/user/lan.conf@1",
                          "p=v@1", "file /mnt/jffs2/conf/isp/user/lan.conf@2",
                          "w=2@1", "file /mnt/jffs2/conf/user/wan.conf@1"}));
  EXPECT_EQ(ReadUser("lan.conf"), "p=v\n");
  EXPECT_EQ(ReadIsp("lan.conf"), "p=v\n");
  EXPECT_EQ(ReadUser("wan.conf"), "w=2\n");
  // One "sync &" per user-side file, none for the ISP side (whose sync
  // would have been started before the second user-side one).
  EXPECT_EQ(SyncCalls(2), (Lines{"sync", "sync"}));

  // A file gone missing keeps its parameter's mark and skips the callbacks.
  ASSERT_EQ(SetParamValue("p", "x", kModeSetBoth), 1);
  g_log.clear();
  ASSERT_EQ(remove(root_.Host(kLan).c_str()), 0);
  EXPECT_EQ(writeParamToFile(), 1);
  EXPECT_EQ(UFL[0].dirty, 0);
  EXPECT_EQ(seekElement("p")->userChanged, 1);
  EXPECT_EQ(seekElement("p")->ispChanged, 0);
  EXPECT_EQ(ReadIsp("lan.conf"), "p=x\n");
  EXPECT_FALSE(root_.Exists(kLan));
  EXPECT_EQ(g_log,
            (Lines{"p=x@1", "file /mnt/jffs2/conf/isp/user/lan.conf@2"}));
}

TEST_F(WriteBackTest, MemoryOnlyParametersAreNeverWritten) {
  WriteUser("lan.conf", "a=1\n");
  LoadTree();
  ASSERT_EQ(SetParamValue("fresh", "v", kModeSetUser), 1);
  seekElement("fresh")->callback = ParamCb;
  const int temp = UserIndex("XCFGtemp.conf");
  UFL[temp].callback = FileCb;
  EXPECT_EQ(writeParamToFile(), 0);
  EXPECT_EQ(seekElement("fresh")->userChanged, 0);
  EXPECT_EQ(UFL[temp].dirty, 0);
  EXPECT_EQ(root_.Read(kTempUserFile), "");
  EXPECT_EQ(g_log,
            (Lines{"fresh=v@1", "file /mnt/jffs2/conf/user/XCFGtemp.conf@1"}));
  // The next user-side file brings the first "sync" (one for the
  // in-memory file would have been started before it).
  ASSERT_EQ(SetParamValue("a", "2", kModeSetUser), 1);
  EXPECT_EQ(writeParamToFile(), 1);
  EXPECT_EQ(SyncCalls(1), Lines{"sync"});
}

TEST_F(WriteBackTest, LinesAreCutAt799Characters) {
  WriteUser("lan.conf", "name=old\nfits=old\n");
  LoadTree();
  // With its line feed, a line of 799 characters fits and one more is cut.
  const std::string v794(794, 'v');
  ASSERT_EQ(SetParamValue("name", v794.c_str(), kModeSetUser), 1);
  ASSERT_EQ(SetParamValue("fits", std::string(793, 'f').c_str(), kModeSetUser),
            1);
  ASSERT_EQ(
      AddParam("long", "lan.conf", std::string(900, 'l').c_str(), kModeAddUser),
      1);
  writeParamToFile();
  EXPECT_EQ(ReadUser("lan.conf"), "name=" + std::string(793, 'v') + "\n" +
                                      "fits=" + std::string(793, 'f') + "\n" +
                                      "long=" + std::string(793, 'l') + "\n");
  EXPECT_EQ(UserValue("name"), v794);  // memory keeps the whole value
  EXPECT_EQ(SyncCalls(1).size(), 1u);
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
  EXPECT_EQ(UFL[0].dirty, 1);
  EXPECT_EQ(UFL[1].dirty, 0);
  EXPECT_EQ(seekElement("b")->userChanged, 1);
  for (const char* name : {"a", "c", "x"}) {
    EXPECT_EQ(seekElement(name)->userChanged, 0) << name;
  }

  g_log.clear();
  EXPECT_EQ(writeParamToFile(), 1);
  EXPECT_EQ(ReadUser("f0.conf"), "a=1\nb=7\nc=9\na=9\n");
  EXPECT_EQ(g_log, Lines{"b called"});
  EXPECT_EQ(UFL[0].dirty, 0);
  EXPECT_EQ(SyncCalls(3).size(), 3u);
}

}  // namespace
}  // namespace cms::store
