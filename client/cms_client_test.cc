// cms_client_test.cc - the client library's cuts and refusals. (Other calls
// and the time-out: tests/cms_cli_test.cc; no daemon: pkgconfig_client.c.)
#include "client/cms_client.h"

#include <gtest/gtest.h>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";
constexpr int kGet = CMS_CMD_GET_USER, kSet = CMS_CMD_SET_USER;

TEST(Client, ResultsCutsAndFailures) {
  Sandbox sandbox(Files{{kCoreFile, "ct_a=abcdef\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The _EX form cuts to the buffer and answers the bytes received.
  char buf[4] = {'x', 'x', 'x', 'x'}, big[64];
  EXPECT_EQ(CMSGetValue_EX("ct_a", buf, sizeof buf, kGet), 1024);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(CMSGetValue_EX("no_such_name", big, sizeof big, kGet), 1024);
  EXPECT_STREQ(big, "");
  EXPECT_EQ(CMSGetValue_EX("ct_a", nullptr, 10, kGet), 0);
  EXPECT_EQ(CMSGetValue_EX("ct_a", big, 0, kGet), 0);
  // Over-long texts are refused, not cut; the error says why.
  EXPECT_EQ(CMSSetValue(std::string(70, 'n').c_str(), "v", kSet), 0);
  EXPECT_EQ(CMSLastError(), CMS_ERR_TOO_LONG);
  EXPECT_EQ(CMSSetValue("ct_a", std::string(800, 'v').c_str(), kSet), 0);
  EXPECT_EQ(CMSGetValue(std::string(63, 'n').c_str(), kGet), nullptr);
  EXPECT_EQ(CMSLastError(), CMS_ERR_REFUSED);
  // The reentrant get wants room for the whole value.
  EXPECT_EQ(CMSGetValueR("ct_a", buf, sizeof buf, kGet), 0);
  EXPECT_EQ(CMSLastError(), CMS_ERR_TOO_LONG);
  EXPECT_EQ(CMSGetValueR("ct_a", big, sizeof big, kGet), 1);
  EXPECT_STREQ(big, "abcdef");
  EXPECT_EQ(CMSLastError(), CMS_OK);
  EXPECT_EQ(CMSSetValue("ct_a", "new", kSet), 1);
  EXPECT_EQ(CMSWriteParam(CMS_CMD_WRITE_NOW), 1);
  EXPECT_EQ(sandbox.Read(kCoreFile), "ct_a=new\n");

  // The daemon hangs up on a plain frame from 127.0.0.2: a send on the broken
  // connection must not end the process with SIGPIPE.
  const int fd = sandbox.Connect("127.0.0.2");
  CMSPacket frame{};
  sendPkt(fd, &frame);
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  for (int i = 0; i < 10; ++i) sendPkt(fd, &frame);
  close(fd);
}

}  // namespace
}  // namespace cms::testing
