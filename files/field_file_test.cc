// field_file_test.cc - single-field access and the crash-safe copy.
#include "files/field_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "files/safe_file.h"
#include "platform/root.h"
#include "testing/process_state.h"
#include "testing/temp_root.h"

namespace cms::files {
namespace {

constexpr char kConf[] = "/mnt/jffs2/conf/user/lan.conf";
constexpr char kSame[] = "-----the same value, needn't to set_conf---------\n";

class FieldFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/tmp");
    root_.MakeDir("/mnt/jffs2/conf/user");
  }
  void TearDown() override {
    EXPECT_EQ(SetConfLock, 0);
  }
  // Runs set_conf_field_string; its result, then what it printed.
  std::string Set(const char* name, std::string value) {
    ::testing::internal::CaptureStdout();
    const int result = set_conf_field_string(kConf, name, value.data());
    return std::to_string(result) + ::testing::internal::GetCapturedStdout();
  }
  std::string Get(const char* name) {
    const char* v = get_conf_field_string(kConf, name);
    return v == nullptr ? "(null)" : v;
  }
  testing::TempRoot root_;
  testing::ScopedRoot scoped_root_{root_.dir()};
};

TEST_F(FieldFileTest, GetTakesTheFirstKeyedLine) {
  root_.Write(kConf,
              "# sys_lan_ip=9.9.9.9\nsys_lan_ip_alias=1.1.1.1\nempty=\n"
              "spaced = 5\ntabbed\tx y \ncrlf=v\r\nsys_lan_ip=192.168.1.1\n"
              "sys_lan_ip=10.0.0.1\nlast=end");
  EXPECT_EQ(Get("sys_lan_ip"), "192.168.1.1");
  EXPECT_EQ(Get("empty"), "(null)");
  EXPECT_EQ(Get("spaced"), "= 5");
  EXPECT_EQ(Get("tabbed"), "x y ");
  EXPECT_EQ(Get("crlf"), "v");
  EXPECT_EQ(Get("last"), "end");
  EXPECT_EQ(Get("sys_lan"), "(null)");
  EXPECT_EQ(get_conf_field_string("/mnt/jffs2/conf/user/none.conf", "a"),
            nullptr);
  EXPECT_EQ(CheckConfFiledString(kConf, "9.9.9"), 1);
  EXPECT_EQ(CheckConfFiledString(kConf, "absent"), 0);
}

TEST_F(FieldFileTest, SetRewritesEveryKeyedLineKeepingItsSeparator) {
  root_.Write(kConf, "# keep me\na=1\na_long=1\na\t1\r\nb=2\na = 1\na=1");
  EXPECT_EQ(Set("a", "7"), "1");
  const std::string expected =
      "# keep me\na=7\na_long=1\na\t7\nb=2\na 7\na=7\n";
  EXPECT_EQ(root_.Read(kConf), expected);
  // The working copy is built in memory: no file under /tmp holds it.
  EXPECT_FALSE(root_.Exists("/tmp/xcfg_set.tmp"));

  // A 400-character line arrives in pieces; its second piece looks like a
  // keyed line but is not the start of one.
  const std::string long_line = "long=" + std::string(244, 'x') + "a=trap\n";
  root_.Write(kConf, long_line + "a=1\n");
  EXPECT_EQ(Get("a"), "1");
  EXPECT_EQ(Set("a", "2"), "1");
  EXPECT_EQ(root_.Read(kConf), long_line + "a=2\n");
  EXPECT_EQ(Set("long", "short"), "1");
  EXPECT_EQ(root_.Read(kConf), "long=short\na=2\n");
}

TEST_F(FieldFileTest, SetRefusals) {
  const std::string before = "a=1\nb=x_b_x\nkey_only=\n";
  root_.Write(kConf, before);
  EXPECT_EQ(Set("a", "1"), std::string("0") + kSame);
  EXPECT_EQ(Set("zz", "1"),
            "0filename /mnt/jffs2/conf/user/lan.conf parameter name zz "
            "doesn't not exist\n");
  // "_b_" occurs only inside a value: its current value counts as empty.
  EXPECT_EQ(Set("_b_", ""), std::string("0") + kSame);
  EXPECT_EQ(Set("key_only", ""), std::string("0") + kSame);
  EXPECT_FALSE(root_.Exists("/tmp/xcfg_set.tmp"));
  // A line feed would smuggle a second line in; a value too long for one
  // 249-character line would be read back in pieces.
  EXPECT_EQ(Set("a", "2\nevil=1"), "0");
  EXPECT_EQ(Set("a", std::string(247, 'v')), "0");
  EXPECT_EQ(root_.Read(kConf), before);

  // The longest value that fits: "a", "=", value, line feed = 249.
  EXPECT_EQ(Set("a", std::string(246, 'v')), "1");
  EXPECT_EQ(Get("a"), std::string(246, 'v'));
  // Present only inside a value: the file is rewritten, no line changes.
  EXPECT_EQ(Set("_b_", "9"), "1");
  EXPECT_EQ(root_.Read(kConf).substr(249), "b=x_b_x\nkey_only=\n");
}

TEST_F(FieldFileTest, DeleteDropsEveryKeyedLine) {
  root_.Write(kConf, "a=1\nab=2\na\t3\nc=a\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(delete_param(kConf, "a"), 1);
  EXPECT_EQ(delete_param(kConf, "zz"), 0);
  EXPECT_EQ(delete_param("/mnt/jffs2/conf/user/none.conf", "a"), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(root_.Read(kConf), "ab=2\nc=a\n");
}

TEST_F(FieldFileTest, CopyReplacesTheLinkTargetOrLeavesTheDestinationAlone) {
  const std::string bytes("new\0bytes\n", 10);
  root_.Write("/tmp/new", bytes);
  root_.Write("/data/real.conf", "old\n");
  chmod(root_.Host("/data/real.conf").c_str(), 0640);
  std::filesystem::create_symlink("../../../../data/real.conf",
                                  root_.Host(kConf));
  do_usr_copy("/tmp/new", kConf);
  EXPECT_TRUE(std::filesystem::is_symlink(root_.Host(kConf)));
  EXPECT_EQ(root_.Read("/data/real.conf"), bytes);
  struct stat st;
  ASSERT_EQ(stat(root_.Host("/data/real.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(root_.Read("/tmp/new"), bytes);  // the source stays

  // A missing source, a directory or a missing folder as destination.
  do_usr_copy("/tmp/missing", kConf);
  EXPECT_EQ(root_.Read(kConf), bytes);
  const std::string dir = "/mnt/jffs2/conf/user/dir.conf";
  root_.MakeDir(dir);
  do_usr_copy("/tmp/new", dir.c_str());
  EXPECT_TRUE(std::filesystem::is_directory(root_.Host(dir)));
  do_usr_copy("/tmp/new", "/mnt/jffs2/conf/nodir/x.conf");
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/nodir"));
  for (const auto& e :
       std::filesystem::recursive_directory_iterator(root_.dir())) {
    EXPECT_EQ(e.path().filename().string().find(files::kTempPrefix),
              std::string::npos)
        << e.path();
  }
}

// Kills a copying child at random moments: whatever the moment, the
// destination holds the whole old content or the whole new content, and
// the next start removes what the copy left behind (and nothing else).
TEST_F(FieldFileTest, KilledCopyLeavesOldOrNewContent) {
  std::string old_content, new_content;
  for (int i = 0; i < 60000; ++i) {
    old_content += "param_" + std::to_string(i) + "=old\n";
    new_content += "param_" + std::to_string(i) + "=new_value\n";
  }
  root_.Write("/tmp/old", old_content);
  root_.Write("/tmp/new", new_content);
  // Time one copy, to spread the kills over its whole length.
  const auto t0 = std::chrono::steady_clock::now();
  do_usr_copy("/tmp/old", kConf);
  const auto copy_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - t0);
  std::mt19937 rng(12345);
  std::uniform_int_distribution<long> delay_ns(0, 2 * copy_ns.count());
  for (int round = 0; round < 40; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    while (child == 0) {
      do_usr_copy("/tmp/new", kConf);
      do_usr_copy("/tmp/old", kConf);
    }
    // Busy-wait rather than sleep: the point is a random instant.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::nanoseconds(delay_ns(rng));
    while (std::chrono::steady_clock::now() < until) {
    }
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string now = root_.Read(kConf);
    ASSERT_TRUE(now == old_content || now == new_content)
        << "round " << round << ": " << now.size() << " bytes";
  }
  const std::string temp = std::string("/") + files::kTempPrefix + "x.12.0";
  root_.Write("/mnt/jffs2/conf/isp/user/deep" + temp, "x");
  root_.Write("/tmp" + temp, "x");  // a generated file's or a dump's
  root_.Write("/tmp/xcfg_set.tmp", "op_l2tp_password=x\n");  // older versions
  root_.Write("/mnt/jffs2/conf/user/.hidden.conf", "x");
  RemoveInterruptedCopies();
  for (const auto& e : std::filesystem::directory_iterator(
           root_.Host("/mnt/jffs2/conf/user"))) {
    EXPECT_TRUE(e.path().filename() == "lan.conf" ||
                e.path().filename() == ".hidden.conf")
        << e.path();
  }
  EXPECT_FALSE(root_.Exists("/mnt/jffs2/conf/isp/user/deep" + temp));
  EXPECT_FALSE(root_.Exists("/tmp" + temp));
  EXPECT_FALSE(root_.Exists("/tmp/xcfg_set.tmp"));
}

}  // namespace
}  // namespace cms::files
