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

// `cms ARGS` running beside the test, its output in <root>/<tag>.stdout.
struct Follower {
  Follower(const Sandbox& s, const std::string& tag,
           const std::vector<std::string>& args)
      : sandbox(s), out("/" + tag + ".stdout"), pid(s.StartCms(args, tag)) {}
  ~Follower() { Stop(SIGTERM); }
  int Stop(int sig) {  // the wait status
    int status = -1;
    if (pid > 0 && kill(pid, sig) == 0) waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
  std::string Out() const { return sandbox.Read(out); }
  std::vector<Json> Records() const {
    std::vector<Json> records;
    std::istringstream in(Out());
    for (std::string line; std::getline(in, line);)
      records.push_back(Json::parse(line));
    return records;
  }
  bool WaitForRecords(size_t n) const {
    return Sandbox::WaitUntil([&] { return Records().size() >= n; },
                              seconds(10));
  }

  const Sandbox& sandbox;
  std::string out;
  pid_t pid;
};

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
  Follower steady(sandbox, "steady",
                  {"watch", "--json", "--since", "1", "hist_*"});
  Follower first(
      sandbox, "first",
      {"watch", "--json", "--state", state, "--since", "1", "hist_*"});
  std::unique_ptr<Follower> resumed;
  std::vector<Json> expected;
  std::map<std::string, std::string> now = {{"hist_a", "0"}, {"hist_b", "0"}};
  for (int i = 1; i <= 30; ++i) {
    const std::string name = i % 2 ? "hist_a" : "hist_b";
    const std::string value = "v" + std::to_string(i);
    ASSERT_EQ(CMSSetValue(name.c_str(), value.c_str(), 2), 1);
    expected.push_back(Json::array({name, now[name], value}));
    now[name] = value;
    if (i == 10) {
      ASSERT_TRUE(first.WaitForRecords(10));
      first.Stop(SIGTERM);  // its state is kept
    }
    if (i == 20) {
      // Without --since: it goes on from the state it left.
      resumed = std::make_unique<Follower>(
          sandbox, "resumed",
          std::vector<std::string>{"watch", "--json", "--state", state,
                                   "hist_*"});
    }
  }
  ASSERT_EQ(CMSDelParam("hist_b", 9), 1);
  expected.push_back(Json::array({"hist_b", now["hist_b"], nullptr}));
  // A secret's value is kept out of the history.
  ASSERT_EQ(CMSSetValue("hist_password", kSecret, 2), 1);
  expected.push_back(Json::array({"hist_password", nullptr, nullptr}));
  ASSERT_TRUE(steady.WaitForRecords(expected.size()));
  ASSERT_TRUE(resumed->WaitForRecords(expected.size() - 10));
  EXPECT_EQ(Changes(steady.Records()), expected);
  std::vector<Json> both = first.Records();
  for (const Json& r : resumed->Records()) both.push_back(r);
  EXPECT_EQ(Changes(both), expected);
  EXPECT_EQ(steady.Records().back()["secret"], true);
  EXPECT_EQ(sandbox.Read("/resumed.stderr"), "");

  const ProgramResult log = sandbox.RunCms({"log", "hist_*"});
  EXPECT_EQ(log.exit_code, 0);
  EXPECT_NE(log.out.find("set hist_a user \"v27\" -> \"v29\"  pid " +
                         std::to_string(getpid()) + " ("),
            std::string::npos)
      << log.out;
  for (const std::string& seen : {steady.Out(), resumed->Out(), log.out})
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << seen;

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
