// transport_test.cc - frames over the real socket: plain and enciphered
// exchanges, split and back-to-back frames, hostile frames, clean shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

SandboxOptions CoreTree() {
  SandboxOptions options;
  options.files[kCoreFile] = "ct_a=1\nct_b=2\n";
  return options;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr(); }

  // True when the daemon answers nothing on fd within `wait`.
  static bool Silent(int fd, milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 0;
  }

  Sandbox sandbox_{CoreTree()};
};

TEST_F(TransportTest, WriteNowAndUnknownCodesAnswerZeroFrames) {
  for (int code : {16, 0, 6, 20, 99}) {
    const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(code, "ct_a"));
    ASSERT_TRUE(r) << code;
    EXPECT_TRUE(IsAllZero(*r)) << code;
  }
  const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, "ct_a"));
  ASSERT_TRUE(r);
  EXPECT_EQ(FramePid(*r), kTestPid);
  EXPECT_EQ(FrameStatus(*r), kStatusOk);
  EXPECT_EQ(FrameValue(*r), "1");
}

TEST_F(TransportTest, SplitFrameIsAnsweredOnceWhole) {
  const int fd = sandbox_.Connect();
  ASSERT_GE(fd, 0);
  const Frame request = MakeFrame(1, "ct_b");
  ASSERT_TRUE(SendAll(fd, request.data(), 100));
  EXPECT_TRUE(Silent(fd, milliseconds(200)));
  ASSERT_TRUE(SendAll(fd, request.data() + 100, kFrameSize - 100));
  const std::optional<std::string> answer =
      ReadExactly(fd, kFrameSize, seconds(5));
  close(fd);
  ASSERT_TRUE(answer);
  Frame response;
  memcpy(response.data(), answer->data(), kFrameSize);
  EXPECT_EQ(FrameStatus(response), kStatusOk);
  EXPECT_EQ(FrameValue(response), "2");
}

TEST_F(TransportTest, BackToBackFramesAreAnsweredInOrder) {
  const int fd = sandbox_.Connect();
  ASSERT_GE(fd, 0);
  std::string both;
  const Frame first = MakeFrame(1, "ct_a");
  const Frame second = MakeFrame(1, "ct_b");
  both.append(first.data(), kFrameSize).append(second.data(), kFrameSize);
  ASSERT_TRUE(SendAll(fd, both.data(), both.size()));
  const std::optional<std::string> answers =
      ReadExactly(fd, 2 * kFrameSize, seconds(5));
  close(fd);
  ASSERT_TRUE(answers);
  Frame a;
  Frame b;
  memcpy(a.data(), answers->data(), kFrameSize);
  memcpy(b.data(), answers->data() + kFrameSize, kFrameSize);
  EXPECT_EQ(FrameValue(a), "1");
  EXPECT_EQ(FrameValue(b), "2");
}

TEST_F(TransportTest, ClientLeavingMidFrameGetsNothingAndHarmsNothing) {
  const int fd = sandbox_.Connect();
  ASSERT_GE(fd, 0);
  const Frame request = MakeFrame(2, "ct_a", "changed");
  ASSERT_TRUE(SendAll(fd, request.data(), 500));
  shutdown(fd, SHUT_WR);
  // The daemon closes its side without answering.
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  close(fd);
  const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, "ct_a"));
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameValue(*r), "1");
  EXPECT_TRUE(sandbox_.Running());
}

TEST_F(TransportTest, PeerGoneBeforeTheAnswerLeavesDaemonServing) {
  for (int i = 0; i < 20; ++i) {
    const int fd = sandbox_.Connect();
    ASSERT_GE(fd, 0);
    const Frame request = MakeFrame(1, "ct_a");
    ASSERT_TRUE(SendAll(fd, request.data(), kFrameSize));
    close(fd);
  }
  const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, "ct_a"));
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameValue(*r), "1");
}

TEST_F(TransportTest, UnterminatedFieldsAreServedSafely) {
  Frame request = MakeFrame(2, "", "");
  memset(request.data() + kNameOffset, 'n', kNameSize);
  memset(request.data() + kValueOffset, 'v', kValueSize);
  memset(request.data() + kLocationOffset, 'l', kLocationSize + 84);
  for (int code : {1, 2, 12, 33, 34, 35, 36, 37}) {
    int32_t cmd = code;
    memcpy(request.data() + kCmdOffset, &cmd, sizeof cmd);
    const std::optional<Frame> r = sandbox_.Exchange(request);
    ASSERT_TRUE(r) << code;
    EXPECT_EQ(FramePid(*r), kTestPid) << code;
  }
  const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, "ct_b"));
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameValue(*r), "2");
}

// Sealed request as a peer other than 127.0.0.1 sends it: the first 984
// bytes of a frame, 1024 bytes on the wire.
std::string SealedRequest(const Frame& frame, const std::string& key) {
  return Seal(std::string_view(frame.data(), kFrameSize - 40), key);
}

TEST_F(TransportTest, EncipheredExchangeFromAnotherLoopbackAddress) {
  const int fd = sandbox_.Connect("127.0.0.2");
  ASSERT_GE(fd, 0);
  const std::string key = sandbox_.cipher_key();
  ASSERT_EQ(key.size(), 32u);
  for (const char* name : {"ct_a", "ct_b"}) {
    const std::string sealed = SealedRequest(MakeFrame(1, name), key);
    ASSERT_EQ(sealed.size(), kFrameSize);
    ASSERT_TRUE(SendAll(fd, sealed.data(), sealed.size()));
    const std::optional<std::string> answer = ReadExactly(fd, 1052, seconds(5));
    ASSERT_TRUE(answer) << name;
    const std::optional<std::string> plain = Unseal(*answer, key);
    ASSERT_TRUE(plain) << name;
    ASSERT_EQ(plain->size(), 1012u);
    Frame response{};
    memcpy(response.data(), plain->data(), plain->size());
    EXPECT_EQ(FramePid(response), kTestPid);
    EXPECT_EQ(FrameStatus(response), kStatusOk);
    EXPECT_EQ(FrameValue(response), name == std::string("ct_a") ? "1" : "2");
  }
  close(fd);
}

TEST_F(TransportTest, WrongKeyOrPlainFrameFromAnotherAddressIsDropped) {
  int fd = sandbox_.Connect("127.0.0.2");
  ASSERT_GE(fd, 0);
  const std::string sealed =
      SealedRequest(MakeFrame(1, "ct_a"), std::string(32, 'k'));
  ASSERT_TRUE(SendAll(fd, sealed.data(), sealed.size()));
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  close(fd);

  // A plain frame from there does not decipher either.
  fd = sandbox_.Connect("127.0.0.2");
  ASSERT_GE(fd, 0);
  const Frame plain = MakeFrame(2, "ct_a", "sneaky");
  ASSERT_TRUE(SendAll(fd, plain.data(), kFrameSize));
  EXPECT_FALSE(ReadExactly(fd, 1, seconds(5)));
  close(fd);
  const std::optional<Frame> r = sandbox_.Exchange(MakeFrame(1, "ct_a"));
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameValue(*r), "1");
}

TEST_F(TransportTest, SigtermWritesPendingChangesAndExitsZero) {
  // Sets every few milliseconds keep postponing the tick's write-back, so
  // only the shutdown can have written the last one.
  std::string last;
  for (int i = 0; i < 30; ++i) {
    last = "v" + std::to_string(i);
    const std::optional<Frame> r =
        sandbox_.Exchange(MakeFrame(2, "ct_a", last));
    ASSERT_TRUE(r);
    ASSERT_EQ(FrameStatus(*r), kStatusOk);
  }
  ASSERT_TRUE(sandbox_.Signal(SIGTERM));
  const std::optional<int> code = sandbox_.WaitExit(seconds(10));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);
  EXPECT_EQ(sandbox_.ReadFile(kCoreFile), "ct_a=" + last + "\nct_b=2\n");
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

TEST_F(TransportTest, AcceptPausesWhileOutOfDescriptorsAndRecovers) {
  const rlimit limit{48, 48};
  ASSERT_EQ(prlimit(sandbox_.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(static_cast<uint16_t>(sandbox_.port()));
  // Idle clients hold a descriptor each until the daemon runs out.
  std::vector<int> idle;
  for (int i = 0; i < 56; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    idle.push_back(fd);
  }
  const char kFailure[] = "accept: Too many open files";
  ASSERT_TRUE(sandbox_.WaitForStderr(kFailure, seconds(5)))
      << sandbox_.Stderr();
  // Retrying at once would log thousands of failures in this time; with a
  // pause between attempts only a handful.
  const size_t before = Count(sandbox_.Stderr(), kFailure);
  std::this_thread::sleep_for(milliseconds(500));
  const size_t during = Count(sandbox_.Stderr(), kFailure) - before;
  EXPECT_GE(during, 3u);
  EXPECT_LE(during, 20u);
  for (int fd : idle) close(fd);
  const std::optional<Frame> r =
      sandbox_.Exchange(MakeFrame(1, "ct_a"), seconds(10));
  ASSERT_TRUE(r);
  EXPECT_EQ(FrameValue(*r), "1");
}

}  // namespace
}  // namespace cms::testing
