// load_test.cc - many concurrent clients (200 by default) on loopback with
// a mix of get, set, multi-get and multi-set over 2,000 names: every answer
// is checked, the files must end up holding exactly the last acknowledged
// values, the daemon's memory must not grow between a warm-up run and the
// real one, and once idle it must cost no more than its tick.
//
// CMS_LOAD_SECONDS sets the length of the measured run (without it a short
// run of one second, with short idle measurements), CMS_LOAD_CLIENTS
// (default 200) the number of clients. The figures go to standard output as
// "load:" lines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/proc_stats.h"
#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr int kTotalNames = 2000;
// Created names go to example files that have no file callback, so that a
// write-back of them runs no device command.
constexpr const char* kTargetFiles[] = {
    "lan.conf",  "time.conf",       "web.conf",    "ipv6.conf",
    "ippt.conf", "lte_status.conf", "sysini.conf", "xvoip_status.conf"};
constexpr char kUserDir[] = "/mnt/jffs2/conf/user/";
constexpr auto kTimeout = seconds(15);
// After a run: time for the last write-back and for workers to go idle.
constexpr auto kSettle = milliseconds(1000);
constexpr long kRssSlackKb = 1024;
// The tick wakes 50 times a second and does next to nothing; after the load
// the daemon may cost at most one more percent of a core than before it,
// or two clock ticks of CPU time when the window is short.
constexpr double kIdleCpuSlack = 0.01;
constexpr int kIdleCpuSlackTicks = 2;

int EnvInt(const char* name, int fallback) {
  const char* v = getenv(name);
  return v != nullptr && atoi(v) > 0 ? atoi(v) : fallback;
}

// The daemon under test is built like this test: with a sanitizer its
// memory is the sanitizer's to keep.
constexpr bool kSanitizerBuild =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

struct Name {
  std::string name;
  std::string value;      // current value; "" with `has_value` false
  bool has_value = true;  // false: get answers 7, a list "(null)"
  int owner = -1;         // client that writes it; -1 read only
};

struct Tally {
  long gets = 0, sets = 0, mgets = 0, msets = 0;
  long failures = 0;
  std::vector<std::string> examples;  // the first few failures
  std::vector<double> latency_ms;     // a sample
  void Fail(const std::string& what) {
    ++failures;
    if (examples.size() < 5) examples.push_back(what);
  }
  void Add(const Tally& o) {
    gets += o.gets;
    sets += o.sets;
    mgets += o.mgets;
    msets += o.msets;
    failures += o.failures;
    for (const std::string& e : o.examples) {
      if (examples.size() < 10) examples.push_back(e);
    }
    latency_ms.insert(latency_ms.end(), o.latency_ms.begin(),
                      o.latency_ms.end());
  }
  long Requests() const { return gets + sets + mgets + msets; }
};

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clients_ = EnvInt("CMS_LOAD_CLIENTS", 200);
    run_seconds_ = EnvInt("CMS_LOAD_SECONDS", 1);
    idle_window_ =
        getenv("CMS_LOAD_SECONDS") != nullptr ? seconds(3) : seconds(1);
    RaiseDescriptorLimit();
    ASSERT_TRUE(sandbox_.Start()) << sandbox_.Stderr();
    ASSERT_TRUE(Sandbox::WaitUntil(
        [&] { return sandbox_.FileExists("/tmp/cms_started"); }, seconds(20)));
  }

  // Every parameter the daemon holds, with its user-side value, from a
  // dump ("name='value'" lines).
  std::map<std::string, std::string> Dump() {
    auto r = sandbox_.Exchange(MakeFrame(37, {}, "/tmp/load_dump.txt"));
    EXPECT_TRUE(r && FrameStatus(*r) == kStatusOk);
    std::map<std::string, std::string> all;
    std::istringstream in(sandbox_.ReadFile("/tmp/load_dump.txt"));
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find("='");
      if (eq == std::string::npos || line.back() != '\'') continue;
      all[line.substr(0, eq)] = line.substr(eq + 2, line.size() - eq - 3);
    }
    return all;
  }

  // The names of the run: every parameter of the example tree (read only)
  // and created ones, added to the target files, up to kTotalNames.
  void MakeNames() {
    for (const auto& [name, value] : Dump()) {
      names_.push_back({name, value, !value.empty(), -1});
    }
    ASSERT_LT(names_.size(), static_cast<size_t>(kTotalNames));
    const int created = kTotalNames - static_cast<int>(names_.size());
    for (int i = 0; i < created; ++i) {
      char name[32];
      snprintf(name, sizeof name, "load_%04d", i);
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

  // Runs every client for `length`; returns the merged tally.
  Tally Run(Clock::duration length) {
    const Clock::time_point end = Clock::now() + length;
    std::vector<Tally> tallies(clients_);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients_; ++c) {
      threads.emplace_back(
          [this, c, end, &tallies] { Client(c, end, &tallies[c]); });
    }
    for (std::thread& t : threads) t.join();
    Tally all;
    for (const Tally& t : tallies) all.Add(t);
    return all;
  }

  // One client: 40% get, 30% set of an own name, 15% multi-get of five
  // names, 15% multi-set of two own names. Values it reads back of its own
  // names must be the ones it set last; values of read-only names never
  // change.
  void Client(int c, Clock::time_point end, Tally* tally) {
    std::mt19937 rng(static_cast<unsigned>(c) * 104729u + 17u);
    const std::vector<size_t>& own = owned_[c];
    auto pick_any = [&] { return &names_[rng() % names_.size()]; };
    auto pick_own = [&] { return &names_[own[rng() % own.size()]]; };
    // Values never repeat across runs: a set of the stored value fails.
    long& serial = serials_[c];
    auto expected = [&](const Name* n) -> std::optional<std::string> {
      // Someone else's created name changes under us: any value will do.
      if (n->owner >= 0 && n->owner != c) return std::nullopt;
      return n->has_value ? n->value : "(null)";
    };
    while (Clock::now() < end) {
      const int choice = static_cast<int>(rng() % 100);
      const Clock::time_point start = Clock::now();
      if (choice < 40 || own.empty()) {
        ++tally->gets;
        const Name* n = pick_any();
        auto r = sandbox_.Exchange(MakeFrame(1, n->name), kTimeout);
        const int32_t want = n->has_value ? kStatusOk : kStatusFailed;
        const std::optional<std::string> value = expected(n);
        if (!r || FrameStatus(*r) != want ||
            (want == kStatusOk && value && FrameValue(*r) != *value)) {
          tally->Fail("get " + n->name);
        }
      } else if (choice < 70) {
        ++tally->sets;
        Name* n = pick_own();
        const std::string v =
            "c" + std::to_string(c) + "_" + std::to_string(++serial);
        auto r = sandbox_.Exchange(MakeFrame(2, n->name, v), kTimeout);
        if (!r || FrameStatus(*r) != kStatusOk) {
          tally->Fail("set " + n->name);
        } else {
          n->value = v;
        }
      } else if (choice < 85) {
        ++tally->mgets;
        std::vector<const Name*> picked;
        std::vector<std::string> list;
        for (int i = 0; i < 5; ++i) {
          picked.push_back(i == 0 ? pick_own() : pick_any());
          list.push_back(picked.back()->name);
        }
        auto r = sandbox_.Exchange(MakeListFrame(36, list), kTimeout);
        bool ok = r && FrameStatus(*r) == kStatusOk;
        if (ok) {
          const std::vector<std::string> got = FrameList(*r);
          ok = got.size() == picked.size();
          for (size_t i = 0; ok && i < got.size(); ++i) {
            const std::optional<std::string> value = expected(picked[i]);
            ok = value ? got[i] == *value : got[i] != "(null)";
          }
        }
        if (!ok) tally->Fail("mget");
      } else {
        ++tally->msets;
        const size_t i = rng() % own.size();
        Name* a = &names_[own[i]];
        Name* b = &names_[own[(i + 1) % own.size()]];
        const std::string va =
            "m" + std::to_string(c) + "_" + std::to_string(++serial);
        const std::string vb =
            "m" + std::to_string(c) + "_" + std::to_string(++serial);
        auto r = sandbox_.Exchange(
            MakeListFrame(35, {a->name, va, b->name, vb}), kTimeout);
        if (!r || FrameStatus(*r) != kStatusOk) {
          tally->Fail("mset " + a->name + " " + b->name);
        } else {
          a->value = va;
          b->value = vb;
        }
      }
      if (tally->Requests() % 16 == 0) {
        tally->latency_ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start)
                .count());
      }
    }
  }

  // The content every configuration file must have now: as it was before
  // the run, the created names appended (in name order) with their last
  // acknowledged values.
  void CheckFiles(const std::map<std::string, std::string>& before) {
    std::map<std::string, std::string> expected = before;
    std::map<std::string, std::vector<const Name*>> appended;
    for (const Name& n : names_) {
      if (n.owner >= 0) appended[file_of_[n.name]].push_back(&n);
    }
    for (auto& [file, list] : appended) {
      std::sort(list.begin(), list.end(),
                [](const Name* a, const Name* b) { return a->name < b->name; });
      std::string& content = expected[std::string(kUserDir) + file];
      // A rewritten file loses the old end marker line.
      const std::string marker = "######end of file######\n";
      if (const size_t at = content.find(marker); at != std::string::npos) {
        content.erase(at, marker.size());
      }
      if (!content.empty() && content.back() != '\n') content += '\n';
      for (const Name* n : list) content += n->name + "=" + n->value + "\n";
    }
    for (const auto& [path, content] : expected) {
      EXPECT_EQ(sandbox_.ReadFile(path), content) << path;
    }
  }

  std::map<std::string, std::string> ConfFiles() const {
    std::map<std::string, std::string> files;
    const std::string conf = sandbox_.root().Host("/mnt/jffs2/conf");
    for (const auto& e : std::filesystem::recursive_directory_iterator(conf)) {
      if (!e.is_regular_file()) continue;
      const std::string device =
          e.path().string().substr(sandbox_.root().dir().size());
      files[device] = sandbox_.ReadFile(device);
    }
    return files;
  }

  static void RaiseDescriptorLimit() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
      lim.rlim_cur = lim.rlim_max;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
  }

  int clients_ = 0;
  int run_seconds_ = 0;
  milliseconds idle_window_{0};
  Sandbox sandbox_;
  std::vector<Name> names_;
  std::map<std::string, std::string> file_of_;
  std::vector<std::vector<size_t>> owned_;  // by client: indexes in names_
  std::vector<long> serials_;               // by client
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

void Report(const char* phase, const Tally& t, double seconds_run) {
  // A connect that finds the listen backlog full is retried by the kernel
  // after a second: those requests take about 1000 ms.
  const double slow = static_cast<double>(std::count_if(
                          t.latency_ms.begin(), t.latency_ms.end(),
                          [](double ms) { return ms >= 900; })) /
                      std::max<size_t>(1, t.latency_ms.size());
  printf(
      "load: %s requests=%ld (get %ld set %ld mget %ld mset %ld) "
      "failures=%ld rps=%.0f p50_ms=%.2f p99_ms=%.2f over_900ms=%.2f%%\n",
      phase, t.Requests(), t.gets, t.sets, t.mgets, t.msets, t.failures,
      t.Requests() / seconds_run, Percentile(t.latency_ms, 0.5),
      Percentile(t.latency_ms, 0.99), slow * 100);
}

TEST_F(LoadTest, MixedRequestsOnTwoThousandNames) {
  const std::map<std::string, std::string> before = ConfFiles();
  ASSERT_NO_FATAL_FAILURE(MakeNames());
  const pid_t pid = sandbox_.pid();
  const ProcSample idle_before = SampleIdle(pid, idle_window_);

  const int warm_seconds = std::clamp(run_seconds_ / 3, 1, 10);
  const Tally warm = Run(seconds(warm_seconds));
  std::this_thread::sleep_for(kSettle);
  const ProcStats after_warm = ReadProcStats(pid);

  const Tally run = Run(seconds(run_seconds_));
  std::this_thread::sleep_for(kSettle);
  const ProcStats after_run = ReadProcStats(pid);
  const ProcSample idle_after = SampleIdle(pid, idle_window_);

  printf("load: clients=%d names=%zu warm-up=%ds run=%ds\n", clients_,
         names_.size(), warm_seconds, run_seconds_);
  Report("warm-up", warm, warm_seconds);
  Report("run", run, run_seconds_);
  printf(
      "load: rss_kb warm-up=%ld run=%ld  fds warm-up=%d run=%d  threads "
      "warm-up=%d run=%d\n",
      after_warm.rss_kb, after_run.rss_kb, after_warm.fds, after_run.fds,
      after_warm.threads, after_run.threads);
  printf(
      "load: idle cpu before=%.2f%% after=%.2f%%  wakeups/s before=%.0f "
      "after=%.0f (other threads after=%.0f)\n",
      idle_before.cpu_share * 100, idle_after.cpu_share * 100,
      idle_before.wakeups_per_second, idle_after.wakeups_per_second,
      idle_after.other_wakeups_per_second);

  EXPECT_EQ(warm.failures, 0) << ::testing::PrintToString(warm.examples);
  EXPECT_EQ(run.failures, 0) << ::testing::PrintToString(run.examples);
  EXPECT_GT(run.Requests(), clients_);

  // The tick writes once the burst has settled; a forced write makes sure.
  auto r = sandbox_.Exchange(MakeFrame(16), kTimeout);
  ASSERT_TRUE(r && IsAllZero(*r));
  CheckFiles(before);

  EXPECT_EQ(after_run.fds, after_warm.fds);
  if (!kSanitizerBuild) {
    EXPECT_LE(std::labs(after_run.rss_kb - after_warm.rss_kb), kRssSlackKb);
    const double window = std::chrono::duration<double>(idle_window_).count();
    const double slack = std::max(
        kIdleCpuSlack, kIdleCpuSlackTicks / (sysconf(_SC_CLK_TCK) * window));
    EXPECT_LE(idle_after.cpu_share, idle_before.cpu_share + slack);
    // Only the loop thread wakes (for its tick): no worker, no accept.
    EXPECT_LT(idle_after.other_wakeups_per_second, 2.0);
  }
  ASSERT_TRUE(sandbox_.Running()) << sandbox_.Stderr();
}

}  // namespace
}  // namespace cms::testing
