// replay_window.h - refuses a sealed request that was served before, or that
// was sealed too long ago to tell, in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <utility>

#include "client/cms_client.h"

namespace cms::core {

// How far the sealing time of a request may lie from the daemon's clock.
inline constexpr int64_t kSealFreshnessMs = CMS_SEALED_FRESHNESS_MS;

// The floor only rises: a clock set back by more than the window refuses
// sealed requests until it has caught up again, rather than let a request
// it has forgotten come back.
class ReplayWindow {
 public:
  // Requests sealed at or before `start_ms` (the daemon's start) are never
  // admitted: what was sent to an earlier run is not served again.
  explicit ReplayWindow(int64_t start_ms, size_t capacity = 4096);

  // True, and remembered, when the request identified by `id` (a digest of
  // its sealed bytes) and sealed at `sealed_ms` may be served at `now_ms`;
  // false when it is stale, from the future, or was admitted before.
  // `sealed_ms` 0 marks a client that does not stamp its requests: such a
  // request is refused while its id is among the last `capacity` unstamped
  // ones admitted.
  bool Admit(const unsigned char (&id)[16], int64_t sealed_ms, int64_t now_ms);

 private:
  using Id = std::pair<uint64_t, uint64_t>;
  using Entry = std::pair<int64_t, Id>;
  // Forgets the oldest entry; nothing sealed at or before it is admitted.
  void DropOldest();

  std::mutex mu_;
  const size_t capacity_;
  int64_t floor_ms_;        // admitted only when sealed after this
  std::set<Entry> seen_;    // admitted since, ordered by sealing time
  std::set<Id> unstamped_;  // the last unstamped ones admitted
  std::deque<Id> unstamped_order_;
};

}  // namespace cms::core
