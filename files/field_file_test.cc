// field_file_test.cc - single-field access, links, interrupted writes.
#include "files/field_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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
  void TearDown() override { EXPECT_EQ(SetConfLock, 0); }
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
  const char* rows[][2] = {{"sys_lan_ip", "192.168.1.1"}, {"empty", "(null)"},
                           {"spaced", "= 5"},  {"tabbed", "x y "},
                           {"crlf", "v"},      {"last", "end"},
                           {"sys_lan", "(null)"}};
  for (const auto& [name, value] : rows) EXPECT_EQ(Get(name), value) << name;
}

TEST_F(FieldFileTest, SetRewritesEveryKeyedLineKeepingItsSeparator) {
  root_.Write(kConf, "# keep me\na=1\na_long=1\na\t1\r\nb=2\na = 1\na=1");
  EXPECT_EQ(Set("a", "7"), "1");
  EXPECT_EQ(root_.Read(kConf),
            "# keep me\na=7\na_long=1\na\t7\nb=2\na 7\na=7\n");
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
  EXPECT_EQ(Set("zz", "1")[0], '0');
  // "_b_" occurs only inside a value: its current value counts as empty.
  EXPECT_EQ(Set("_b_", ""), std::string("0") + kSame);
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

// A cut at each step of the crash-safe writer is tested in
// conffiles/crash_point_test.cc.
TEST_F(FieldFileTest, SetReplacesTheLinkTargetKeepingItsMode) {
  root_.Write("/data/real.conf", "a=1\n");
  chmod(root_.Host("/data/real.conf").c_str(), 0640);
  std::filesystem::create_symlink("../../../../data/real.conf",
                                  root_.Host(kConf));
  EXPECT_EQ(Set("a", "2"), "1");
  EXPECT_TRUE(std::filesystem::is_symlink(root_.Host(kConf)));
  EXPECT_EQ(root_.Read("/data/real.conf"), "a=2\n");
  struct stat st;
  ASSERT_EQ(stat(root_.Host("/data/real.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FieldFileTest, StartRemovesWhatInterruptedWritesLeftAndNothingElse) {
  const std::string temp = std::string("/") + kTempPrefix + "x.12.0";
  for (const std::string& left :
       {"/mnt/jffs2/conf/isp/user/deep" + temp, "/tmp" + temp,
        std::string("/tmp/xcfg_set.tmp")}) {  // older versions'
    root_.Write(left, "x");
  }
  root_.Write("/mnt/jffs2/conf/user/.hidden.conf", "x");
  RemoveInterruptedCopies();
  for (const auto& e :
       std::filesystem::recursive_directory_iterator(root_.dir())) {
    EXPECT_TRUE(e.is_directory() || e.path().filename() == ".hidden.conf")
        << e.path();
  }
}

}  // namespace
}  // namespace cms::files
