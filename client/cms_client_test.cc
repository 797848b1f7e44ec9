// cms_client_test.cc - the client library against a sandboxed daemon, and
// with no daemon at all.
#include "client/cms_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

SandboxOptions CoreTree() {
  return SandboxOptions()
      .WithFile(kCoreFile, "ct_a=abcdef\nct_empty=\n")
      .WithFile("/mnt/jffs2/conf/isp/user/coretest.conf", "ct_a=isp\n");
}

std::string Get(const std::string& name, int cmd = 1) {
  const char* v = CMSGetValue(name.c_str(), cmd);
  return v == nullptr ? "<none>" : v;
}

TEST(Client, EveryCallReportsTheDaemonsAnswer) {
  Sandbox sandbox(CoreTree());
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  EXPECT_EQ(Get("ct_a", 3), "isp");
  EXPECT_EQ(Get("no_such_name"), "<none>");
  EXPECT_EQ(Get("ct_empty"), "<none>");
  // The _EX form cuts to the buffer and answers the bytes received.
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, 1), 1024);
  EXPECT_STREQ(buf, "abc");
  char big[64];
  EXPECT_EQ(CMSGetValue_EX("no_such_name", big, sizeof big, 1), 1024);
  EXPECT_STREQ(big, "");
  EXPECT_EQ(CMSGetValue_EX("ct_a", nullptr, 10, 1), 0);
  EXPECT_EQ(CMSGetValue_EX("ct_a", big, 0, 1), 0);

  EXPECT_EQ(CMSSetValue("ct_a", "new", 2), 1);
  EXPECT_EQ(CMSSetValue("ct_a", "new", 2), 0);  // already stored
  EXPECT_EQ(CMSAddParam("ct_added", "coretest.conf", "v", 12), 1);
  EXPECT_EQ(CMSAddParam("ct_other", "coretest.conf", "v", 14), 0);
  EXPECT_EQ(CMSDelParam("ct_empty", 9), 1);
  EXPECT_EQ(CMSDelParam("ct_empty", 9), 0);
  EXPECT_EQ(CMSWriteParam(16), 1);
  EXPECT_EQ(sandbox.ReadFile(kCoreFile), "ct_a=new\nct_added=v\n");
  // Queue and dump go through CMSSetValue and CMSGetValue too.
  EXPECT_EQ(CMSSetValue("q", "queued", 33), 1);
  EXPECT_EQ(Get("q", 34), "queued");
  EXPECT_EQ(CMSSetValue("", "/tmp/dump.txt", 37), 1);
  EXPECT_NE(sandbox.ReadFile("/tmp/dump.txt").find("ct_a='new'\n"),
            std::string::npos);
  // A long name is sent cut to 63 characters.
  EXPECT_EQ(CMSSetValue(std::string(70, 'n').c_str(), "v", 2), 1);
  EXPECT_EQ(Get(std::string(63, 'n')), "v");
}

TEST(Client, EveryCallFailsCleanlyWithTheDaemonDown) {
  Sandbox sandbox(CoreTree());  // never started: nobody listens on its port
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

TEST(Client, SendToAClosedConnectionDoesNotKillTheCaller) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  close(accept(listener, nullptr, nullptr));
  CMSPacket frame{};
  // The first send is still taken and draws a reset from the closed peer;
  // once a send fails, the connection is broken for good.
  sendPkt(fd, &frame);
  ssize_t probe = 0;
  for (int i = 0; i < 100 && probe >= 0; ++i) {
    probe = send(fd, &frame, sizeof frame, MSG_NOSIGNAL);
  }
  ASSERT_LT(probe, 0);
  // Without protection this write would end the process with SIGPIPE.
  sendPkt(fd, &frame);
  close(fd);
  close(listener);
}

}  // namespace
}  // namespace cms::testing
