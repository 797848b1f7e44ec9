// history.cc - the change ring and the origin of the changes on each thread.
#include "store/history.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "store/param_record.h"

namespace cms::store::history {
namespace {

std::mutex g_ring_lock;
std::unique_ptr<Record[]> g_ring;
size_t g_capacity = 0;
uint64_t g_next = 1;
uint64_t g_boot = 0;

thread_local int32_t t_pid = 0;
thread_local const char* t_label = nullptr;
thread_local uint32_t t_peer = 0;

int64_t NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch())
      .count();
}

// Process names by pid, kept for a second: a burst of changes from one
// client reads /proc once, and a pid taken over by another process is seen
// again soon after.
struct CommEntry {
  int32_t pid;
  int64_t read_at_us;
  char comm[kCommSize];
};
constexpr size_t kCommCacheSize = 64;
constexpr int64_t kCommLifetimeUs = 1000000;
std::mutex g_comm_lock;
CommEntry g_comm_cache[kCommCacheSize];

// The requester's process name. Read from the host's /proc, not through the
// sandbox root: a root tree holds configuration, not processes, and the pid
// names a process of the kernel this daemon runs on.
void LookUpComm(int32_t pid, char* out) {
  out[0] = '\0';
  if (pid <= 0) return;
  const int64_t now = NowMicros();
  CommEntry& entry = g_comm_cache[static_cast<size_t>(pid) % kCommCacheSize];
  {
    std::lock_guard lock(g_comm_lock);
    if (entry.pid == pid && now - entry.read_at_us < kCommLifetimeUs) {
      memcpy(out, entry.comm, kCommSize);
      return;
    }
  }
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/comm", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t n = read(fd, out, kCommSize - 1);
    close(fd);
    size_t len = n > 0 ? static_cast<size_t>(n) : 0;
    if (len > 0 && out[len - 1] == '\n') --len;
    out[len] = '\0';
  }
  std::lock_guard lock(g_comm_lock);
  entry.pid = pid;
  entry.read_at_us = now;
  memcpy(entry.comm, out, kCommSize);
}

// The empty-value marker is a value that is empty.
ValueState Keep(const char* value, bool secret, char* out) {
  out[0] = '\0';
  if (value == nullptr) return ValueState::kNone;
  if (secret) return ValueState::kSecret;
  if (strcmp(value, kEmptyValueMarker) == 0) return ValueState::kWhole;
  const size_t len = strnlen(value, kSlotValueSize);
  if (len < kSlotValueSize) {
    memcpy(out, value, len + 1);
    return ValueState::kWhole;
  }
  memcpy(out, value, kSlotValueSize - 1);
  out[kSlotValueSize - 1] = '\0';
  return ValueState::kCut;
}

void CopyText(char* out, size_t size, const char* text) {
  const size_t len = text != nullptr ? strnlen(text, size - 1) : 0;
  if (len > 0) memcpy(out, text, len);
  out[len] = '\0';
}

}  // namespace

void Configure(size_t capacity) {
  std::lock_guard lock(g_ring_lock);
  g_ring.reset(capacity > 0 ? new Record[capacity] : nullptr);
  g_capacity = capacity;
  g_next = 1;
  g_boot = static_cast<uint64_t>(NowMicros());
}

bool IsSecretName(const char* name) {
  if (name == nullptr) return false;
  for (const char* word : {"password", "passwd", "psk", "secret", "key"}) {
    if (strcasestr(name, word) != nullptr) return true;
  }
  return false;
}

void Note(Op op, const char* name, Side side, const char* old_value,
          const char* new_value) {
  // The capacity changes only at start-up, before other threads exist.
  if (g_capacity == 0) return;
  char comm[kCommSize];
  LookUpComm(t_pid, comm);
  const bool secret = IsSecretName(name);
  const int64_t now = NowMicros();
  std::lock_guard lock(g_ring_lock);
  const uint64_t seq = g_next++;
  Record& r = g_ring[seq % g_capacity];
  r.seq = seq;
  r.time_us = now;
  r.pid = t_pid;
  r.op = op;
  r.side = side;
  CopyText(r.name, sizeof r.name, name);
  r.old_state = Keep(old_value, secret, r.old_value);
  r.new_state = Keep(new_value, secret, r.new_value);
  memcpy(r.comm, comm, kCommSize);
  CopyText(r.label, sizeof r.label, t_label);
  r.peer[0] = '\0';
  if (t_peer != 0) {
    in_addr addr{t_peer};
    inet_ntop(AF_INET, &addr, r.peer, sizeof r.peer);
  }
}

size_t ReadPage(uint64_t from, Record* out, size_t max, PageInfo* info) {
  std::lock_guard lock(g_ring_lock);
  const uint64_t held = g_next - 1 < g_capacity ? g_next - 1 : g_capacity;
  info->oldest = g_next - held;
  info->next = g_next;
  info->boot = g_boot;
  size_t n = 0;
  for (uint64_t seq = from < info->oldest ? info->oldest : from;
       seq < g_next && n < max; ++seq) {
    out[n++] = g_ring[seq % g_capacity];
  }
  return n;
}

RequestScope::RequestScope(int32_t pid) : saved_pid_(t_pid) { t_pid = pid; }
RequestScope::~RequestScope() { t_pid = saved_pid_; }

LabelScope::LabelScope(const char* label) : saved_(t_label) { t_label = label; }
LabelScope::~LabelScope() { t_label = saved_; }

void SetConnectionPeer(uint32_t address) { t_peer = address; }

}  // namespace cms::store::history
