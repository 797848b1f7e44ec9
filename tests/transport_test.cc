// transport_test.cc - frames over the real socket: plain and enciphered
// exchanges, split and back-to-back frames, hostile frames.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::seconds;

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

Frame ToFrame(std::string_view bytes) {
  Frame frame{};
  memcpy(frame.data(), bytes.data(), std::min(bytes.size(), kFrameSize));
  return frame;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr(); }

  // The value a plain get of `name` answers on a new connection.
  std::string Get(const char* name) {
    const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, name));
    return r ? FrameValue(*r) : "<no answer>";
  }

  Sandbox sandbox_{SandboxOptions().WithFile(kCoreFile, "ct_a=1\nct_b=2\n")};
};

TEST_F(TransportTest, PartialAndBackToBackFrames) {
  int fd = sandbox_.Connect();
  const Frame first = MakeFrame(1, "ct_a");
  const Frame second = MakeFrame(1, "ct_b");
  ASSERT_TRUE(SendAll(fd, first.data(), 100));
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 200), 0);  // no answer to part of a frame
  const std::string rest = std::string(first.data() + 100, kFrameSize - 100) +
                           std::string(second.data(), kFrameSize);
  ASSERT_TRUE(SendAll(fd, rest.data(), rest.size()));
  const std::optional<std::string> answers =
      ReadExactly(fd, 2 * kFrameSize, seconds(5));
  close(fd);
  ASSERT_TRUE(answers);
  EXPECT_EQ(FrameValue(ToFrame(*answers)), "1");
  EXPECT_EQ(FrameValue(ToFrame(answers->substr(kFrameSize))), "2");

  // A client that leaves after 500 bytes of a set gets no answer and
  // changes nothing.
  fd = sandbox_.Connect();
  ASSERT_TRUE(SendAll(fd, MakeFrame(2, "ct_a", "changed").data(), 500));
  shutdown(fd, SHUT_WR);
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  close(fd);
  EXPECT_EQ(Get("ct_a"), "1");
}

TEST_F(TransportTest, OddFramesAreServedSafely) {
  // 16 and codes that are not commands answer 1024 zero bytes.
  for (int code : {16, 0, 6, 20, 99}) {
    const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(code, "ct_a"));
    ASSERT_TRUE(r) << code;
    EXPECT_TRUE(IsAllZero(*r)) << code;
  }
  // Fields and lists without their zero byte are read to their area end.
  Frame request = MakeFrame(2);
  memset(request.data() + kNameOffset, 'n', kFrameSize - kNameOffset);
  for (int32_t code : {1, 2, 12, 33, 34, 35, 36, 37}) {
    memcpy(request.data() + kCmdOffset, &code, sizeof code);
    const std::optional<Frame> r = sandbox_.Exchange(request);
    ASSERT_TRUE(r) << code;
    EXPECT_EQ(FramePid(*r), kTestPid) << code;
  }
  EXPECT_EQ(Get("ct_b"), "2");
}

// A peer other than 127.0.0.1 seals the first 984 bytes of a frame (1024
// bytes on the wire) and gets the first 1012 bytes of the answer sealed.
TEST_F(TransportTest, EncipheredExchangeFromAnotherLoopbackAddress) {
  const std::string key = sandbox_.cipher_key();
  auto sealed = [](const Frame& frame, const std::string& with) {
    return Seal(std::string_view(frame.data(), kFrameSize - 40), with);
  };
  int fd = sandbox_.Connect("127.0.0.2");
  for (const char* name : {"ct_a", "ct_b"}) {
    const std::string request = sealed(MakeFrame(1, name), key);
    ASSERT_EQ(request.size(), kFrameSize);
    ASSERT_TRUE(SendAll(fd, request.data(), request.size()));
    const std::optional<std::string> answer = ReadExactly(fd, 1052, seconds(5));
    ASSERT_TRUE(answer) << name;
    const std::optional<std::string> plain = Unseal(*answer, key);
    ASSERT_TRUE(plain && plain->size() == 1012u) << name;
    const Frame response = ToFrame(*plain);
    EXPECT_EQ(FramePid(response), kTestPid);
    EXPECT_EQ(FrameValue(response), name == std::string("ct_a") ? "1" : "2");
  }
  close(fd);
  // A wrong key, or a plain frame from there, is dropped unanswered.
  const Frame set = MakeFrame(2, "ct_a", "sneaky");
  for (const std::string& request : {sealed(set, std::string(32, 'k')),
                                     std::string(set.data(), kFrameSize)}) {
    fd = sandbox_.Connect("127.0.0.2");
    ASSERT_TRUE(SendAll(fd, request.data(), request.size()));
    EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
    close(fd);
  }
  EXPECT_EQ(Get("ct_a"), "1");
}

}  // namespace
}  // namespace cms::testing
