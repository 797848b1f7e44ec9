// cms_cli_test.cc - the cms command: output and exit status of each
// subcommand against a sandboxed daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";
constexpr char kCoreIspFile[] = "/mnt/jffs2/conf/isp/user/coretest.conf";

SandboxOptions CoreTree(bool message_center = true) {
  SandboxOptions options;
  options.message_center = message_center;
  options.files[kCoreFile] = "ct_a=1\nct_b=2\n";
  options.files[kCoreIspFile] = "ct_a=isp\n";
  return options;
}

class CmsCliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr(); }

  ProgramResult Cms(const std::vector<std::string>& args) {
    return sandbox_.RunCms(args);
  }

  Sandbox sandbox_{CoreTree()};
};

TEST_F(CmsCliTest, GetPrintsTheValueOfTheSideAsked) {
  ProgramResult r = Cms({"get", "ct_a"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "1\n");
  EXPECT_EQ(r.err, "");
  r = Cms({"get", "--isp", "ct_a"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "isp\n");
  r = Cms({"get", "no_such_name"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no_such_name"), std::string::npos);
}

TEST_F(CmsCliTest, SetReplaceDelAndCommitReachTheFiles) {
  EXPECT_EQ(Cms({"set", "ct_a", "5"}).exit_code, 0);
  // Setting the stored value again is refused by the daemon.
  EXPECT_EQ(Cms({"set", "ct_a", "5"}).exit_code, 1);
  EXPECT_EQ(Cms({"set", "--isp", "ct_a", "6"}).exit_code, 0);
  EXPECT_EQ(Cms({"set", "--both", "ct_a", "7"}).exit_code, 0);
  EXPECT_EQ(Cms({"del", "ct_b"}).exit_code, 0);
  EXPECT_EQ(Cms({"del", "--isp", "ct_b"}).exit_code, 1);
  ProgramResult r = Cms({"commit"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sandbox_.ReadFile(kCoreFile), "ct_a=7\n");
  EXPECT_EQ(sandbox_.ReadFile(kCoreIspFile), "ct_a=7\n");

  EXPECT_EQ(Cms({"replace", "ct_a", "8"}).exit_code, 0);
  EXPECT_EQ(sandbox_.ReadFile(kCoreFile), "ct_a=8\n");
  EXPECT_EQ(Cms({"replace", "--isp", "ct_a", "9"}).exit_code, 0);
  EXPECT_EQ(sandbox_.ReadFile(kCoreIspFile), "ct_a=9\n");
  EXPECT_EQ(Cms({"replace", "--both", "ct_a", "10"}).exit_code, 0);
  EXPECT_EQ(Cms({"get", "--isp", "ct_a"}).out, "10\n");
  EXPECT_EQ(Cms({"del", "--both", "ct_a"}).exit_code, 0);
  EXPECT_EQ(Cms({"get", "ct_a"}).exit_code, 1);
}

TEST_F(CmsCliTest, AddPutsTheParameterInTheNamedFile) {
  EXPECT_EQ(Cms({"add", "ct_new", "coretest.conf", "n"}).exit_code, 0);
  EXPECT_EQ(Cms({"add", "--isp", "ct_new2", "coretest.conf", "m"}).exit_code,
            0);
  EXPECT_EQ(Cms({"add", "ct_x", "no-such-file.conf", "n"}).exit_code, 1);
  EXPECT_EQ(Cms({"commit"}).exit_code, 0);
  EXPECT_EQ(sandbox_.ReadFile(kCoreFile), "ct_a=1\nct_b=2\nct_new=n\n");
  EXPECT_EQ(sandbox_.ReadFile(kCoreIspFile), "ct_a=isp\nct_new2=m\n");
}

TEST_F(CmsCliTest, PushAndPopHandValuesOver) {
  EXPECT_EQ(Cms({"push", "q", "one"}).exit_code, 0);
  EXPECT_EQ(Cms({"push", "q", "two words"}).exit_code, 0);
  ProgramResult r = Cms({"pop", "q"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "one\n");
  EXPECT_EQ(Cms({"pop", "q"}).out, "two words\n");
  r = Cms({"pop", "q"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

TEST_F(CmsCliTest, MgetAndMsetHandleLists) {
  ProgramResult r = Cms({"mset", "ct_a", "x", "ct_b", "y"});
  EXPECT_EQ(r.exit_code, 0);
  r = Cms({"mget", "ct_a", "no_such_name", "ct_b"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "x\n(null)\ny\n");
  // The second pair repeats its stored value: failure, first pair kept.
  r = Cms({"mset", "ct_a", "z", "ct_b", "y"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Cms({"get", "ct_a"}).out, "z\n");
  EXPECT_EQ(Cms({"mset", "ct_a"}).exit_code, 2);
  EXPECT_EQ(Cms({"mget"}).exit_code, 2);
  EXPECT_EQ(Cms({"mget", std::string(900, 'n')}).exit_code, 2);
}

TEST_F(CmsCliTest, DumpWritesTheFileOnTheDevice) {
  ProgramResult r = Cms({"dump", "/tmp/all.txt"});
  EXPECT_EQ(r.exit_code, 0);
  const std::string dump = sandbox_.ReadFile("/tmp/all.txt");
  EXPECT_NE(dump.find("ct_a='1'\nct_b='2'\n"), std::string::npos);
  EXPECT_EQ(Cms({"dump", "/no/such/dir/x"}).exit_code, 1);
}

TEST_F(CmsCliTest, BadCommandLinesExitTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"get"},
           {"get", "a", "b"},
           {"get", "--both", "a"},
           {"add", "--both", "a", "f", "v"},
           {"set", "--bogus", "a", "v"},
           {"push", "--isp", "a", "v"},
           {"set", std::string(64, 'n'), "v"},
           {"set", "a", std::string(800, 'v')}}) {
    const ProgramResult r = Cms(args);
    EXPECT_EQ(r.exit_code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err, "") << ::testing::PrintToString(args);
  }
  const ProgramResult help = Cms({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: cms"), std::string::npos);
}

TEST(CmsCli, UnreachableDaemonExitsTwo) {
  Sandbox sandbox(CoreTree());  // never started: nobody listens
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"get", "a"}, {"set", "a", "b"}, {"commit"}, {"mget", "a"}}) {
    const ProgramResult r = sandbox.RunCms(args);
    EXPECT_EQ(r.exit_code, 2) << args[0];
    EXPECT_NE(r.err.find("cannot reach cmsd"), std::string::npos) << r.err;
  }
}

TEST(CmsCli, MonitorPrintsEachEventAsALine) {
  SandboxOptions options = CoreTree(/*message_center=*/false);
  // No ready announcement to race with the event under test.
  options.files["/tmp/cms_started"] = "";
  Sandbox sandbox(options);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const std::string out_path = sandbox.root().Host("/monitor.out");
  const std::string program = CmsPath();
  std::string root_variable = "CMS_ROOT=" + sandbox.root().dir();
  char* const env[] = {root_variable.data(), nullptr};
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    execle(program.c_str(), "cms", "monitor", static_cast<char*>(nullptr), env);
    _exit(127);
  }
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.FileExists("/var/run/msgcenter.sock"); },
      seconds(5)));
  ASSERT_TRUE(sandbox.Signal(SIGUSR1));
  const bool got = Sandbox::WaitUntil(
      [&] { return sandbox.ReadFile("/monitor.out") == "mc_trigger 63\n"; },
      seconds(5));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(got) << sandbox.ReadFile("/monitor.out");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(sandbox.FileExists("/var/run/msgcenter.sock"));
}

}  // namespace
}  // namespace cms::testing
