// process_state.h - the daemon's process-wide state, put back for each test
// and each fuzz input, and the sandbox root set for one scope.
#pragma once

#include <string>
#include <string_view>

namespace cms::testing {

// Every process-wide object of the daemon as a freshly started process has
// it: an empty parameter list and file tables, no store hooks, no queued
// commands, zeroed write-back counters and statistics, the history off, the
// debug level 0, the real file writer, no pending write-back retry. The root is not among
// them: ScopedRoot puts it back.
void ResetProcessState();

// Sets the sandbox root for its lifetime and restores the previous one,
// also when an assertion ends the test early.
class ScopedRoot {
 public:
  explicit ScopedRoot(std::string_view root);
  ~ScopedRoot();
  ScopedRoot(const ScopedRoot&) = delete;
  ScopedRoot& operator=(const ScopedRoot&) = delete;

 private:
  std::string previous_;
};

}  // namespace cms::testing
