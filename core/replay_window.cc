// replay_window.cc - remembers admitted sealed requests within the freshness
// window; a floor that only rises keeps every forgotten one refused.
#include "core/replay_window.h"

#include <algorithm>
#include <cstring>

namespace cms::core {

ReplayWindow::ReplayWindow(int64_t start_ms, size_t capacity)
    : capacity_(capacity), floor_ms_(start_ms) {}

void ReplayWindow::DropOldest() {
  floor_ms_ = std::max(floor_ms_, seen_.begin()->first);
  seen_.erase(seen_.begin());
}

bool ReplayWindow::Admit(const unsigned char (&id)[16], int64_t sealed_ms,
                         int64_t now_ms) {
  std::lock_guard lock(mu_);
  Id key;
  memcpy(&key.first, id, 8);
  memcpy(&key.second, id + 8, 8);
  if (sealed_ms == 0) {
    // Clients that seal without a time keep being served, so the stamp is
    // not forced on them; for them a replay is caught only while its id is
    // remembered.
    if (!unstamped_.insert(key).second) return false;
    unstamped_order_.push_back(key);
    if (unstamped_order_.size() > capacity_) {
      unstamped_.erase(unstamped_order_.front());
      unstamped_order_.pop_front();
    }
    return true;
  }
  // Entries older than the window would be refused as stale anyway; the
  // floor keeps them refused even if the clock is set back.
  while (!seen_.empty() && seen_.begin()->first < now_ms - kSealFreshnessMs) {
    DropOldest();
  }
  if (sealed_ms <= floor_ms_ || sealed_ms < now_ms - kSealFreshnessMs ||
      sealed_ms > now_ms + kSealFreshnessMs) {
    return false;
  }
  const Entry entry{sealed_ms, key};
  if (seen_.contains(entry)) return false;
  // Full: forgetting the oldest raises the floor past it, so memory stays
  // bounded and nothing forgotten can come back.
  if (seen_.size() >= capacity_) DropOldest();
  if (sealed_ms <= floor_ms_) return false;
  seen_.insert(entry);
  return true;
}

}  // namespace cms::core
