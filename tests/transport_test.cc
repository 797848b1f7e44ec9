// transport_test.cc - frames over the real socket: plain and enciphered
// exchanges, split and back-to-back frames, clients that leave mid-frame,
// hostile frames.
#include <gtest/gtest.h>

#include <random>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr(); }

  Sandbox sandbox_{Files{{kCoreFile, "ct_a=1\nct_b=2\n"}}};
};

TEST_F(TransportTest, PartialBackToBackAndAbandonedFrames) {
  // Part of a frame gets no answer. The rest of it, a second frame and part
  // of a third get two answers; the third is dropped with the connection.
  const int fd = sandbox_.Connect();
  const Frame first = MakeFrame(1, "ct_a");
  ASSERT_TRUE(SendAll(fd, first.data(), 100));
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 200), 0);
  const std::string rest =
      std::string(first.data() + 100, kFrameSize - 100) +
      std::string(MakeFrame(1, "ct_b").data(), kFrameSize) +
      std::string(MakeFrame(2, "ct_b", "partial").data(), 300);
  ASSERT_TRUE(SendAll(fd, rest.data(), rest.size()));
  const auto answers = ReadExactly(fd, 2 * kFrameSize, seconds(5));
  shutdown(fd, SHUT_WR);
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  close(fd);
  ASSERT_TRUE(answers);
  EXPECT_EQ(FrameValue(ToFrame(*answers)), "1");
  EXPECT_EQ(FrameValue(ToFrame(answers->substr(kFrameSize))), "2");

  // Clients that leave after 1 to 1023 bytes (500 among them), orderly or
  // by reset, change nothing.
  std::mt19937 rng(7);
  const Frame set = MakeFrame(2, "ct_a", "changed");
  for (int i = 0; i < 60; ++i) {
    const int fd = sandbox_.Connect();
    ASSERT_TRUE(
        SendAll(fd, set.data(), i == 0 ? 500 : 1 + rng() % (kFrameSize - 1)));
    const linger reset{1, 0};
    if (i % 2) setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  EXPECT_EQ(sandbox_.Ask(1, "ct_a"), "ok:1");
  EXPECT_EQ(sandbox_.Ask(1, "ct_b"), "ok:2");
  // Every worker of those connections has let its descriptor go.
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return ReadProcStats(sandbox_.pid()).fds <= 12; }, seconds(8)));
}

TEST_F(TransportTest, OddFramesAreServedSafely) {
  // 16 and codes that are not commands answer 1024 zero bytes.
  for (int code : {16, 0, 6, 20, 99}) {
    EXPECT_TRUE(sandbox_.Exchange(MakeFrame(code, "ct_a")) == Frame{}) << code;
  }
  // Fields and lists without their zero byte are read to their area end.
  Frame request = MakeFrame(2);
  memset(request.data() + 12, 'n', kFrameSize - 12);  // from the name on
  for (int32_t code : {1, 2, 12, 33, 34, 35, 36, 37}) {
    memcpy(request.data() + 4, &code, sizeof code);
    const std::optional<Frame> r = sandbox_.Exchange(request);
    EXPECT_TRUE(r && FramePid(*r) == kTestPid) << code;
  }
  EXPECT_EQ(sandbox_.Ask(1, "ct_b"), "ok:2");
}

// A peer other than 127.0.0.1 speaks sealed frames, several on one
// connection; a wrong key or a plain frame from there is dropped unanswered.
TEST_F(TransportTest, EncipheredExchangeFromAnotherLoopbackAddress) {
  int fd = sandbox_.Connect("127.0.0.2");
  for (const char* name : {"ct_a", "ct_b"}) {
    const auto plain =
        SealedRoundTrip(fd, MakeFrame(1, name), sandbox_.cipher_key());
    ASSERT_TRUE(plain && plain->size() == 1012u) << name;
    EXPECT_EQ(FramePid(ToFrame(*plain)), kTestPid);
    EXPECT_EQ(FrameValue(ToFrame(*plain)),
              name == std::string("ct_a") ? "1" : "2");
  }
  close(fd);
  const Frame set = MakeFrame(2, "ct_a", "sneaky");
  fd = sandbox_.Connect("127.0.0.2");
  EXPECT_FALSE(SealedRoundTrip(fd, set, std::string(32, 'k')));
  close(fd);
  fd = sandbox_.Connect("127.0.0.2");
  EXPECT_FALSE(RoundTrip(fd, set));
  close(fd);
  EXPECT_EQ(sandbox_.Ask(1, "ct_a"), "ok:1");
}

}  // namespace
}  // namespace cms::testing
