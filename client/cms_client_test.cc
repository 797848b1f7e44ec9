// cms_client_test.cc - the client library against a sandboxed daemon, and
// with no daemon at all. The cms command tests cover the other calls and
// the time-out.
#include "client/cms_client.h"

#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

TEST(Client, ResultsAndCuts) {
  Sandbox sandbox(Files{{kCoreFile, "ct_a=abcdef\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The _EX form cuts to the buffer and answers the bytes received.
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, CMS_CMD_GET_USER), 1024);
  EXPECT_STREQ(buf, "abc");
  char big[64];
  EXPECT_EQ(CMSGetValue_EX("no_such_name", big, sizeof big, CMS_CMD_GET_USER),
            1024);
  EXPECT_STREQ(big, "");
  EXPECT_EQ(CMSGetValue_EX("ct_a", nullptr, 10, CMS_CMD_GET_USER), 0);
  EXPECT_EQ(CMSGetValue_EX("ct_a", big, 0, CMS_CMD_GET_USER), 0);
  // Over-long texts are refused, not cut; the error says why.
  EXPECT_EQ(CMSSetValue(std::string(70, 'n').c_str(), "v", CMS_CMD_SET_USER),
            0);
  EXPECT_EQ(CMSLastError(), CMS_ERR_TOO_LONG);
  EXPECT_EQ(
      CMSSetValue("ct_a", std::string(800, 'v').c_str(), CMS_CMD_SET_USER), 0);
  EXPECT_EQ(CMSGetValue(std::string(63, 'n').c_str(), CMS_CMD_GET_USER),
            nullptr);
  EXPECT_EQ(CMSLastError(), CMS_ERR_REFUSED);
  // The reentrant get wants room for the whole value.
  EXPECT_EQ(CMSGetValueR("ct_a", buf, sizeof buf, CMS_CMD_GET_USER), 0);
  EXPECT_EQ(CMSLastError(), CMS_ERR_TOO_LONG);
  EXPECT_EQ(CMSGetValueR("ct_a", big, sizeof big, CMS_CMD_GET_USER), 1);
  EXPECT_STREQ(big, "abcdef");
  EXPECT_EQ(CMSLastError(), CMS_OK);
  EXPECT_EQ(CMSSetValue("ct_a", "new", CMS_CMD_SET_USER), 1);
  EXPECT_EQ(CMSWriteParam(CMS_CMD_WRITE_NOW), 1);
  EXPECT_EQ(sandbox.Read(kCoreFile), "ct_a=new\n");

  // A plain frame from 127.0.0.2 makes the daemon hang up. The first send
  // after that draws a reset; then the connection is broken for good, and
  // without protection the next send would end the process with SIGPIPE.
  const int fd = sandbox.Connect("127.0.0.2");
  CMSPacket frame{};
  sendPkt(fd, &frame);
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  for (int i = 0; i < 10; ++i) sendPkt(fd, &frame);
  close(fd);
}

// A listening socket on a free loopback port, which CMS_PORT then names.
int ListenOnFreePort() {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  bind(listener, reinterpret_cast<sockaddr*>(&addr), len);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  setenv("CMS_PORT", std::to_string(ntohs(addr.sin_port)).c_str(), 1);
  return listener;
}

// A stand-in daemon answers a set with part or all of a success frame and
// sees how the client then ends the connection. A whole answer leaves
// nothing in flight: the reset spares the client's port the minute of
// TIME_WAIT. Anything less gets the orderly close.
TEST(Client, ResetsTheConnectionOnlyAfterAWholeAnswer) {
  for (const auto& row :
       {std::pair{kFrameSize, -ECONNRESET}, {size_t{500}, 0}}) {
    // Named copies: a lambda may not capture a structured binding in clang 14.
    const size_t answer_bytes = row.first;
    const int ending = row.second;
    SCOPED_TRACE(answer_bytes);
    const int listener = ListenOnFreePort();
    std::thread daemon([&] {
      const int fd = accept(listener, nullptr, nullptr);
      Frame frame = MakeFrame(CMS_STATUS_OK);
      ASSERT_TRUE(ReadExactly(fd, kFrameSize, seconds(5)));
      const int32_t pid = getpid();
      memcpy(frame.data(), &pid, sizeof pid);
      SendAll(fd, frame.data(), answer_bytes);
      // A partial answer leaves the client reading until this side closes.
      if (answer_bytes < kFrameSize) shutdown(fd, SHUT_WR);
      const ssize_t n = recv(fd, frame.data(), 1, 0);
      EXPECT_EQ(n < 0 ? -errno : n, ending);
      close(fd);
    });
    CMSSetValue("ct_a", "v", CMS_CMD_SET_USER);
    daemon.join();
    close(listener);
  }
}

TEST(Client, EveryCallFailsCleanlyWithTheDaemonDown) {
  Sandbox sandbox;  // never started: nobody listens on its port
  int fd = 123;
  EXPECT_EQ(initClientSock(&fd), 0);
  EXPECT_NE(fd, 123);
  if (fd != -1) close(fd);
  char buf[16] = "untouched";
  // CMSGetValue, CMSGetValueR and CMSSetValue: tests/pkgconfig_client.c.
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, CMS_CMD_GET_USER), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(CMSAddParam("ct_a", "coretest.conf", "v", CMS_CMD_ADD_USER), 0);
  EXPECT_EQ(CMSDelParam("ct_a", CMS_CMD_DELETE_USER), 0);
  EXPECT_EQ(CMSWriteParam(CMS_CMD_WRITE_NOW), 0);
  EXPECT_EQ(CMSLastError(), CMS_ERR_UNREACHABLE);
  EXPECT_EQ(initClientSock_AF_UNIX(&fd), 0);  // and prints nothing
  if (fd != -1) close(fd);
}

}  // namespace
}  // namespace cms::testing
