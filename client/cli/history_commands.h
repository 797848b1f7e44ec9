// history_commands.h - the cms subcommands that read the daemon's change
// history and statistics: log, watch, stats. Parsing stays with the caller.
#pragma once

#include <cstdint>
#include <string>

namespace cms::cli {

struct LogOptions {
  long count = -1;      // the last so many matching records; -1: all
  uint64_t since = 0;   // first record number; 0: the oldest held
  std::string pattern;  // shell pattern on the name; empty: all
  bool json = false;
};

struct WatchOptions {
  bool has_since = false;
  uint64_t since = 0;
  std::string state_file;  // where the last number seen is kept
  std::string pattern;
  bool json = false;
  int interval_ms = 200;
};

// Exit statuses as cms uses them: 0 done, 2 the daemon cannot be reached.
int ShowLog(const LogOptions& options);
// Runs until SIGINT or SIGTERM.
int Watch(const WatchOptions& options);
int ShowStats(bool json);

}  // namespace cms::cli
