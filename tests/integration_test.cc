// integration_test.cc - requests through the socket reach the files on
// flash and the message center, through the real daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kTimeout = seconds(5);

// `content` with the value of every line of `name` replaced; the line keeps
// its separator.
std::string WithValue(const std::string& content, const std::string& name,
                      const std::string& value) {
  std::string out;
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    end = end == std::string::npos ? content.size() : end + 1;
    std::string line = content.substr(at, end - at);
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        (line[name.size()] == '=' || line[name.size()] == '\t')) {
      line = line.substr(0, name.size() + 1) + value + "\n";
    }
    out += line;
    at = end;
  }
  return out;
}

std::string WithoutLine(std::string content, const std::string& line) {
  const size_t at = content.find(line);
  if (at != std::string::npos) content.erase(at, line.size());
  return content;
}

// The messages among `all` that are in `wanted`, in their order.
std::vector<std::string> Only(const std::vector<std::string>& all,
                              const std::set<std::string>& wanted) {
  std::vector<std::string> out;
  for (const std::string& m : all) {
    if (wanted.count(m) != 0) out.push_back(m);
  }
  return out;
}

class Integration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
    ASSERT_EQ(mc().WaitFor(1, kTimeout),
              std::vector<std::string>{"mc_trigger 23"});
  }

  MsgListener& mc() { return *sandbox_.messages(); }

  // One request; its status, after checking that the pid came back.
  int32_t Request(int32_t cmd, std::string_view name,
                  std::string_view value = {}, std::string_view location = {}) {
    const std::optional<Frame> answer =
        sandbox_.Exchange(MakeFrame(cmd, name, value, location));
    if (!answer.has_value()) return -1;
    EXPECT_EQ(FramePid(*answer), kTestPid);
    return FrameStatus(*answer);
  }

  std::optional<std::string> Get(std::string_view name, int32_t cmd = 1) {
    const std::optional<Frame> answer = sandbox_.Exchange(MakeFrame(cmd, name));
    if (!answer.has_value() || FrameStatus(*answer) != kStatusOk)
      return std::nullopt;
    return FrameValue(*answer);
  }

  // Waits until the file holds `expected`, then compares (so that a
  // mismatch shows both texts).
  void ExpectFile(const std::string& device_path, const std::string& expected) {
    Sandbox::WaitUntil(
        [&] { return sandbox_.ReadFile(device_path) == expected; }, kTimeout);
    EXPECT_EQ(sandbox_.ReadFile(device_path), expected) << device_path;
  }

  Sandbox sandbox_;
};

TEST_F(Integration, SetsAreWrittenBackWithTheirEvents) {
  EXPECT_EQ(Request(2, "wan_ntp2", "ntp2.example.net"), kStatusOk);
  EXPECT_EQ(Request(2, "wan_ntp1", "ntp1.example.net"), kStatusOk);
  EXPECT_EQ(Request(12, "wan_ntp3", "ntp3.example.net", "wan_network.conf"),
            kStatusOk);
  EXPECT_EQ(Request(2, "hostname", "gateway"), kStatusOk);
  EXPECT_EQ(Request(2, "sys_multicast", "disable"), kStatusOk);
  EXPECT_EQ(Request(2, "sys_multicast", "disable"),
            kStatusFailed);  // unchanged
  EXPECT_EQ(Request(9, "ui_wan_ping"), kStatusOk);
  EXPECT_EQ(Request(2, "scratch_value", "42"), kStatusOk);  // not in any file

  // wan_network.conf: the two NTP callbacks in line order while the file is
  // rewritten, then the file's own callback. sysini.conf: host name, then
  // multicast. fw_rule.conf: its file callback (firewall). The order of
  // the files among themselves is the file table's.
  const std::vector<std::string> got = mc().WaitFor(6, kTimeout);
  EXPECT_EQ(Only(got, {"mc_trigger_delay 17 1000", "mc_trigger_delay 38 1000"}),
            (std::vector<std::string>{"mc_trigger_delay 17 1000",
                                      "mc_trigger_delay 17 1000",
                                      "mc_trigger_delay 38 1000"}));
  EXPECT_EQ(Only(got, {"mc_trigger_delay 8 1000", "mc_trigger_delay 14 1000"}),
            (std::vector<std::string>{"mc_trigger_delay 8 1000",
                                      "mc_trigger_delay 14 1000"}));
  EXPECT_EQ(Only(got, {"mc_trigger_delay 10 1000"}),
            std::vector<std::string>{"mc_trigger_delay 10 1000"});
  EXPECT_EQ(got.size(), 6u) << ::testing::PrintToString(got);

  std::string wan = ReadExample("user/wan_network.conf");
  wan = WithValue(wan, "wan_ntp1", "ntp1.example.net");
  wan = WithValue(wan, "wan_ntp2", "ntp2.example.net");
  ExpectFile("/mnt/jffs2/conf/user/wan_network.conf",
             wan + "wan_ntp3=ntp3.example.net\n");

  std::string sysini = ReadExample("user/sysini.conf");
  sysini = WithValue(sysini, "hostname", "gateway");
  sysini = WithValue(sysini, "sys_multicast", "disable");
  ExpectFile("/mnt/jffs2/conf/user/sysini.conf",
             WithoutLine(sysini, "######end of file######\n"));

  ExpectFile(
      "/mnt/jffs2/conf/user/fw_rule.conf",
      WithoutLine(ReadExample("user/fw_rule.conf"), "ui_wan_ping=disable\n"));
  ExpectFile("/mnt/jffs2/conf/app/hosts",
             "192.168.1.1\tgateway\n127.0.0.1\tlocalhost\n");

  // Files nobody changed are left alone, the in-memory file stays empty.
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/lan.conf"),
            ReadExample("user/lan.conf"));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/isp/user/sysini.conf"),
            ReadExample("isp/user/sysini.conf"));
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/XCFGtemp.conf"), "");

  EXPECT_EQ(Get("hostname"), "gateway");
  EXPECT_EQ(Get("hostname", 3), "lte-router");  // the ISP side is separate
  EXPECT_EQ(Get("scratch_value"), "42");
  EXPECT_EQ(Get("ui_wan_ping"), std::nullopt);

  // Nothing is pending: no second write-back follows.
  EXPECT_TRUE(mc().WaitFor(1, milliseconds(300)).empty());
}

TEST_F(Integration, ReplaceWritesAtOnceWithoutEvents) {
  EXPECT_EQ(Request(17, "wan_ntp1", "ntp.replaced.net"), kStatusOk);
  // Replace rewrites the line itself before answering.
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/wan_network.conf"),
            WithValue(ReadExample("user/wan_network.conf"), "wan_ntp1",
                      "ntp.replaced.net"));
  EXPECT_EQ(Request(17, "wan_ntp1", "ntp.replaced.net"), kStatusFailed);
  // No callback at write-back and no write-back at all.
  EXPECT_TRUE(mc().WaitFor(1, milliseconds(300)).empty());
}

TEST_F(Integration, ExplicitWriteAnswersZeroFrame) {
  EXPECT_EQ(Request(2, "ui_dst", "0"), kStatusOk);
  const std::optional<Frame> answer = sandbox_.Exchange(MakeFrame(16, ""));
  ASSERT_TRUE(answer.has_value());
  EXPECT_TRUE(IsAllZero(*answer));
  // Written by the time the answer comes, by the request or by the tick.
  EXPECT_EQ(sandbox_.ReadFile("/mnt/jffs2/conf/user/time.conf"),
            WithValue(ReadExample("user/time.conf"), "ui_dst", "0"));
  EXPECT_EQ(mc().WaitFor(1, kTimeout),
            std::vector<std::string>{"mc_trigger_delay 29 1000"});
}

}  // namespace
}  // namespace cms::testing
