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
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

// Created names go to example files without a file callback, so that their
// write-back runs no device command.
constexpr const char* kTargetFiles[] = {
    "lan.conf",        "time.conf", "web.conf",         "ipv6.conf",
    "lte_status.conf", "ippt.conf", "xvoip_status.conf"};
constexpr char kUserDir[] = "/mnt/jffs2/conf/user/";
constexpr auto kTimeout = seconds(15);

// With a sanitizer the daemon's memory is the sanitizer's to keep.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

int EnvInt(const char* name, int fallback) {
  const char* v = getenv(name);
  return v != nullptr && atoi(v) > 0 ? atoi(v) : fallback;
}

struct Name {
  std::string name, value;
  bool has_value = true;  // false: get answers 7, a list "(null)"
  int owner = -1;         // the client that writes it; -1 read only
};

struct Tally {
  long requests = 0, failures = 0;
  std::vector<std::string> examples;  // the first few failures
  std::vector<double> latency_ms;     // a sample
  void Fail(const std::string& what) {
    if (++failures < 5) examples.push_back(what);
  }
};

class LoadTest : public ::testing::Test {
 protected:
  void Begin(int clients) {
    clients_ = clients;
    RaiseDescriptorLimit();
    ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
    // Signals are the loop's once it runs; the marker follows a second later.
    ASSERT_TRUE(Sandbox::WaitUntil(
        [&] { return sandbox_.Exists("/tmp/cms_started"); }, seconds(20)));
    const std::string conf = sandbox_.Host("/mnt/jffs2/conf");
    for (const auto& e : std::filesystem::recursive_directory_iterator(conf)) {
      const std::string device =
          e.path().string().substr(sandbox_.dir().size());
      if (e.is_regular_file()) before_[device] = sandbox_.Read(device);
    }
  }

  // With `tree`, every parameter of the example tree, read only (from a dump,
  // "name='value'" lines); then names created in the target files, up to
  // `total`, each owned by one client.
  void MakeNames(bool tree, int total) {
    if (tree) {
      auto r = sandbox_.Exchange(MakeFrame(37, {}, "/tmp/load_dump.txt"));
      ASSERT_TRUE(r && FrameStatus(*r) == kStatusOk);
      std::istringstream in(sandbox_.Read("/tmp/load_dump.txt"));
      for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find("='");
        if (eq == std::string::npos || line.back() != '\'') continue;
        const std::string value = line.substr(eq + 2, line.size() - eq - 3);
        names_.push_back({line.substr(0, eq), value, !value.empty()});
      }
    }
    const int created = total - static_cast<int>(names_.size());
    ASSERT_GE(created, clients_);  // every client owns a name
    for (int i = 0; i < created; ++i) {
      const std::string name = "load_" + std::to_string(1000 + i);
      const std::string file = kTargetFiles[i % std::size(kTargetFiles)];
      auto r = sandbox_.Exchange(MakeFrame(12, name, "0", file), kTimeout);
      ASSERT_TRUE(r && FrameStatus(*r) == kStatusOk) << name;
      names_.push_back({name, "0", true, i % clients_});
      file_of_[name] = file;
    }
    auto r = sandbox_.Exchange(MakeFrame(16), kTimeout);
    ASSERT_TRUE(r && IsAllZero(*r));
    owned_.assign(clients_, {});
    serials_.assign(clients_, 0);
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i].owner >= 0) owned_[names_[i].owner].push_back(i);
    }
  }

  // Runs every client for `length`; the merged tally.
  Tally Run(Clock::duration length) {
    const Clock::time_point end = Clock::now() + length;
    std::vector<Tally> tallies(clients_);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients_; ++c) {
      threads.emplace_back(
          [this, c, end, &tallies] { Client(c, end, &tallies[c]); });
    }
    Tally all;
    for (int c = 0; c < clients_; ++c) {
      threads[c].join();
      all.requests += tallies[c].requests;
      all.failures += tallies[c].failures;
      all.examples.insert(all.examples.end(), tallies[c].examples.begin(),
                          tallies[c].examples.end());
      all.latency_ms.insert(all.latency_ms.end(), tallies[c].latency_ms.begin(),
                            tallies[c].latency_ms.end());
    }
    return all;
  }

  // One client: 40% get, 30% set of an own name, 15% multi-get of five
  // names, 15% multi-set of two own names (and with `extras_` the extra
  // requests on top). Its own names must read back as it set them last;
  // read-only names never change.
  void Client(int c, Clock::time_point end, Tally* tally) {
    std::mt19937 rng(static_cast<unsigned>(c) * 104729u + 17u);
    const std::vector<size_t>& own = owned_[c];
    auto pick_any = [&] { return &names_[rng() % names_.size()]; };
    auto pick_own = [&] { return &names_[own[rng() % own.size()]]; };
    // Values never repeat across runs: a set of the stored value fails.
    auto next_value = [&] {
      return "c" + std::to_string(c) + "_" + std::to_string(++serials_[c]);
    };
    auto expected = [&](const Name* n) -> std::optional<std::string> {
      if (n->owner >= 0 && n->owner != c)
        return std::nullopt;  // changes under us
      return n->has_value ? n->value : "(null)";
    };
    while (Clock::now() < end) {
      const int choice = static_cast<int>(rng() % (extras_ ? 120 : 100));
      const Clock::time_point start = Clock::now();
      const Name* any = pick_any();
      std::optional<Frame> r;
      if (choice < 40) {
        r = sandbox_.Exchange(MakeFrame(1, any->name), kTimeout);
        const std::optional<std::string> value = expected(any);
        if (!r ||
            FrameStatus(*r) != (any->has_value ? kStatusOk : kStatusFailed) ||
            (any->has_value && value && FrameValue(*r) != *value)) {
          tally->Fail("get " + any->name);
        }
      } else if (choice < 70) {
        Name* n = pick_own();
        const std::string v = next_value();
        r = sandbox_.Exchange(MakeFrame(2, n->name, v), kTimeout);
        if (!r || FrameStatus(*r) != kStatusOk)
          tally->Fail("set " + n->name);
        else
          n->value = v;
      } else if (choice < 85) {
        std::vector<const Name*> picked = {pick_own()};
        std::vector<std::string> list = {picked[0]->name};
        for (int i = 1; i < 5; ++i) {
          picked.push_back(pick_any());
          list.push_back(picked.back()->name);
        }
        r = sandbox_.Exchange(MakeListFrame(36, list), kTimeout);
        const std::vector<std::string> got =
            r ? FrameList(*r) : std::vector<std::string>{};
        bool ok =
            r && FrameStatus(*r) == kStatusOk && got.size() == picked.size();
        for (size_t i = 0; ok && i < got.size(); ++i) {
          const std::optional<std::string> value = expected(picked[i]);
          ok = value ? got[i] == *value : got[i] != "(null)";
        }
        if (!ok) tally->Fail("mget");
      } else if (choice < 100) {
        const size_t i = rng() % own.size();
        Name* a = &names_[own[i]];
        Name* b = &names_[own[(i + 1) % own.size()]];
        const std::string va = next_value(), vb = next_value();
        r = sandbox_.Exchange(MakeListFrame(35, {a->name, va, b->name, vb}),
                              kTimeout);
        if (!r || FrameStatus(*r) != kStatusOk) {
          tally->Fail("mset " + a->name + " " + b->name);
        } else {
          a->value = va;
          b->value = vb;
        }
      } else if (choice < 105) {
        r = sandbox_.Exchange(MakeFrame(16), kTimeout);
        if (!r || !IsAllZero(*r)) tally->Fail("write now");
      } else if (choice < 110) {
        const std::string queue = "q" + std::to_string(c);
        sandbox_.Exchange(MakeFrame(33, queue, "job"), kTimeout);
        r = sandbox_.Exchange(MakeFrame(34, queue), kTimeout);
        if (!r || FrameValue(*r) != "job") tally->Fail("push/pop");
      } else if (choice < 115) {
        const int fd = sandbox_.Connect("127.0.0.2");
        const std::optional<std::string> plain =
            SealedRoundTrip(fd, MakeFrame(1, any->name), sandbox_.cipher_key());
        close(fd);
        const std::optional<std::string> value = expected(any);
        if (!plain || plain->size() != 1012u ||
            (value && FrameValue(ToFrame(*plain)) != *value)) {
          tally->Fail("sealed get " + any->name);
        }
      } else {
        // Callbacks that run commands at write-back. Others set it too, so
        // the value may already be stored (status 7).
        r = sandbox_.Exchange(
            MakeFrame(2, "hostname", "host" + std::to_string(rng() % 8)),
            kTimeout);
        if (!r || (FrameStatus(*r) != kStatusOk &&
                   FrameStatus(*r) != kStatusFailed)) {
          tally->Fail("set hostname");
        }
      }
      if (++tally->requests % 16 == 0) {
        tally->latency_ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start)
                .count());
      }
      // Pauses let the tick see settled bursts.
      if (extras_) std::this_thread::sleep_for(milliseconds(rng() % 4));
    }
  }

  // Every configuration file (or with `only_targets` every target file) is
  // as before, with the created names appended in name order with their
  // last acknowledged values; a rewritten file loses its end marker line.
  void CheckFiles(bool only_targets) {
    std::map<std::string, std::string> expected = before_;
    std::map<std::string, std::vector<const Name*>> appended;
    for (const Name& n : names_) {
      if (n.owner >= 0) appended[kUserDir + file_of_[n.name]].push_back(&n);
    }
    for (auto& [path, list] : appended) {
      std::sort(list.begin(), list.end(),
                [](auto* a, auto* b) { return a->name < b->name; });
      std::string& content = expected[path];
      const std::string marker = "######end of file######\n";
      if (const size_t at = content.find(marker); at != std::string::npos) {
        content.erase(at, marker.size());
      }
      if (!content.empty() && content.back() != '\n') content += '\n';
      for (const Name* n : list) content += n->name + "=" + n->value + "\n";
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
  std::map<std::string, std::string> before_;  // conf files by device path
  std::vector<Name> names_;
  std::map<std::string, std::string> file_of_;
  std::vector<std::vector<size_t>> owned_;  // by client: indexes in names_
  std::vector<long> serials_;               // by client
};

void Report(const char* phase, Tally t, double seconds_run) {
  std::sort(t.latency_ms.begin(), t.latency_ms.end());
  auto at = [&](double p) {
    return t.latency_ms.empty()
               ? 0
               : t.latency_ms[static_cast<size_t>(p * t.latency_ms.size())];
  };
  printf(
      "load: %s requests=%ld failures=%ld rps=%.0f p50_ms=%.2f p99_ms=%.2f\n",
      phase, t.requests, t.failures, t.requests / seconds_run, at(0.5),
      at(0.99));
}

TEST_F(LoadTest, MixedRequestsOnTwoThousandNames) {
  ASSERT_NO_FATAL_FAILURE(Begin(EnvInt("CMS_LOAD_CLIENTS", 200)));
  ASSERT_NO_FATAL_FAILURE(MakeNames(true, 2000));
  const int run_seconds = EnvInt("CMS_LOAD_SECONDS", 1);
  const milliseconds idle_window =
      getenv("CMS_LOAD_SECONDS") ? seconds(3) : seconds(1);
  const pid_t pid = sandbox_.pid();
  const IdleSample idle_before = SampleIdle(pid, idle_window);

  // After each run: time for the last write-back and for workers to go idle.
  const int warm_seconds = std::clamp(run_seconds / 3, 1, 10);
  const Tally warm = Run(seconds(warm_seconds));
  std::this_thread::sleep_for(seconds(1));
  const ProcStats after_warm = ReadProcStats(pid);
  const Tally run = Run(seconds(run_seconds));
  std::this_thread::sleep_for(seconds(1));
  const ProcStats after_run = ReadProcStats(pid);
  const IdleSample idle_after = SampleIdle(pid, idle_window);

  printf("load: clients=%d names=%zu warm-up=%ds run=%ds\n", clients_,
         names_.size(), warm_seconds, run_seconds);
  Report("warm-up", warm, warm_seconds);
  Report("run", run, run_seconds);
  printf("load: rss_kb warm-up=%ld run=%ld fds warm-up=%ld run=%ld\n",
         after_warm.rss_kb, after_run.rss_kb, after_warm.fds, after_run.fds);
  printf(
      "load: idle cpu before=%.2f%% after=%.2f%% other threads' wakeups/s "
      "after=%.0f\n",
      idle_before.cpu_share * 100, idle_after.cpu_share * 100,
      idle_after.other_wakeups);
  EXPECT_EQ(warm.failures, 0) << ::testing::PrintToString(warm.examples);
  EXPECT_EQ(run.failures, 0) << ::testing::PrintToString(run.examples);
  EXPECT_GT(run.requests, clients_);

  // The tick writes once the burst has settled; a forced write makes sure.
  auto r = sandbox_.Exchange(MakeFrame(16), kTimeout);
  ASSERT_TRUE(r && IsAllZero(*r));
  CheckFiles(false);
  EXPECT_EQ(after_run.fds, after_warm.fds);
  if (!kSanitizerBuild) {
    EXPECT_LE(std::labs(after_run.rss_kb - after_warm.rss_kb), 1024);
    // At most one more percent of a core than before, or two clock ticks
    // when the window is short.
    const double window = std::chrono::duration<double>(idle_window).count();
    EXPECT_LE(idle_after.cpu_share,
              idle_before.cpu_share +
                  std::max(0.01, 2 / (sysconf(_SC_CLK_TCK) * window)));
    // Only the loop thread wakes (for its tick): no worker, no accept.
    EXPECT_LT(idle_after.other_wakeups, 2.0);
  }
  ASSERT_TRUE(sandbox_.Running()) << sandbox_.Stderr();
}

class Concurrency : public LoadTest {};

TEST_F(Concurrency, ClientsTickWriteBacksAndSignalsTogether) {
  extras_ = true;
  ASSERT_NO_FATAL_FAILURE(Begin(12));
  ASSERT_NO_FATAL_FAILURE(MakeNames(false, 48));
  std::atomic<bool> done{false};
  int signals = 0;
  std::thread signaller([&] {
    // USR2 rewrites sysini.conf at once, USR1 and ALRM only announce.
    for (; !done; ++signals) {
      sandbox_.Signal(
          signals % 7 == 6 ? SIGUSR2 : (signals % 2 == 0 ? SIGUSR1 : SIGALRM));
      std::this_thread::sleep_for(milliseconds(7));
    }
  });
  const Tally run = Run(seconds(3));
  done = true;
  signaller.join();
  // A report ends the daemon at once; its output says why.
  ASSERT_TRUE(sandbox_.Running()) << sandbox_.Stderr();
  EXPECT_EQ(run.failures, 0) << ::testing::PrintToString(run.examples);
  EXPECT_GT(run.requests, clients_ * 10);
  printf("concurrency: clients=%d requests=%ld signals=%d\n", clients_,
         run.requests, signals);

  // SIGTERM writes back what is pending and exits with 0.
  ASSERT_TRUE(sandbox_.Signal(SIGTERM));
  EXPECT_EQ(sandbox_.WaitExit(seconds(30)), 0) << sandbox_.Stderr();
  EXPECT_EQ(sandbox_.Stderr().find("ThreadSanitizer"), std::string::npos)
      << sandbox_.Stderr();
  CheckFiles(true);
}

}  // namespace
}  // namespace cms::testing
