// durability_test.cc - what a client was told is stored survives a restart;
// the dump and the file writers never write through a planted link or
// outside /tmp. (Failed writes: conffiles/crash_point_test.cc.)
#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kDur[] = "/mnt/jffs2/conf/user/dur.conf";

// A value as long as its file line holds, and a name written twice in its
// file (left once), come back after a restart.
TEST(DurabilityTest, AcknowledgedValuesSurviveARestart) {
  const std::string fits(794, 'v');  // "big" + "=" + value + line feed: 799
  Sandbox sandbox(Files{{kDur, "big=1\ndupx=1\ndupx=2\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_EQ(sandbox.Ask(2, "big", fits + "v"), "failed");
  EXPECT_EQ(sandbox.Ask(2, "big", fits), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "dupx", "3"), "ok:");
  sandbox.Exchange(MakeFrame(16));  // written when answered
  sandbox.Stop();
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_EQ(sandbox.Ask(1, "big"), "ok:" + fits);
  EXPECT_EQ(sandbox.Ask(1, "dupx"), "ok:3");
  EXPECT_EQ(sandbox.Read(kDur), "big=" + fits + "\ndupx=3\n");
}

// Links planted where the daemon writes or once wrote its files: what they
// point to is never written.
TEST(DurabilityTest, PlantedLinksLeaveTheirTargetsUntouched) {
  Sandbox sandbox;
  const std::vector<std::string> links = {
      "/tmp/xcfg_conf.tmp", "/tmp/xcfg_set.tmp", "/tmp/dnsmasq.conf",
      "/mnt/jffs2/conf/app/hosts.tmp", "/mnt/jffs2/conf/app/snmpd.conf"};
  sandbox.Write("/victim", "precious\n");
  for (const std::string& link : links)
    fs::create_symlink(sandbox.Host("/victim"), sandbox.Host(link));
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_EQ(sandbox.Ask(2, "dnsmasq_domain", "other.lan"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "snmp_contact", "x@example.net"), "ok:");
  EXPECT_EQ(sandbox.Ask(17, "sys_lan_mtu", "1400"), "ok:");
  EXPECT_EQ(sandbox.Ask(2, "hostname", "planted"), "ok:");
  sandbox.Exchange(MakeFrame(16));  // written when answered
  EXPECT_EQ(sandbox.Read("/victim"), "precious\n");
  EXPECT_NE(sandbox.Read("/tmp/dnsmasq.conf").find("domain=other.lan"),
            std::string::npos);
  EXPECT_NE(sandbox.Read("/mnt/jffs2/conf/app/snmpd.conf").find("x@example"),
            std::string::npos);
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
        "/tmp/etclink/keep", "/tmp/dir", "/tmp/fifo", "/tmp/missing/x"})
    EXPECT_EQ(sandbox.Ask(37, "", path), "failed") << path;
  EXPECT_EQ(sandbox.Read("/etc/keep"), "keep\n");

  const std::string hostile = "it's $(touch pwned) `touch pwned` \"q\" '";
  ASSERT_EQ(sandbox.Ask(2, "q", hostile), "ok:");
  ASSERT_EQ(sandbox.Ask(37, "", "/tmp/dump"), "ok:");
  const std::string cmd = "cd " + sandbox.dir() + " && { . tmp/dump; } " +
                          "2>/dev/null; printf %s \"$q\" > tmp/sourced";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(sandbox.Read("/tmp/sourced"), hostile);
  EXPECT_FALSE(sandbox.Exists("/pwned"));
}

}  // namespace
}  // namespace cms::testing
