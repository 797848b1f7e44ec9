// durability_test.cc - what a client was told is stored survives restarts,
// odd file lines, full and read-only file systems; the dump and the file
// writers never write through a planted link or outside /tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kLan[] = "/mnt/jffs2/conf/user/lan.conf";
constexpr char kDur[] = "/mnt/jffs2/conf/user/dur.conf";
constexpr char kOther[] = "/mnt/jffs2/conf/user/other.conf";

// Command 16 answers an all-zero frame once the files are written.
void WriteNow(const Sandbox& sandbox) { sandbox.Exchange(MakeFrame(16)); }

void Restart(Sandbox& sandbox) {
  sandbox.Stop();
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
}

struct Request {
  int cmd;
  std::string name, value, location, answer;
};
struct LineCase {
  const char* what;
  std::string dur_conf;
  std::vector<Request> requests;
  std::vector<std::pair<std::string, std::string>> after_restart;  // get 1
  std::string file_holds;  // a text dur.conf still holds
};

TEST(DurabilityTest, EveryLineCaseSurvivesARestartWithTheAcknowledgedValue) {
  const std::string long_name(70, 'n');
  const std::string fits(797 - 3, 'v');  // "big" + "=" + value + line feed
  const std::vector<LineCase> cases = {
      {"doubled name",
       "dupx=1\ndupx=2\n",
       {{2, "dupx", "3", "", "ok:"}},
       {{"dupx", "ok:3"}},
       "dupx=3\n"},
      {"indented line",
       " spacey=old\nspacey=cur\n",
       {{2, "spacey", "new", "", "ok:"}},
       {{"spacey", "ok:new"}},
       " spacey=old\n"},
      {"over-long name",
       long_name + "=x\nshort=1\n",
       {{2, "short", "2", "", "ok:"}},
       {{"short", "ok:2"}},
       long_name + "=x\n"},
      {"add naming another file",
       "moved=1\n",
       {{12, "moved", "2", "other.conf", "failed"}},
       {{"moved", "ok:1"}},
       "moved=1\n"},
      {"replace too long for its line",
       "rep=1\n",
       {{17, "rep", std::string(250, 'r'), "", "failed"},
        {17, "rep", "2", "", "ok:"}},
       {{"rep", "ok:2"}},
       "rep=2\n"},
      {"value the line cannot hold",
       "big=1\n",
       {{2, "big", fits + "v", "", "failed"}, {2, "big", fits, "", "ok:"}},
       {{"big", "ok:" + fits}},
       "big=" + fits + "\n"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox(Files{{kDur, c.dur_conf}, {kOther, "o=1\n"}});
    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    for (const Request& r : c.requests) {
      EXPECT_EQ(sandbox.Ask(r.cmd, r.name, r.value, r.location), r.answer)
          << r.name;
    }
    WriteNow(sandbox);
    Restart(sandbox);
    for (const auto& [name, value] : c.after_restart) {
      EXPECT_EQ(sandbox.Ask(1, name), value) << name;
    }
    EXPECT_NE(sandbox.Read(kDur).find(c.file_holds), std::string::npos)
        << sandbox.Read(kDur);
  }
}

// Links planted where the daemon once wrote fixed working files, or where it
// writes generated files: every write replaces the link or passes it by;
// what a link points to is never written.
TEST(DurabilityTest, PlantedLinksLeaveTheirTargetsUntouched) {
  Sandbox sandbox;
  const std::vector<std::string> links = {
      "/tmp/xcfg_conf.tmp", "/tmp/xcfg_set.tmp", "/tmp/dnsmasq.conf",
      "/mnt/jffs2/conf/app/hosts.tmp", "/mnt/jffs2/conf/app/snmpd.conf"};
  sandbox.Write("/victim", "precious\n");
  for (const std::string& link : links) {
    fs::create_symlink(sandbox.Host("/victim"), sandbox.Host(link));
  }
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // A set of each generated file's source, a replace, and the hosts file.
  EXPECT_EQ(sandbox.Ask(2, "dnsmasq_domain", "other.lan"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "snmp_contact", "x@example.net"), "ok:");
  EXPECT_EQ(sandbox.Ask(17, "sys_lan_mtu", "1400"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "hostname", "planted"), "ok:");
  WriteNow(sandbox);
  EXPECT_EQ(sandbox.Read("/victim"), "precious\n");
  EXPECT_NE(sandbox.Read("/tmp/dnsmasq.conf").find("domain=other.lan"),
            std::string::npos);
  EXPECT_NE(sandbox.Read("/mnt/jffs2/conf/app/snmpd.conf").find("x@example"),
            std::string::npos);
  EXPECT_NE(sandbox.Read(kLan).find("sys_lan_mtu=1400\n"), std::string::npos);
  // The work files of older versions are gone (the links only).
  EXPECT_FALSE(fs::is_symlink(sandbox.Host("/tmp/xcfg_set.tmp")));
  EXPECT_FALSE(fs::is_symlink(sandbox.Host("/mnt/jffs2/conf/app/hosts.tmp")));
}

TEST(DurabilityTest, DumpRefusesHostilePathsAndQuotesForTheShell) {
  Sandbox sandbox(Files{{kDur, "q=1\n"}});
  sandbox.Write("/etc/keep", "keep\n");
  sandbox.MakeDir("/tmp/dir");
  fs::create_symlink(sandbox.Host("/etc/keep"), sandbox.Host("/tmp/link"));
  fs::create_directory_symlink(sandbox.Host("/etc"),
                               sandbox.Host("/tmp/etclink"));
  ASSERT_EQ(mkfifo(sandbox.Host("/tmp/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  for (const char* path :
       {"tmp/rel", "/tmp/../etc/keep", "/etc/keep", "/tmp/link",
        "/tmp/etclink/keep", "/tmp/dir", "/tmp/fifo", "/tmp/missing/x"}) {
    EXPECT_EQ(sandbox.Ask(37, "", path), "failed") << path;
  }
  EXPECT_EQ(sandbox.Read("/etc/keep"), "keep\n");
  EXPECT_TRUE(fs::is_fifo(sandbox.Host("/tmp/fifo")));

  const std::string hostile = "it's $(touch pwned) `touch pwned` \"q\" '";
  ASSERT_EQ(sandbox.Ask(2, "q", hostile), "ok:");
  ASSERT_EQ(sandbox.Ask(37, "", "/tmp/dump"), "ok:");
  const std::string dump = sandbox.Host("/tmp/dump");
  const std::string out = sandbox.Host("/tmp/sourced");
  const std::string cmd =
      "cd " + sandbox.dir() + " && { . " + dump + "; } 2>/dev/null; " +
      "printf %s \"$q\" > " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(sandbox.Read("/tmp/sourced"), hostile);
  EXPECT_FALSE(sandbox.Exists("/pwned"));
}

// The daemon runs on a small tmpfs of its own (a user and mount namespace),
// which a control loop beside it fills, frees, or remounts read-only on
// request. Values acknowledged meanwhile reach the files once writing
// works again, and each failure is logged once.
class FileSystemFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("unshare -rm sh -c 'mount -t tmpfs tmpfs /mnt' "
                    ">/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "no user and mount namespaces here";
    }
    ASSERT_EQ(mkfifo(sandbox_.Host("/ctl").c_str(), 0600), 0);
    const std::string wrapper = sandbox_.Host("/cmsd-in-ns.sh");
    std::ofstream(wrapper)
        << "#!/bin/sh\n"
           "R=\"$2\"; C=\"$R/mnt/jffs2/conf\"\n"
           "exec unshare -rm sh -c '\n"
           "  R=\"$1\"; C=\"$R/mnt/jffs2/conf\"; shift\n"
           "  cp -a \"$C\" \"$R/seed\"\n"
           "  mount -t tmpfs -o size=2m tmpfs \"$C\" || exit 97\n"
           "  cp -a \"$R/seed/.\" \"$C/\"\n"
           "  " CMS_BUILD_DIR "/cmsd \"$@\" &\n"
           "  while read cmd < \"$R/ctl\"; do\n"
           "    case $cmd in\n"
           "      fill) cat /dev/zero > \"$C/filler\" 2>/dev/null ;;\n"
           "      free) rm -f \"$C/filler\" ;;\n"
           "      ro) mount -o remount,ro \"$C\" ;;\n"
           "      rw) mount -o remount,rw \"$C\" ;;\n"
           "      copy) rm -rf \"$R/snap\"; cp -a \"$C\" \"$R/snap\" ;;\n"
           "    esac\n"
           "    echo \"$cmd\" > \"$R/ack.tmp\"; mv \"$R/ack.tmp\" \"$R/ack\"\n"
           "  done' sh \"$R\" \"$@\"\n";
    ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
    setenv("CMS_TEST_CMSD", wrapper.c_str(), 1);
    const bool started = sandbox_.Start();
    unsetenv("CMS_TEST_CMSD");
    ASSERT_TRUE(started) << sandbox_.Stderr();
  }
  void Control(const std::string& cmd) {
    fs::remove(sandbox_.Host("/ack"));
    std::ofstream(sandbox_.Host("/ctl")) << cmd << "\n";
    ASSERT_TRUE(Sandbox::WaitUntil(
        [&] { return sandbox_.Exists("/ack"); }, seconds(10)));
  }
  // Waits (the retry backs off up to 5 s) until the tmpfs copy of dur.conf
  // holds `text`.
  bool FileGets(const std::string& text) {
    return Sandbox::WaitUntil(
        [&] {
          Control("copy");
          return sandbox_.Read("/snap/user/dur.conf").find(text) !=
                 std::string::npos;
        },
        seconds(15));
  }
  size_t FailureLines() const {
    const std::string err = sandbox_.Stderr();
    size_t n = 0;
    for (size_t at = 0; (at = err.find("could not write", at)) !=
                        std::string::npos;
         ++at) {
      ++n;
    }
    return n;
  }
  Sandbox sandbox_{Files{{kDur, "a=0\nb=0\n"}}};
};

TEST_F(FileSystemFaultTest, NothingAcknowledgedIsLostOnceWritingWorksAgain) {
  Control("fill");
  EXPECT_EQ(sandbox_.Ask(2, "a", "while-full"), "ok:");
  WriteNow(sandbox_);
  // Several retries back off meanwhile; one line tells of the failure.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(FailureLines(), 1u) << sandbox_.Stderr();
  EXPECT_EQ(sandbox_.Ask(1, "a"), "ok:while-full");
  Control("free");
  EXPECT_TRUE(FileGets("a=while-full\n"));

  Control("ro");
  EXPECT_EQ(sandbox_.Ask(2, "b", "while-ro"), "ok:");
  EXPECT_EQ(sandbox_.Ask(17, "a", "replaced"), "failed");  // refused, not half
  WriteNow(sandbox_);
  Control("rw");
  EXPECT_TRUE(FileGets("a=while-full\nb=while-ro\n"));
  EXPECT_EQ(FailureLines(), 2u) << sandbox_.Stderr();
}

}  // namespace
}  // namespace cms::testing
