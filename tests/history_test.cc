// history_test.cc - the change history seen through cms log and cms watch:
// who changed what, in order, across watcher restarts; cms monitor; and
// cmsd --check.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

using Json = nlohmann::json;

constexpr char kHistFile[] = "/mnt/jffs2/conf/user/hist.conf";
constexpr char kSecret[] = "S3cr3tV@lue";

// `cms ARGS` running beside the test.
class Follower {
 public:
  Follower(const Sandbox& sandbox, std::string tag,
           const std::vector<std::string>& args)
      : sandbox_(sandbox), tag_("/" + tag), pid_(sandbox.StartCms(args, tag)) {}
  ~Follower() { Stop(SIGTERM); }
  // Sends `sig` and waits for the end: the wait status.
  int Stop(int sig) {
    int status = -1;
    if (pid_ > 0 && kill(pid_, sig) == 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  void Signal(int sig) const { kill(pid_, sig); }
  std::string Out() const { return sandbox_.Read(tag_ + ".stdout"); }
  std::string Err() const { return sandbox_.Read(tag_ + ".stderr"); }
  std::vector<Json> Records() const {
    std::vector<Json> records;
    std::istringstream in(Out());
    for (std::string line; std::getline(in, line);)
      records.push_back(Json::parse(line));
    return records;
  }
  bool WaitFor(const std::function<bool()>& done) const {
    return Sandbox::WaitUntil(done, seconds(10));
  }
  bool WaitForRecords(size_t n) const {
    return WaitFor([&] { return Records().size() >= n; });
  }

 private:
  const Sandbox& sandbox_;
  std::string tag_;
  pid_t pid_;
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
  Follower steady(sandbox, "steady", {"watch", "--json", "--since", "1", "hist_*"});
  auto first = std::make_unique<Follower>(
      sandbox, "first",
      std::vector<std::string>{"watch", "--json", "--state", state, "--since",
                               "1", "hist_*"});
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
      ASSERT_TRUE(first->WaitForRecords(10));
      first->Stop(SIGTERM);  // its state is kept
    }
    if (i == 20) {
      // Without --since: it goes on from the state it left.
      resumed = std::make_unique<Follower>(
          sandbox, "resumed",
          std::vector<std::string>{"watch", "--json", "--state", state, "hist_*"});
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
  std::vector<Json> both = first->Records();
  for (const Json& r : resumed->Records()) both.push_back(r);
  EXPECT_EQ(Changes(both), expected);
  EXPECT_EQ(steady.Records().back()["secret"], true);
  EXPECT_EQ(resumed->Err(), "");

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
  const Json last = Json::parse(sandbox.RunCms({"log", "-n", "1", "--json"}).out);
  EXPECT_EQ(last["peer"], "127.0.0.2");
  EXPECT_EQ(last["pid"], kTestPid);
  EXPECT_EQ(last["new"], "10.1.1.1");
}

// The writer goes on at its own pace while a watcher is stopped: the
// watcher holds nothing up, and says what it missed.
TEST(History, StalledWatcherMissesRecordsAndSaysSo) {
  Sandbox sandbox(Files{{kHistFile, "hist_a=0\n"}});
  ASSERT_TRUE(sandbox.Start(true, {"--history", "8"})) << sandbox.Stderr();
  Follower watcher(sandbox, "stalled", {"watch", "--json", "hist_*"});
  // Once it has asked, a first change reaches it.
  ASSERT_TRUE(watcher.WaitFor([&] {
    CMSSetValue("hist_a", std::to_string(rand()).c_str(), 2);
    return !watcher.Records().empty();
  }));
  watcher.Signal(SIGSTOP);
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(CMSSetValue("hist_a", ("s" + std::to_string(i)).c_str(), 2), 1);
  watcher.Signal(SIGCONT);
  ASSERT_TRUE(watcher.WaitFor(
      [&] { return watcher.Out().find("\"s39\"") != std::string::npos; }));
  EXPECT_NE(watcher.Err().find("changes were overwritten before they could "
                               "be read"),
            std::string::npos)
      << watcher.Err();
}

// When the first of two monitors ends, the second takes the socket over;
// SIGINT ends the last cleanly and it removes the socket.
TEST(Monitor, SeveralMonitorsSeeEveryEventAndOneTakesOver) {
  // No ready announcement and no listener of the test's own.
  Sandbox sandbox(Files{{"/tmp/cms_started", ""}}, false);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  auto first = std::make_unique<Follower>(
      sandbox, "m1", std::vector<std::string>{"monitor"});
  ASSERT_TRUE(first->WaitFor(
      [&] { return sandbox.Exists("/var/run/msgcenter.sock"); }));
  Follower second(sandbox, "m2", {"monitor"});
  ASSERT_TRUE(second.WaitFor(
      [&] { return sandbox.Exists("/var/run/msgcenter.monitors"); }));
  // Signals until `w` has seen more than `before` events. The follower's
  // socket is bound just after its directory is made.
  auto seen = [&](const Follower& w, size_t before) {
    return w.WaitFor([&] {
      sandbox.Signal(SIGUSR1);
      std::this_thread::sleep_for(milliseconds(50));
      return w.Out().size() > before;
    });
  };
  ASSERT_TRUE(seen(second, 0));
  EXPECT_NE(first->Out().find(" settings-changed (63)\n"), std::string::npos);
  first.reset();
  EXPECT_TRUE(seen(second, second.Out().size()));
  EXPECT_EQ(second.Stop(SIGINT), 0);
  EXPECT_EQ(second.Err(), "");
  EXPECT_FALSE(sandbox.Exists("/var/run/msgcenter.sock"));
}

// cmsd --check and the start-up warnings report the same findings; the
// ISP side's hc_a is no double of the user side's, the example tree is clean.
TEST(ConfigCheck, FindingsOfCheckAndStartUpAgree) {
  Sandbox sandbox(Files{{kHistFile, "hc_a=1\nhc_b 2\nhc_a=5\n"},
                        {"/mnt/jffs2/conf/isp/user/hist.conf", "hc_a=isp\n"}});
  fs::create_symlink("/nowhere", sandbox.Host("/mnt/jffs2/conf/user/gone.conf"));
  const std::vector<std::string> expected = {
      "hist.conf:2: no \"=\" after the name hc_b",
      "hist.conf:3: hc_a again (first at /mnt/jffs2/conf/user/hist.conf:1)",
      "gone.conf: cannot be read"};
  const std::string checker = CMS_BUILD_DIR "/cmsd --check --root " +
                              sandbox.dir() + " >" + sandbox.Host("/check.out");
  EXPECT_EQ(WEXITSTATUS(system(checker.c_str())), 1);
  const std::string found = sandbox.Read("/check.out");
  EXPECT_EQ(std::count(found.begin(), found.end(), '\n'), 3) << found;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_TRUE(sandbox.WaitForStderr("listening on 127.0.0.1:", seconds(10)));
  for (const std::string& finding : expected) {
    EXPECT_NE(found.find(finding), std::string::npos) << finding;
    EXPECT_NE(sandbox.Stderr().find(finding), std::string::npos) << finding;
  }
}

}  // namespace
}  // namespace cms::testing
