// load_test.cc - clients mixing every kind of request with write-backs and
// signals, then SIGTERM: the file must hold the last acknowledged values.
// scripts/hardening.sh runs it against a ThreadSanitizer daemon.
#include <gtest/gtest.h>

#include <random>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

// No file callback: the write-back of the created names runs no command.
constexpr char kFile[] = "/mnt/jffs2/conf/user/lan.conf";
constexpr int kClients = 12, kOwn = 4;  // each client alone sets kOwn names
constexpr auto kTimeout = seconds(15);

std::optional<std::string> Value(const std::optional<Frame>& r) {
  return IsOk(r) ? std::optional(FrameValue(*r)) : std::nullopt;
}

TEST(Concurrency, ClientsTickWriteBacksAndSignalsTogether) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // Signals are the loop's once it runs; the marker follows a second later.
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Exists("/tmp/cms_started"); }, seconds(20)));
  std::vector<std::string> names, values(kClients * kOwn, "0");
  for (int i = 0; i < kClients * kOwn; ++i) {
    names.push_back("load_" + std::to_string(1000 + i));
    ASSERT_TRUE(
        IsOk(sandbox.Exchange(MakeFrame(12, names[i], "0", "lan.conf"))));
  }
  std::atomic<bool> done{false};
  std::atomic<long> serial{0}, requests{0};
  auto client = [&](int c) {
    std::mt19937 rng(c * 104729u + 17u);
    // Values never repeat: a set of the stored value fails.
    auto fresh = [&] { return "v" + std::to_string(++serial); };
    auto matches = [&](size_t i, const std::optional<std::string>& got) {
      return got && (i / kOwn != size_t(c) || *got == values[i]);
    };
    for (; !done; ++requests) {
      const int choice = static_cast<int>(rng() % 12);
      const size_t a = rng() % names.size(), b = c * kOwn + rng() % kOwn,
                   d = c * kOwn + (b + 1) % kOwn;
      bool ok = true;
      if (choice < 4) {
        ok = matches(a,
                     Value(sandbox.Exchange(MakeFrame(1, names[a]), kTimeout)));
      } else if (choice < 6) {
        const std::string v = fresh();
        if ((ok = sandbox.Ask(2, names[b], v) == "ok:")) values[b] = v;
      } else if (choice < 8) {  // a list set of two own names, a list get
        const std::string vb = fresh(), vd = fresh();
        ok = IsOk(sandbox.Exchange(
            MakeListFrame(35, {names[b], vb, names[d], vd}), kTimeout));
        if (ok) values[b] = vb, values[d] = vd;
        const std::optional<Frame> r =
            sandbox.Exchange(MakeListFrame(36, {names[d], names[a]}), kTimeout);
        const std::vector<std::string> got = r ? FrameList(*r) : names;
        ok = ok && IsOk(r) && got.size() == 2 && matches(d, got[0]) &&
             matches(a, got[1]);
      } else if (choice == 8) {
        ok = sandbox.Exchange(MakeFrame(16), kTimeout) == Frame{};
      } else if (choice == 9) {
        sandbox.Ask(33, "q" + std::to_string(c), "job");
        ok = sandbox.Ask(34, "q" + std::to_string(c)) == "ok:job";
      } else if (choice == 10) {
        const int fd = sandbox.Connect("127.0.0.2");
        const auto plain =
            SealedRoundTrip(fd, MakeFrame(1, names[a]), sandbox.cipher_key());
        close(fd);
        ok = plain && plain->size() == 1012u &&
             matches(a, Value(ToFrame(*plain)));
      } else {
        // Callbacks run commands; the value may be stored already.
        ok = sandbox.Ask(2, "hostname", "host" + std::to_string(rng() % 8)) !=
             "no answer";
      }
      if (!ok) ADD_FAILURE() << "request " << choice << " on " << names[a];
      // Pauses let the tick see settled bursts.
      std::this_thread::sleep_for(milliseconds(rng() % 4));
    }
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(client, c);
  // USR2 rewrites sysini.conf at once, USR1 and ALRM only announce.
  for (int i = 0; i < 400; ++i) {
    sandbox.Signal(i % 7 == 6 ? SIGUSR2 : (i % 2 ? SIGALRM : SIGUSR1));
    std::this_thread::sleep_for(milliseconds(7));
  }
  done = true;
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(sandbox.Running()) << sandbox.Stderr();
  EXPECT_GT(requests, kClients * 10);

  // The created names follow the old content; a rewrite drops the marker.
  std::string expected = Sandbox::ReadExample("user/lan.conf");
  expected.erase(expected.find("######end of file######\n"));
  for (size_t i = 0; i < names.size(); ++i)
    expected += names[i] + "=" + values[i] + "\n";
  ASSERT_TRUE(sandbox.Signal(SIGTERM));
  EXPECT_EQ(sandbox.WaitExit(seconds(30)), 0) << sandbox.Stderr();
  EXPECT_EQ(sandbox.Read(kFile), expected);
}

}  // namespace
}  // namespace cms::testing
