// proc_stats.h - what /proc tells about a running daemon: resident memory,
// descriptors, threads, CPU time and wakeups, for tests that watch it.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace cms::testing {

struct ProcStats {
  long rss_kb = 0;
  int fds = 0;
  int threads = 0;
  double cpu_seconds = 0;   // user + system, all threads
  long main_switches = 0;   // context switches of the main thread
  long other_switches = 0;  // of every other thread alive now
};

namespace proc_detail {

inline long StatusField(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() &&
        line[key.size()] == ':') {
      return std::stol(line.substr(key.size() + 1));
    }
  }
  return 0;
}

inline int CountEntries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

inline long Switches(const std::string& status_path) {
  return StatusField(status_path, "voluntary_ctxt_switches") +
         StatusField(status_path, "nonvoluntary_ctxt_switches");
}

}  // namespace proc_detail

inline ProcStats ReadProcStats(pid_t pid) {
  using namespace proc_detail;
  const std::string base = "/proc/" + std::to_string(pid);
  ProcStats s;
  s.rss_kb = StatusField(base + "/status", "VmRSS");
  s.threads = static_cast<int>(StatusField(base + "/status", "Threads"));
  s.fds = CountEntries(base + "/fd");
  std::ifstream stat_file(base + "/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
  const size_t paren = stat.rfind(')');
  if (paren != std::string::npos) {
    // After the name: field 3 (state) onwards; utime and stime are 14, 15.
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stoull(field);
    }
    s.cpu_seconds = static_cast<double>(ticks) / sysconf(_SC_CLK_TCK);
  }
  if (DIR* d = opendir((base + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const long n = Switches(base + "/task/" + e->d_name + "/status");
      if (std::to_string(pid) == e->d_name) {
        s.main_switches = n;
      } else {
        s.other_switches += n;
      }
    }
    closedir(d);
  }
  return s;
}

// CPU and wakeups of a daemon left alone for `window`.
struct ProcSample {
  double cpu_share = 0;  // of one core
  double wakeups_per_second = 0;
  double other_wakeups_per_second = 0;  // threads other than the main one
};

inline ProcSample SampleIdle(pid_t pid, std::chrono::milliseconds window) {
  const ProcStats a = ReadProcStats(pid);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(window);
  const ProcStats b = ReadProcStats(pid);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  ProcSample s;
  s.cpu_share = (b.cpu_seconds - a.cpu_seconds) / secs;
  const long main = b.main_switches - a.main_switches;
  // Threads that ended in the window take their counts with them.
  const long other = std::max(0L, b.other_switches - a.other_switches);
  s.wakeups_per_second = static_cast<double>(main + other) / secs;
  s.other_wakeups_per_second = static_cast<double>(other) / secs;
  return s;
}

}  // namespace cms::testing
