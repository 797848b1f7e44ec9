// process_state.h - the daemon's process-wide state, put back for each test
// and each fuzz input, and the sandbox root set for one scope.
#pragma once

#include <string>
#include <string_view>

namespace cms::testing {

// Every process-wide object of the daemon as a fresh process has it (lists,
// file tables, hooks, queues, counters, history, debug level, file writer,
// write-back retry); not the root, which ScopedRoot puts back.
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
