// load_test.cc - many concurrent clients with a mix of get, set, multi-get
// and multi-set: every answer is checked, and the files must end up holding
// exactly the last acknowledged values.
//
// LoadTest: 200 clients (CMS_LOAD_CLIENTS) on 2,000 names for one second
// (CMS_LOAD_SECONDS); the daemon's memory must not grow between a warm-up
// run and the real one, and once idle it must cost no more than its tick.
// The figures go to standard output as "load:" lines.
//
// Concurrency: fewer clients that also force write-backs, queue values,
// speak enciphered and set a name whose callbacks run commands, while
// signals arrive; then SIGTERM must write everything back. Run against a
// ThreadSanitizer daemon, whose first report ends it with status 66.
#include <gtest/gtest.h>

#include <random>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

// Created names go to example files without a file callback, so that their
// write-back runs no device command.
constexpr const char* kTargetFiles[] = {
    "lan.conf",        "time.conf", "web.conf",         "ipv6.conf",
    "lte_status.conf", "ippt.conf", "xvoip_status.conf"};
constexpr auto kTimeout = seconds(15);

int EnvInt(const char* name, int fallback) {
  const char* v = getenv(name);
  return v != nullptr && atoi(v) > 0 ? atoi(v) : fallback;
}

// What a get shows: the value, or "(null)" as a list shows a failure.
std::string Shown(const std::optional<Frame>& r) {
  return r && FrameStatus(*r) == kStatusOk ? FrameValue(*r) : "(null)";
}

struct Name {
  std::string name, value;
  int owner;         // the client that writes it
  std::string file;  // below conf/user/
};

class LoadTest : public ::testing::Test {
 protected:
  // Starts the daemon and creates `total` names in the first `files` target
  // files, each owned by one of the `clients`.
  void Prepare(int clients, int total, size_t files) {
    clients_ = clients;
    ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
    // Signals are the loop's once it runs; the marker follows a second later.
    ASSERT_TRUE(Sandbox::WaitUntil(
        [&] { return sandbox_.Exists("/tmp/cms_started"); }, seconds(20)));
    before_ = sandbox_.ConfFiles();
    owned_.assign(clients_, {});
    for (int i = 0; i < total; ++i) {
      const std::string name = "load_" + std::to_string(1000 + i);
      const char* file = kTargetFiles[i % files];
      ASSERT_TRUE(IsOk(sandbox_.Exchange(MakeFrame(12, name, "0", file))));
      owned_[i % clients_].push_back(names_.size());
      names_.push_back({name, "0", i % clients_, file});
    }
    ASSERT_TRUE(sandbox_.Exchange(MakeFrame(16), kTimeout));
  }

  // Runs every client for `seconds_run` and reports; the requests made.
  long Run(const char* phase, int seconds_run) {
    const Clock::time_point end = Clock::now() + seconds(seconds_run);
    requests_ = 0;
    failures_.clear();
    latency_ms_.clear();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients_; ++c) {
      threads.emplace_back([&, c] { Client(c, end); });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<double>& ms = latency_ms_;
    std::sort(ms.begin(), ms.end());
    ms.push_back(0);  // never empty
    printf(
        "load: %s requests=%ld failures=%zu rps=%.0f p50_ms=%.2f "
        "p99_ms=%.2f\n",
        phase, requests_.load(), failures_.size(),
        static_cast<double>(requests_) / seconds_run, ms[(ms.size() - 1) / 2],
        ms[(ms.size() - 1) * 99 / 100]);
    EXPECT_TRUE(failures_.empty())
        << failures_.size() << " failed, first: " << failures_[0];
    return requests_.load();
  }

  // One client: 40% get, 30% set of an own name, 15% multi-get of five
  // names, 15% multi-set of two own names (and with `extras_` the extra
  // requests on top). Its own names must read back as it set them last.
  void Client(int c, Clock::time_point end) {
    std::mt19937 rng(static_cast<unsigned>(c) * 104729u + 17u);
    const std::vector<size_t>& own = owned_[c];
    auto pick_any = [&] { return &names_[rng() % names_.size()]; };
    auto pick_own = [&] { return &names_[own[rng() % own.size()]]; };
    // Values never repeat: a set of the stored value fails.
    auto next_value = [&] { return "v" + std::to_string(++serial_); };
    auto matches = [&](const Name* n, const std::string& got) {
      return n->owner == c ? got == n->value : got != "(null)";
    };
    long count = 0;
    while (Clock::now() < end) {
      ++count;
      const int choice = static_cast<int>(rng() % (extras_ ? 120 : 100));
      const Clock::time_point start = Clock::now();
      const Name* any = pick_any();
      bool ok;
      if (choice < 40) {
        ok = matches(
            any, Shown(sandbox_.Exchange(MakeFrame(1, any->name), kTimeout)));
      } else if (choice < 70) {
        Name* n = pick_own();
        const std::string v = next_value();
        if ((ok = sandbox_.Ask(2, n->name, v) == "ok:")) n->value = v;
      } else if (choice < 85) {
        const std::vector<const Name*> picked = {pick_own(), any, pick_any(),
                                                 pick_any(), pick_any()};
        std::vector<std::string> list;
        for (const Name* n : picked) list.push_back(n->name);
        const std::optional<Frame> r =
            sandbox_.Exchange(MakeListFrame(36, list), kTimeout);
        const std::vector<std::string> got = r ? FrameList(*r) : list;
        ok = IsOk(r) && got.size() == 5;
        for (size_t i = 0; ok && i < 5; ++i) ok = matches(picked[i], got[i]);
      } else if (choice < 100) {
        const size_t i = rng() % own.size();
        Name* a = &names_[own[i]];
        Name* b = &names_[own[(i + 1) % own.size()]];
        const std::string va = next_value(), vb = next_value();
        ok = IsOk(
            sandbox_.Exchange(MakeListFrame(35, {a->name, va, b->name, vb})));
        if (ok) a->value = va, b->value = vb;
      } else if (choice < 105) {
        ok = sandbox_.Exchange(MakeFrame(16), kTimeout) == Frame{};
      } else if (choice < 110) {
        sandbox_.Ask(33, "q" + std::to_string(c), "job");
        ok = sandbox_.Ask(34, "q" + std::to_string(c)) == "ok:job";
      } else if (choice < 115) {
        const int fd = sandbox_.Connect("127.0.0.2");
        const auto plain =
            SealedRoundTrip(fd, MakeFrame(1, any->name), sandbox_.cipher_key());
        close(fd);
        ok = plain && plain->size() == 1012u &&
             matches(any, Shown(ToFrame(*plain)));
      } else {
        // Callbacks that run commands at write-back. Others set it too, so
        // the value may already be stored (status 7).
        ok = sandbox_.Ask(2, "hostname", "host" + std::to_string(rng() % 8)) !=
             "no answer";
      }
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - start)
              .count();
      if (!ok || count % 16 == 0) {
        std::lock_guard lock(mu_);
        // Which request (by its `choice`) failed, on what name.
        if (!ok) failures_.push_back(std::to_string(choice) + " " + any->name);
        if (count % 16 == 0) latency_ms_.push_back(ms);
      }
      // Pauses let the tick see settled bursts.
      if (extras_) std::this_thread::sleep_for(milliseconds(rng() % 4));
    }
    requests_ += count;
  }

  // Every configuration file (or with `only_targets` every target file) is
  // as before, with the created names appended in name order with their
  // last acknowledged values; a rewritten file loses its end marker line.
  void CheckFiles(bool only_targets) {
    Files expected = before_, appended;
    for (const Name& n : names_) {  // created in name order
      appended["/mnt/jffs2/conf/user/" + n.file] +=
          n.name + "=" + n.value + "\n";
    }
    for (const auto& [path, lines] : appended) {
      std::string& content = expected[path];
      const std::string marker = "######end of file######\n";
      if (const size_t at = content.find(marker); at != std::string::npos)
        content.erase(at, marker.size());
      content += lines;
    }
    for (const auto& [path, content] : expected) {
      if (!only_targets || appended.count(path)) {
        EXPECT_EQ(sandbox_.Read(path), content) << path;
      }
    }
  }

  int clients_ = 0;
  bool extras_ = false;
  Sandbox sandbox_;
  Files before_;  // the configuration files at the start
  std::vector<Name> names_;
  std::vector<std::vector<size_t>> owned_;  // by client: indexes in names_
  std::atomic<long> serial_{0}, requests_{0};
  std::mutex mu_;  // guards the two below
  std::vector<std::string> failures_;
  std::vector<double> latency_ms_;  // of every 16th request
};

TEST_F(LoadTest, MixedRequestsOnTwoThousandNames) {
  ASSERT_NO_FATAL_FAILURE(Prepare(EnvInt("CMS_LOAD_CLIENTS", 200), 2000,
                                  std::size(kTargetFiles)));
  const int run_seconds = EnvInt("CMS_LOAD_SECONDS", 1);
  const milliseconds idle_window =
      getenv("CMS_LOAD_SECONDS") ? seconds(3) : seconds(1);
  const pid_t pid = sandbox_.pid();
  const IdleSample idle_before = SampleIdle(pid, idle_window);

  // After each run: time for the last write-back and for workers to go idle.
  Run("warm-up", std::clamp(run_seconds / 3, 1, 10));
  std::this_thread::sleep_for(seconds(1));
  const ProcStats after_warm = ReadProcStats(pid);
  const long requests = Run("run", run_seconds);
  std::this_thread::sleep_for(seconds(1));
  const ProcStats after_run = ReadProcStats(pid);
  const IdleSample idle_after = SampleIdle(pid, idle_window);

  printf(
      "load: clients=%d names=%zu rss_kb warm-up=%ld run=%ld fds warm-up=%ld "
      "run=%ld idle cpu before=%.2f%% after=%.2f%% other threads' wakeups/s "
      "after=%.0f\n",
      clients_, names_.size(), after_warm.rss_kb, after_run.rss_kb,
      after_warm.fds, after_run.fds, idle_before.cpu_share * 100,
      idle_after.cpu_share * 100, idle_after.other_wakeups);
  EXPECT_GT(requests, clients_);

  // The tick writes once the burst has settled; a forced write makes sure.
  ASSERT_TRUE(sandbox_.Exchange(MakeFrame(16), kTimeout));
  CheckFiles(false);
  EXPECT_EQ(after_run.fds, after_warm.fds);
  // With a sanitizer the daemon's memory is the sanitizer's to keep.
  if (sandbox_.ReadHost("/proc/" + std::to_string(pid) + "/maps")
          .find("san.so") == std::string::npos) {
    EXPECT_LE(std::labs(after_run.rss_kb - after_warm.rss_kb), 1024);
    // At most one more percent of a core than before.
    EXPECT_LE(idle_after.cpu_share, idle_before.cpu_share + 0.01);
    // Only the loop thread wakes (for its tick): no worker, no accept.
    EXPECT_LT(idle_after.other_wakeups, 2.0);
  }
  ASSERT_TRUE(sandbox_.Running()) << sandbox_.Stderr();
}

class Concurrency : public LoadTest {};

TEST_F(Concurrency, ClientsTickWriteBacksAndSignalsTogether) {
  extras_ = true;
  ASSERT_NO_FATAL_FAILURE(Prepare(12, 48, 1));
  std::atomic<bool> done{false};
  std::thread signaller([&] {
    // USR2 rewrites sysini.conf at once, USR1 and ALRM only announce.
    for (int i = 0; !done; ++i) {
      sandbox_.Signal(i % 7 == 6 ? SIGUSR2 : (i % 2 ? SIGALRM : SIGUSR1));
      std::this_thread::sleep_for(milliseconds(7));
    }
  });
  const long requests = Run("concurrency", 3);
  done = true;
  signaller.join();
  // A report ends the daemon at once; its output says why.
  ASSERT_TRUE(sandbox_.Running()) << sandbox_.Stderr();
  EXPECT_GT(requests, clients_ * 10);

  // SIGTERM writes back what is pending and exits with 0.
  ASSERT_TRUE(sandbox_.Signal(SIGTERM));
  EXPECT_EQ(sandbox_.WaitExit(seconds(30)), 0) << sandbox_.Stderr();
  EXPECT_EQ(sandbox_.Stderr().find("ThreadSanitizer"), std::string::npos)
      << sandbox_.Stderr();
  CheckFiles(true);
}

}  // namespace
}  // namespace cms::testing
