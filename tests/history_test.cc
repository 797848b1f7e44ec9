// history_test.cc - the change history seen through cms log and cms watch:
// who changed what, in order, across watcher and daemon restarts.
#include <gtest/gtest.h>
#include <spawn.h>

#include <nlohmann/json.hpp>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

using Json = nlohmann::json;

constexpr char kHistFile[] = "/mnt/jffs2/conf/user/hist.conf";
constexpr char kSecret[] = "S3cr3tV@lue";

// `cms watch --json ARGS` (or, unless `watch`, `cms ARGS`) running beside
// the test, its output appended to files of the root.
class Watcher {
 public:
  Watcher(const Sandbox& sandbox, const std::string& tag,
          std::vector<std::string> args, bool watch = true)
      : sandbox_(sandbox), out_("/" + tag + ".out"), err_("/" + tag + ".err") {
    if (watch) args.insert(args.begin(), {"watch", "--json"});
    args.insert(args.begin(), CMS_BUILD_DIR "/cms");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [fd, path] : {std::pair{1, out_}, {2, err_}}) {
      posix_spawn_file_actions_addopen(&actions, fd,
                                       sandbox.Host(path).c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(
        posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ),
        0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Watcher() { Stop(SIGTERM); }
  // Sends `sig` and waits for the end: the wait status.
  int Stop(int sig) {
    int status = -1;
    if (pid_ > 0 && kill(pid_, sig) == 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  void Signal(int sig) const { kill(pid_, sig); }
  std::vector<Json> Records() const {
    std::vector<Json> records;
    std::istringstream in(sandbox_.Read(out_));
    for (std::string line; std::getline(in, line);) {
      records.push_back(Json::parse(line));
    }
    return records;
  }
  std::string Output() const { return sandbox_.Read(out_); }
  std::string Errors() const { return sandbox_.Read(err_); }
  bool WaitForRecords(size_t n) const {
    return Sandbox::WaitUntil([&] { return Records().size() >= n; },
                              seconds(10));
  }

 private:
  const Sandbox& sandbox_;
  std::string out_, err_;
  pid_t pid_ = -1;
};

std::string OwnComm() {
  std::string comm = Sandbox::ReadHost("/proc/self/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// Each record as [name, old, new], checking that the numbers rise by one
// and that the writer is this process.
std::vector<Json> Changes(const std::vector<Json>& records) {
  std::vector<Json> changes;
  for (size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    if (i > 0) {
      EXPECT_EQ(r["seq"], records[i - 1]["seq"].get<uint64_t>() + 1);
    }
    EXPECT_EQ(r["pid"], getpid());
    EXPECT_EQ(r["process"], OwnComm());
    changes.push_back(Json::array({r["name"], r["old"], r["new"]}));
  }
  return changes;
}

TEST(History, WatchersSeeEveryChangeInOrderAndResume) {
  Sandbox sandbox(Files{{kHistFile, "hist_a=0\nhist_b=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  Watcher steady(sandbox, "steady", {"--since", "1", "hist_*"});
  auto restarted = std::make_unique<Watcher>(
      sandbox, "restarted",
      std::vector<std::string>{"--state", sandbox.Host("/w.state"), "--since",
                               "1", "hist_*"});
  std::vector<Json> expected;
  std::map<std::string, std::string> now = {{"hist_a", "0"}, {"hist_b", "0"}};
  for (int i = 1; i <= 30; ++i) {
    const std::string name = i % 2 ? "hist_a" : "hist_b";
    const std::string value = "v" + std::to_string(i);
    ASSERT_EQ(CMSSetValue(name.c_str(), value.c_str(), 2), 1);
    expected.push_back(Json::array({name, now[name], value}));
    now[name] = value;
    if (i == 10) {
      ASSERT_TRUE(restarted->WaitForRecords(10));
      restarted.reset();  // stopped, state kept
    }
    if (i == 20) {
      // Without --since: it goes on from the state it left.
      restarted = std::make_unique<Watcher>(
          sandbox, "restarted",
          std::vector<std::string>{"--state", sandbox.Host("/w.state"),
                                   "hist_*"});
    }
  }
  ASSERT_EQ(CMSDelParam("hist_b", 9), 1);
  expected.push_back(Json::array({"hist_b", now["hist_b"], nullptr}));
  // A secret's value is kept out of the history.
  ASSERT_EQ(CMSSetValue("hist_password", kSecret, 2), 1);
  expected.push_back(Json::array({"hist_password", nullptr, nullptr}));
  ASSERT_TRUE(steady.WaitForRecords(expected.size()));
  ASSERT_TRUE(restarted->WaitForRecords(expected.size()));
  EXPECT_EQ(Changes(steady.Records()), expected);
  // Both of its runs wrote to one file: together they hold every change.
  EXPECT_EQ(Changes(restarted->Records()), expected);
  EXPECT_EQ(steady.Records().back()["secret"], true);
  EXPECT_EQ(restarted->Errors(), "");

  const ProgramResult log = sandbox.RunCms({"log", "hist_*"});
  const ProgramResult stats = sandbox.RunCms({"stats"});
  EXPECT_EQ(log.exit_code, 0);
  EXPECT_NE(log.out.find("set hist_a user \"v27\" -> \"v29\"  pid " +
                         std::to_string(getpid()) + " (" + OwnComm() + ")"),
            std::string::npos)
      << log.out;
  EXPECT_NE(stats.out.find("requests_cmd_41 "), std::string::npos);
  for (const std::string& seen :
       {steady.Output(), restarted->Output(), log.out, stats.out}) {
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << seen;
  }
}

TEST(History, StalledWatcherMissesRecordsAndSaysSo) {
  Sandbox sandbox(Files{{kHistFile, "hist_a=0\n"}});
  ASSERT_TRUE(sandbox.Start(true, {"--history", "8"})) << sandbox.Stderr();
  Watcher watcher(sandbox, "stalled", {"hist_*"});
  // Once it has asked, a first change reaches it.
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] {
        CMSSetValue("hist_a", std::to_string(rand()).c_str(), 2);
        return !watcher.Records().empty();
      },
      seconds(10)));
  watcher.Signal(SIGSTOP);
  // The writer goes on at its own pace: the watcher holds nothing.
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(CMSSetValue("hist_a", ("s" + std::to_string(i)).c_str(), 2), 1);
  }
  watcher.Signal(SIGCONT);
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return watcher.Output().find("\"s39\"") != std::string::npos; },
      seconds(10)));
  EXPECT_NE(watcher.Errors().find("changes were overwritten before they could "
                                  "be read"),
            std::string::npos)
      << watcher.Errors();
}

TEST(History, LogAfterRestartShowsStartUpImportsAndPeers) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const ProgramResult log = sandbox.RunCms({"log", "software_version"});
  EXPECT_NE(log.out.find("software_version user (none) -> \"" +
                         Sandbox::ReadExample("etc/VERSION").substr(0, 10)),
            std::string::npos)
      << log.out;
  EXPECT_NE(log.out.find("  start-up\n"), std::string::npos) << log.out;
  // A change from an enciphered peer carries its address.
  const int fd = sandbox.Connect("127.0.0.2");
  ASSERT_TRUE(SealedRoundTrip(fd, MakeFrame(2, "sys_lan_ip", "10.1.1.1"),
                              sandbox.cipher_key()));
  close(fd);
  const ProgramResult last = sandbox.RunCms({"log", "-n", "1", "--json"});
  const Json r = Json::parse(last.out);
  EXPECT_EQ(r["peer"], "127.0.0.2");
  EXPECT_EQ(r["pid"], kTestPid);
  EXPECT_EQ(r["new"], "10.1.1.1");
}

// Each event is one line: a time, its name and its number. When the first
// of two monitors ends, the second takes the socket over; SIGINT ends the
// last cleanly and it removes the socket.
TEST(Monitor, SeveralMonitorsSeeEveryEventAndOneTakesOver) {
  // No ready announcement and no listener of the test's own.
  Sandbox sandbox(Files{{"/tmp/cms_started", ""}}, false);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  auto first = std::make_unique<Watcher>(
      sandbox, "m1", std::vector<std::string>{"monitor"}, false);
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Exists("/var/run/msgcenter.sock"); }, seconds(5)));
  Watcher second(sandbox, "m2", {"monitor"}, false);
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Exists("/var/run/msgcenter.monitors"); },
      seconds(5)));
  auto events = [](const Watcher& w) {
    const std::string out = w.Output();
    return std::count(out.begin(), out.end(), '\n');
  };
  // Signals until `w` has seen more than `before` events. The follower's
  // socket is bound just after its directory is made.
  auto signal_until_seen = [&](const Watcher& w, long before) {
    return Sandbox::WaitUntil(
        [&] {
          sandbox.Signal(SIGUSR1);
          std::this_thread::sleep_for(milliseconds(50));
          return events(w) > before;
        },
        seconds(5));
  };
  ASSERT_TRUE(signal_until_seen(second, 0));
  EXPECT_NE(first->Output().find(" settings-changed (63)\n"),
            std::string::npos);
  first.reset();  // the second takes the socket over
  EXPECT_TRUE(signal_until_seen(second, events(second)));
  std::istringstream lines(second.Output());
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(line.ends_with(" settings-changed (63)")) << line;
  EXPECT_EQ(second.Stop(SIGINT), 0);
  EXPECT_EQ(second.Errors(), "");
  EXPECT_FALSE(sandbox.Exists("/var/run/msgcenter.sock"));
}

TEST(ConfigCheck, FindingsOfCheckAndStartUpAgree) {
  Sandbox sandbox(Files{
      {kHistFile, "hc_a=1\nhc_b 2\n  hc_c=3\nhc_\x01" "d=4\nhc_a=5\n" +
                      std::string(70, 'n') + "=6\n"},
      {"/mnt/jffs2/conf/isp/user/hist.conf", "hc_a=isp\n"}});
  fs::create_symlink("/nowhere", sandbox.Host("/mnt/jffs2/conf/user/gone.conf"));
  const std::vector<std::string> expected = {
      "hist.conf:2: no \"=\" after the name hc_b",
      "hist.conf:3: indented line is not loaded",
      "hist.conf:4: control byte 0x01",
      "hist.conf:5: hc_a again (first at /mnt/jffs2/conf/user/hist.conf:1)",
      "hist.conf:6: name longer than 63 characters is not loaded",
      "gone.conf: cannot be read",
  };
  const std::string checker = CMS_BUILD_DIR "/cmsd --check --root " +
                              sandbox.dir() + " >" + sandbox.Host("/check.out");
  EXPECT_EQ(WEXITSTATUS(system(checker.c_str())), 1);
  const std::string found = sandbox.Read("/check.out");
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  ASSERT_TRUE(sandbox.WaitForStderr("listening on 127.0.0.1:", seconds(10)));
  for (const std::string& finding : expected) {
    EXPECT_NE(found.find(finding), std::string::npos) << finding << found;
    EXPECT_NE(sandbox.Stderr().find(finding), std::string::npos) << finding;
  }
  // The ISP side's hc_a is no double of the user side's; the example tree
  // itself is clean.
  EXPECT_EQ(std::count(found.begin(), found.end(), '\n'), 6) << found;
  EXPECT_NE(sandbox.Stderr().find(" parameters from "), std::string::npos);
}

}  // namespace
}  // namespace cms::testing
