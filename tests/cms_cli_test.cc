// cms_cli_test.cc - the cms command: output and exit status of each
// subcommand against a sandboxed daemon.
#include <gtest/gtest.h>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";
constexpr char kCoreIspFile[] = "/mnt/jffs2/conf/isp/user/coretest.conf";

struct Step {
  std::vector<std::string> args;
  int exit_code;
  std::string out;  // standard output; an error goes to standard error
};

// Runs the steps in order against the sandbox's daemon.
void RunSteps(const Sandbox& sandbox, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::PrintToString(step.args));
    const ProgramResult r = sandbox.RunCms(step.args);
    EXPECT_EQ(r.exit_code, step.exit_code);
    EXPECT_EQ(r.out, step.out);
    // Success is silent; a failure says why, on one line.
    EXPECT_EQ(r.err.empty(), step.exit_code == 0) << r.err;
    EXPECT_EQ(r.err.find('\n') + 1, r.err.size()) << r.err;
  }
}

TEST(CmsCli, EverySubcommandAnswersWithOutputAndStatus) {
  Sandbox sandbox(Files{{kCoreFile, "ct_a=1\nct_b=2\nct_c=3\n"},
                        {kCoreIspFile, "ct_a=isp\nct_c=i\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  RunSteps(sandbox,
           {{{"get", "ct_a"}, 0, "1\n"},
            {{"get", "--isp", "ct_a"}, 0, "isp\n"},
            {{"get", "no_such_name"}, 1, ""},
            {{"set", "ct_a", "5"}, 0, ""},
            {{"set", "ct_a", "5"}, 1, ""},  // the stored value: refused
            {{"set", "--isp", "ct_a", "6"}, 0, ""},
            {{"get", "ct_a"}, 0, "5\n"},
            {{"set", "--both", "ct_a", "7"}, 0, ""},
            {{"get", "--isp", "ct_a"}, 0, "7\n"},
            {{"replace", "ct_b", "8"}, 0, ""},
            {{"replace", "--both", "ct_a", "10"}, 0, ""},
            {{"get", "--isp", "ct_a"}, 0, "10\n"},
            {{"add", "ct_new", "coretest.conf", "n"}, 0, ""},
            {{"add", "--isp", "ct_new2", "coretest.conf", "m"}, 0, ""},
            {{"add", "ct_x", "no-such-file.conf", "n"}, 1, ""},
            {{"del", "--isp", "ct_b"}, 1, ""},
            {{"del", "ct_b"}, 0, ""},
            {{"del", "--both", "ct_c"}, 0, ""},
            {{"get", "--isp", "ct_c"}, 1, ""},
            {{"commit"}, 0, ""}});
  // The commit writes before it answers.
  EXPECT_EQ(sandbox.Read(kCoreFile), "ct_a=10\nct_new=n\n");
  EXPECT_EQ(sandbox.Read(kCoreIspFile), "ct_a=10\nct_new2=m\n");
  RunSteps(sandbox,
           {{{"push", "q", "one"}, 0, ""},
            {{"push", "q", "two words"}, 0, ""},
            {{"pop", "q"}, 0, "one\n"},
            {{"pop", "q"}, 0, "two words\n"},
            {{"pop", "q"}, 1, ""},
            {{"mset", "ct_a", "x", "ct_new", "y"}, 0, ""},
            {{"mget", "ct_a", "no_such_name", "ct_new"}, 0, "x\n(null)\ny\n"},
            // The second pair repeats its value: failure, first pair kept.
            {{"mset", "ct_a", "z", "ct_new", "y"}, 1, ""},
            {{"get", "ct_a"}, 0, "z\n"},
            {{"dump", "/tmp/all.txt"}, 0, ""},
            {{"dump", "/no/such/dir/x"}, 1, ""},
            {{"mset", "ct_a"}, 2, ""},
            {{"mget", std::string(900, 'n')}, 2, ""},
            {{"frobnicate"}, 2, ""},
            {{"get"}, 2, ""},
            {{"set", "--bogus", "a", "v"}, 2, ""},
            {{"push", "--isp", "a", "v"}, 2, ""},
            {{"set", std::string(64, 'n'), "v"}, 2, ""}});
  EXPECT_NE(
      sandbox.Read("/tmp/all.txt").find("ct_a='z'\nct_new='y'\nct_new2=''\n"),
      std::string::npos);
  const ProgramResult help = sandbox.RunCms({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: cms"), std::string::npos);

  sandbox.Stop();
  RunSteps(sandbox, {{{"get", "a"}, 2, ""}, {{"commit"}, 2, ""}});
  EXPECT_NE(sandbox.RunCms({"get", "a"}).err.find("cannot reach cmsd"),
            std::string::npos);
}

TEST(CmsCli, MonitorPrintsEachEventAsALine) {
  // No ready announcement to race with the event under test.
  Sandbox sandbox(Files{{"/tmp/cms_started", ""}}, false);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  std::thread signaller([&] {
    Sandbox::WaitUntil(
        [&] { return sandbox.Exists("/var/run/msgcenter.sock"); }, seconds(5));
    sandbox.Signal(SIGUSR1);
  });
  // SIGINT after two seconds ends it cleanly.
  const ProgramResult monitor = sandbox.RunCms({"monitor"}, seconds(2));
  signaller.join();
  EXPECT_EQ(monitor.exit_code, 0);
  EXPECT_EQ(monitor.out, "mc_trigger 63\n");
  EXPECT_FALSE(sandbox.Exists("/var/run/msgcenter.sock"));
}

}  // namespace
}  // namespace cms::testing
