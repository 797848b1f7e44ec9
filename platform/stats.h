// stats.h - the daemon's run-time counters. Every site adds with one call;
// the counters are relaxed atomics, so counting never waits for a lock and
// a reader sees each counter as it stood at some moment, not all of them at
// the same moment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace cms::platform::stats {

inline constexpr int kCommandSlots = 64;  // codes 0 to 63; others share one

// A request served, by its command code and the status it was answered with.
void CountRequest(int cmd, int status);

// Counts a connection while it is served (and the peak of them at once).
class ConnectionScope {
 public:
  ConnectionScope();
  ~ConnectionScope();
  ConnectionScope(const ConnectionScope&) = delete;
  ConnectionScope& operator=(const ConnectionScope&) = delete;
};

// One run of the write-back over the file tables.
void CountWriteBack();
// A configuration file replaced by its rewritten text of `bytes` bytes.
void CountFileWritten(size_t bytes);
// A rewritten file that came out identical and was not copied.
void CountNoOpWrite();
// A message-center datagram; `result` is the send's (0 sent, else failed),
// returned unchanged.
int CountDatagram(int result);

// Times one device command from construction to destruction.
class CommandTimer {
 public:
  CommandTimer();
  ~CommandTimer();
  CommandTimer(const CommandTimer&) = delete;
  CommandTimer& operator=(const CommandTimer&) = delete;

 private:
  int64_t start_ns_;
};

// Every counter back to 0 (for tests).
void Reset();

// Milliseconds since the process started.
int64_t UptimeMillis();

// The counters as "name value" lines, then the lines of `extra` (what only
// the caller knows: parameters, files, files dirty now).
std::string Report(const std::string& extra);

}  // namespace cms::platform::stats
