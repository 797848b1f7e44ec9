// transport_test.cc - frames over the real socket: split and back-to-back
// frames, clients that leave mid-frame, enciphered and replayed sealed
// frames, the whole-frame time-out and the connection cap.
#include <gtest/gtest.h>
#include <poll.h>

#include <random>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr(); }

  Sandbox sandbox_{Files{{kCoreFile, "ct_a=1\nct_b=2\n"}}};
};

TEST_F(TransportTest, PartialBackToBackAndAbandonedFrames) {
  // Part of a frame gets no answer; its rest, a second frame and part of a
  // third get two answers, and the third is dropped with the connection.
  const int fd = sandbox_.Connect();
  const Frame first = MakeFrame(1, "ct_a");
  ASSERT_TRUE(SendAll(fd, first.data(), 100));
  EXPECT_FALSE(ReadExactly(fd, 1, milliseconds(200)));
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

  // Clients that leave mid-frame, orderly or by reset, change nothing.
  std::mt19937 rng(7);
  const Frame set = MakeFrame(2, "ct_a", "changed");
  for (int i = 0; i < 60; ++i) {
    const int fd = sandbox_.Connect();
    ASSERT_TRUE(SendAll(fd, set.data(), 1 + rng() % (kFrameSize - 1)));
    const linger reset{1, 0};
    if (i % 2) setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  EXPECT_EQ(sandbox_.Ask(1, "ct_a"), "ok:1");
  EXPECT_EQ(sandbox_.Ask(1, "ct_b"), "ok:2");
  EXPECT_TRUE(
      Sandbox::WaitUntil([&] { return sandbox_.Fds() <= 12; }, seconds(8)));
}

// Peers other than 127.0.0.1 speak sealed frames. A wrong key, a plain frame,
// a replay or a stale seal is closed unanswered and changes nothing.
TEST_F(TransportTest, SealedExchangesFromAnotherLoopbackAddress) {
  const std::string& key = sandbox_.cipher_key();
  const int fd = sandbox_.Connect("127.0.0.2");
  for (const auto& [name, value] : {std::pair{"ct_a", "1"}, {"ct_b", "2"}}) {
    const auto plain = SealedRoundTrip(fd, MakeFrame(1, name), key);
    ASSERT_TRUE(plain && plain->size() == 1012u) << name;
    EXPECT_EQ(FrameValue(ToFrame(*plain)), value);
  }
  close(fd);
  auto answered = [&](const auto& wire) {
    const int fd = sandbox_.Connect("127.0.0.2");
    const bool got = SendAll(fd, wire.data(), wire.size()) &&
                     ReadExactly(fd, 1, seconds(5)).has_value();
    close(fd);
    return got;
  };
  const Frame set = MakeFrame(2, "ct_a", "sneaky");
  EXPECT_FALSE(answered(Seal(set, std::string(32, 'k'))));
  EXPECT_FALSE(answered(set));
  EXPECT_EQ(sandbox_.Ask(1, "ct_a"), "ok:1");

  const auto captured = Seal(MakeFrame(2, "ct_a", "old"), key);
  ASSERT_TRUE(answered(captured));
  ASSERT_EQ(sandbox_.Ask(2, "ct_a", "new"), "ok:");
  EXPECT_FALSE(answered(captured));
  for (int64_t stamp : {WallMs() - 60'000, WallMs() + 60'000, int64_t{1}}) {
    Frame frame = MakeFrame(2, "ct_a", "stale");
    memcpy(frame.data() + CMS_SEALED_TIME_OFFSET, &stamp, sizeof stamp);
    EXPECT_FALSE(answered(Seal(frame, key))) << stamp;
  }
  EXPECT_EQ(sandbox_.Ask(1, "ct_a"), "ok:new");
}

// Beyond the connection cap (from the descriptor limit) idle connections are
// closed and a new client is served; a peer trickling bytes is closed once its
// frame has taken 6 s.
TEST_F(TransportTest, SlowFramesTimeOutAndTheCapKeepsServing) {
  rlimit mine, low;
  getrlimit(RLIMIT_NOFILE, &mine);
  low = {200, mine.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const bool started = sandbox_.Start();  // inherits the limit
  setrlimit(RLIMIT_NOFILE, &mine);
  ASSERT_TRUE(started) << sandbox_.Stderr();

  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(sandbox_.Connect());
  auto closed = [](int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return poll(&p, 1, 0) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
  };
  EXPECT_EQ(sandbox_.Ask(1, "ct_b"), "ok:2");
  EXPECT_TRUE(
      Sandbox::WaitUntil([&] { return closed(idle.front()); }, seconds(2)));
  EXPECT_LT(sandbox_.Fds(), 200);
  for (int fd : idle) close(fd);

  const int slow = sandbox_.Connect();
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < seconds(10) && SendAll(slow, "x", 1) &&
         !closed(slow)) {
    std::this_thread::sleep_for(milliseconds(250));
  }
  EXPECT_LT(Clock::now() - start, seconds(10));
  EXPECT_GT(Clock::now() - start, seconds(5));
  close(slow);
}

}  // namespace
}  // namespace cms::testing
