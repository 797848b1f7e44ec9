// fault_test.cc - a descriptor limit run dry by a flood of connections, and
// SIGKILL in the middle of a storm of sets and write-backs.
#include <gtest/gtest.h>

#include <random>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kFaultFile[] = "/mnt/jffs2/conf/user/fault.conf";

// Out of descriptors the daemon must pause instead of spinning on accept; a
// set made meanwhile must be written once descriptors are free.
TEST(FaultTest, ExhaustedDescriptorsCostNoCpuAndLoseNoSet) {
  Sandbox sandbox(Files{{kFaultFile, "f_a=1\nf_b=2\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // The port listens before the request loop has its epoll descriptor: one
  // answered request first, so the lowered limit cannot starve the loop.
  ASSERT_EQ(sandbox.Ask(1, "f_a"), "ok:1");
  const int early = sandbox.Connect();
  const rlimit low{24, 24};
  ASSERT_EQ(prlimit(sandbox.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<int> flood;
  for (int i = 0; i < 80; ++i) flood.push_back(sandbox.Connect());
  ASSERT_TRUE(sandbox.WaitForStderr("accept: Too many open files", seconds(5)))
      << sandbox.Stderr();

  ASSERT_TRUE(IsOk(RoundTrip(early, MakeFrame(2, "f_a", "while-exhausted"))));
  close(early);
  const double cpu = sandbox.CpuSeconds();
  std::this_thread::sleep_for(seconds(1));
  EXPECT_LT(sandbox.CpuSeconds() - cpu, 0.10);  // of a second

  for (int fd : flood) close(fd);
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Ask(1, "f_a") == "ok:while-exhausted"; },
      seconds(5)))
      << sandbox.Stderr();
  const std::string written = "f_a=while-exhausted\nf_b=2\n";
  EXPECT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.Read(kFaultFile) == written; }, seconds(3)));
  // Idle again, the loop sleeps between its ticks: a spin costs a whole core.
  const double idle = sandbox.CpuSeconds();
  std::this_thread::sleep_for(seconds(1));
  EXPECT_LT(sandbox.CpuSeconds() - idle, 0.05);
}

// name=value pairs of a whole file (ending with a line feed), or nothing.
std::optional<Files> Parse(const std::string& text) {
  Files values;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos) return std::nullopt;
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return text.ends_with('\n') ? std::optional(values) : std::nullopt;
}

// Six clients set four names each (the fourth on the ISP side; 300 filler
// lines make a rewrite slow enough to be caught half-way) while a seventh
// forces write-backs; SIGKILL during a write-back, with an idle connection
// open (its TIME_WAIT must not keep the restart from listening).
TEST(FaultKill, SigkillDuringStormLosesNoCompletedWrite) {
  constexpr int kNames = 24;
  auto file = [](int i) {
    return "/mnt/jffs2/conf/" + std::string(i % 4 == 3 ? "isp/user/storm.conf"
                                            : i % 2    ? "user/storm_1.conf"
                                                       : "user/storm_0.conf");
  };
  Files files;
  for (int i = 0; i < kNames; ++i) {
    for (int f = 0; files[file(i)].empty() && f < 300; ++f)
      files[file(i)] +=
          "f" + std::to_string(f) + "=" + std::string(40, 'x') + "\n";
    files[file(i)] += "s" + std::to_string(i) + "=0\n";
  }
  Sandbox sandbox(files);
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  // Values only grow, one writer per name: a file holds at least what was
  // acknowledged before the last completed write-back, at most what was sent.
  std::vector<long> sent(kNames), durable(kNames);
  std::vector<std::atomic<long>> acked(kNames);
  std::mt19937 rng(11);
  long completed_writes = 0;
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < kNames; ++i) acked[i] = durable[i] = 0;
    std::atomic<bool> stop{false}, writing{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < kNames / 4; ++c) {
      threads.emplace_back([&, c] {
        for (std::mt19937 local(round * 100 + c); !stop;) {
          const int i = c * 4 + static_cast<int>(local() % 4);
          const std::string value = std::to_string(++sent[i]);
          if (IsOk(sandbox.Exchange(
                  MakeFrame(i % 4 == 3 ? 4 : 2, "s" + std::to_string(i), value),
                  seconds(2))))
            acked[i] = sent[i];
        }
      });
    }
    threads.emplace_back([&] {
      while (!stop) {
        std::vector<long> before(acked.begin(), acked.end());
        writing = true;
        if (sandbox.Exchange(MakeFrame(16), seconds(2)) == Frame{})
          durable = before, ++completed_writes;
        writing = false;
      }
    });
    const int idle = sandbox.Connect();
    std::this_thread::sleep_for(milliseconds(100 + rng() % 300));
    Sandbox::WaitUntil([&] { return writing.load(); }, seconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    sandbox.Stop();
    stop = true;
    for (std::thread& t : threads) t.join();
    close(idle);

    ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "s" + std::to_string(i);
      SCOPED_TRACE(name + " round " + std::to_string(round));
      const std::optional<Files> values = Parse(sandbox.Read(file(i)));
      ASSERT_TRUE(values) << sandbox.Read(file(i));
      EXPECT_EQ(values->size(), Parse(files[file(i)])->size());
      ASSERT_EQ(values->count(name), 1u);
      const long on_disk = std::stol(values->at(name));
      EXPECT_GE(on_disk, durable[i]);
      EXPECT_LE(on_disk, sent[i]);
      EXPECT_EQ(sandbox.Ask(i % 4 == 3 ? 3 : 1, name),
                "ok:" + values->at(name));
    }
  }
  EXPECT_GT(completed_writes, 0);
}

}  // namespace
}  // namespace cms::testing
