// stats.cc - the counters behind "cms stats".
#include "platform/stats.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>


namespace cms::platform::stats {
namespace {

using Counter = std::atomic<uint64_t>;
constexpr auto kRelaxed = std::memory_order_relaxed;

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const int64_t g_started_ns = NowNanos();
Counter g_by_command[kCommandSlots + 1];
Counter g_status_ok, g_status_fail, g_status_none;
std::atomic<int64_t> g_connections{0};
std::atomic<int64_t> g_connections_peak{0};
Counter g_write_backs, g_files_written, g_file_bytes, g_noop_writes;
std::atomic<int64_t> g_last_write_back_ns{0};
Counter g_datagrams_sent, g_datagrams_failed;
Counter g_commands, g_command_ns;

// Resident set size in KiB from the kernel's view of this process.
long ResidentKiB() {
  FILE* f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  const int got = fscanf(f, "%ld %ld", &size, &resident);
  fclose(f);
  if (got != 2) return -1;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void Line(std::string* out, const char* name, long long value) {
  char text[96];
  snprintf(text, sizeof text, "%s %lld\n", name, value);
  *out += text;
}

}  // namespace

void Reset() {
  for (Counter* c : {&g_status_ok, &g_status_fail, &g_status_none, &g_write_backs,
                     &g_files_written, &g_file_bytes, &g_noop_writes,
                     &g_datagrams_sent, &g_datagrams_failed, &g_commands,
                     &g_command_ns}) {
    c->store(0, kRelaxed);
  }
  for (Counter& c : g_by_command) c.store(0, kRelaxed);
  for (auto* v : {&g_connections, &g_connections_peak, &g_last_write_back_ns})
    v->store(0, kRelaxed);
}

void CountRequest(int cmd, int status) {
  const int slot = cmd >= 0 && cmd < kCommandSlots ? cmd : kCommandSlots;
  g_by_command[slot].fetch_add(1, kRelaxed);
  Counter& by_result = status == 6   ? g_status_ok
                       : status == 7 ? g_status_fail
                                     : g_status_none;
  by_result.fetch_add(1, kRelaxed);
}

ConnectionScope::ConnectionScope() {
  const int64_t now = g_connections.fetch_add(1, kRelaxed) + 1;
  int64_t peak = g_connections_peak.load(kRelaxed);
  while (now > peak &&
         !g_connections_peak.compare_exchange_weak(peak, now, kRelaxed)) {
  }
}
ConnectionScope::~ConnectionScope() { g_connections.fetch_sub(1, kRelaxed); }

void CountWriteBack() {
  g_write_backs.fetch_add(1, kRelaxed);
  g_last_write_back_ns.store(NowNanos(), kRelaxed);
}

void CountFileWritten(size_t bytes) {
  g_files_written.fetch_add(1, kRelaxed);
  g_file_bytes.fetch_add(bytes, kRelaxed);
}

void CountNoOpWrite() { g_noop_writes.fetch_add(1, kRelaxed); }

int CountDatagram(int result) {
  (result == 0 ? g_datagrams_sent : g_datagrams_failed).fetch_add(1, kRelaxed);
  return result;
}

int64_t UptimeMillis() { return (NowNanos() - g_started_ns) / 1000000; }

CommandTimer::CommandTimer() : start_ns_(NowNanos()) {}
CommandTimer::~CommandTimer() {
  g_commands.fetch_add(1, kRelaxed);
  g_command_ns.fetch_add(static_cast<uint64_t>(NowNanos() - start_ns_),
                         kRelaxed);
}

std::string Report(const std::string& extra) {
  const int64_t now = NowNanos();
  std::string out;
  Line(&out, "uptime_s", (now - g_started_ns) / 1000000000);
  out += extra;
  for (int cmd = 0; cmd <= kCommandSlots; ++cmd) {
    const uint64_t n = g_by_command[cmd].load(kRelaxed);
    if (n == 0) continue;
    char name[32];
    if (cmd < kCommandSlots) {
      snprintf(name, sizeof name, "requests_cmd_%d", cmd);
    } else {
      snprintf(name, sizeof name, "requests_cmd_other");
    }
    Line(&out, name, static_cast<long long>(n));
  }
  Line(&out, "requests_ok", g_status_ok.load(kRelaxed));
  Line(&out, "requests_failed", g_status_fail.load(kRelaxed));
  Line(&out, "requests_no_status", g_status_none.load(kRelaxed));
  Line(&out, "connections_now", g_connections.load(kRelaxed));
  Line(&out, "connections_peak", g_connections_peak.load(kRelaxed));
  Line(&out, "write_backs", g_write_backs.load(kRelaxed));
  Line(&out, "files_written", g_files_written.load(kRelaxed));
  Line(&out, "file_bytes_written", g_file_bytes.load(kRelaxed));
  Line(&out, "noop_writes_skipped", g_noop_writes.load(kRelaxed));
  const int64_t last = g_last_write_back_ns.load(kRelaxed);
  Line(&out, "since_last_write_back_ms",
       last == 0 ? -1 : (now - last) / 1000000);
  Line(&out, "mc_datagrams_sent", g_datagrams_sent.load(kRelaxed));
  Line(&out, "mc_datagrams_failed", g_datagrams_failed.load(kRelaxed));
  Line(&out, "device_commands", g_commands.load(kRelaxed));
  Line(&out, "device_command_ms", g_command_ns.load(kRelaxed) / 1000000);
  Line(&out, "resident_kib", ResidentKiB());
  return out;
}

}  // namespace cms::platform::stats
