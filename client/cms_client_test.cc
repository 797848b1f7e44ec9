// cms_client_test.cc - the client library against a sandboxed daemon, and
// with no daemon at all. The cms command tests cover the other calls.
#include "client/cms_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

TEST(Client, ResultsAndCuts) {
  Sandbox sandbox(SandboxOptions().WithFile(kCoreFile, "ct_a=abcdef\n"));
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The _EX form cuts to the buffer and answers the bytes received.
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, 1), 1024);
  EXPECT_STREQ(buf, "abc");
  char big[64];
  EXPECT_EQ(CMSGetValue_EX("no_such_name", big, sizeof big, 1), 1024);
  EXPECT_STREQ(big, "");
  EXPECT_EQ(CMSGetValue_EX("ct_a", nullptr, 10, 1), 0);
  EXPECT_EQ(CMSGetValue_EX("ct_a", big, 0, 1), 0);
  EXPECT_EQ(CMSGetValue("no_such_name", 1), nullptr);
  // A long name is sent cut to 63 characters.
  EXPECT_EQ(CMSSetValue(std::string(70, 'n').c_str(), "v", 2), 1);
  EXPECT_STREQ(CMSGetValue(std::string(63, 'n').c_str(), 1), "v");
  EXPECT_EQ(CMSSetValue("ct_a", "new", 2), 1);
  EXPECT_EQ(CMSWriteParam(16), 1);
  EXPECT_EQ(sandbox.ReadFile(kCoreFile), "ct_a=new\n");

  // A plain frame from 127.0.0.2 makes the daemon hang up. The first send
  // after that is still taken and draws a reset; then the connection is
  // broken for good, and without protection the next write would end the
  // process with SIGPIPE.
  const int fd = sandbox.Connect("127.0.0.2");
  CMSPacket frame{};
  sendPkt(fd, &frame);
  EXPECT_FALSE(ReadExactly(fd, 1, std::chrono::seconds(5)));
  ssize_t probe = 0;
  for (int i = 0; i < 100 && probe >= 0; ++i) {
    probe = send(fd, &frame, sizeof frame, MSG_NOSIGNAL);
  }
  ASSERT_LT(probe, 0);
  sendPkt(fd, &frame);
  close(fd);
}

TEST(Client, EveryCallFailsCleanlyWithTheDaemonDown) {
  Sandbox sandbox;  // never started: nobody listens on its port
  int fd = 123;
  EXPECT_EQ(initClientSock(&fd), 0);
  EXPECT_NE(fd, 123);
  if (fd != -1) close(fd);
  char buf[16] = "untouched";
  EXPECT_EQ(CMSGetValue("ct_a", 1), nullptr);
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, 1), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(CMSSetValue("ct_a", "v", 2), 0);
  EXPECT_EQ(CMSAddParam("ct_a", "coretest.conf", "v", 12), 0);
  EXPECT_EQ(CMSDelParam("ct_a", 9), 0);
  EXPECT_EQ(CMSWriteParam(16), 0);
}

}  // namespace
}  // namespace cms::testing
