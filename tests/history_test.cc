// history_test.cc - the change history seen through cms log and cms watch:
// who changed what, in order, across watcher restarts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

using Json = nlohmann::json;

constexpr char kHistFile[] = "/mnt/jffs2/conf/user/hist.conf";
constexpr char kSecret[] = "S3cr3tV@lue";

// The lines of JSON that `cms watch --json` started as `tag` wrote, waiting
// (bounded) until there are at least `n`.
std::vector<Json> Records(const Sandbox& sandbox, const std::string& tag,
                          size_t n = 0) {
  std::vector<Json> records;
  Sandbox::WaitUntil(
      [&] {
        records.clear();
        std::istringstream in(sandbox.Read("/" + tag + ".stdout"));
        for (std::string line; std::getline(in, line);)
          records.push_back(Json::parse(line));
        return records.size() >= n;
      },
      seconds(10));
  return records;
}

void End(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Each record as [name, old, new], checking that the numbers rise by one
// and that the writer is this process.
std::vector<Json> Changes(const std::vector<Json>& records) {
  std::string comm = Sandbox::ReadHost("/proc/self/comm");
  comm.pop_back();  // its line feed
  std::vector<Json> changes;
  for (size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    if (i > 0) {
      EXPECT_EQ(r["seq"], records[i - 1]["seq"].get<uint64_t>() + 1);
    }
    EXPECT_EQ(r["pid"], getpid());
    EXPECT_EQ(r["process"], comm);
    changes.push_back(Json::array({r["name"], r["old"], r["new"]}));
  }
  return changes;
}

TEST(History, WatchersSeeEveryChangeInOrderAndResume) {
  Sandbox sandbox(Files{{kHistFile, "hist_a=0\nhist_b=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const std::string state = sandbox.Host("/w.state");
  const pid_t steady =
      sandbox.StartCms({"watch", "--json", "--since", "1", "hist_*"}, "steady");
  const pid_t first = sandbox.StartCms(
      {"watch", "--json", "--state", state, "--since", "1", "hist_*"}, "first");
  pid_t resumed = -1;
  std::vector<Json> expected;
  std::map<std::string, std::string> now = {{"hist_a", "0"}, {"hist_b", "0"}};
  for (int i = 1; i <= 30; ++i) {
    const std::string name = i % 2 ? "hist_a" : "hist_b";
    const std::string value = "v" + std::to_string(i);
    ASSERT_EQ(CMSSetValue(name.c_str(), value.c_str(), 2), 1);
    expected.push_back(Json::array({name, now[name], value}));
    now[name] = value;
    if (i == 10) {
      ASSERT_EQ(Records(sandbox, "first", 10).size(), 10u);
      End(first);  // its state is kept
    }
    // Without --since: it goes on from the state it left.
    if (i == 20) {
      resumed = sandbox.StartCms(
          {"watch", "--json", "--state", state, "hist_*"}, "resumed");
    }
  }
  ASSERT_EQ(CMSDelParam("hist_b", 9), 1);
  expected.push_back(Json::array({"hist_b", now["hist_b"], nullptr}));
  // A secret's value is kept out of the history.
  ASSERT_EQ(CMSSetValue("hist_password", kSecret, 2), 1);
  expected.push_back(Json::array({"hist_password", nullptr, nullptr}));
  const std::vector<Json> seen = Records(sandbox, "steady", expected.size());
  EXPECT_EQ(Changes(seen), expected);
  EXPECT_EQ(seen.back()["secret"], true);
  std::vector<Json> both = Records(sandbox, "first");
  for (const Json& r : Records(sandbox, "resumed", expected.size() - 10))
    both.push_back(r);
  EXPECT_EQ(Changes(both), expected);
  End(steady);
  End(resumed);
  EXPECT_EQ(sandbox.Read("/resumed.stderr"), "");

  const ProgramResult log = sandbox.RunCms({"log", "hist_*"});
  EXPECT_EQ(log.exit_code, 0);
  EXPECT_NE(log.out.find("set hist_a user \"v27\" -> \"v29\"  pid " +
                         std::to_string(getpid()) + " ("),
            std::string::npos)
      << log.out;
  for (const std::string& out : {sandbox.Read("/steady.stdout"), log.out})
    EXPECT_EQ(out.find(kSecret), std::string::npos) << out;

  // A change from an enciphered peer carries its address.
  const int fd = sandbox.Connect("127.0.0.2");
  ASSERT_TRUE(SealedRoundTrip(fd, MakeFrame(2, "sys_lan_ip", "10.1.1.1"),
                              sandbox.cipher_key()));
  close(fd);
  const Json last =
      Json::parse(sandbox.RunCms({"log", "-n", "1", "--json"}).out);
  EXPECT_EQ(last["peer"], "127.0.0.2");
  EXPECT_EQ(last["pid"], kTestPid);
  EXPECT_EQ(last["new"], "10.1.1.1");
}

}  // namespace
}  // namespace cms::testing
