// log.h - the daemon's diagnostic lines: syslog, and standard error on demand.
#pragma once

#include <syslog.h>  // the priorities LogLine and CMS_DBG take

#include <atomic>
#include <cstdio>
#include <cstdint>

namespace cms {

// Non-zero: every module writes its "[CMS_DBG]" lines. Read without the
// parameter-list lock, hence atomic.
extern std::atomic<int32_t> cms_debug_mode;

namespace platform {

// With --log-stderr every syslog line is also written to standard error.
void SetLogToStderr(bool on);

// Sends one line to syslog at `priority` (and to stderr when enabled).
void LogLine(int priority, const char* text);

// Reports that the system call (or the work) `call` failed with `err`: the
// line perror prints, "CALL: <strerror(err)>", on standard error, or on
// standard output for the file layer, which prints its lines there. The one
// way a failure of the system is reported.
void ReportFailure(const char* call, int err, FILE* out = stderr);

// Formats "[CMS_DBG](line/module): " + fmt and logs it. Callers check
// cms_debug_mode first (the CMS_DBG macro does).
void DebugLine(int priority, int line, const char* module, const char* fmt,
               ...) __attribute__((format(printf, 4, 5)));

}  // namespace platform
}  // namespace cms

// Debug line in the daemon's form, written only in debug mode.
#define CMS_DBG(priority, module, ...)                                    \
  do {                                                                    \
    if (::cms::cms_debug_mode.load(std::memory_order_relaxed) != 0)       \
      ::cms::platform::DebugLine((priority), __LINE__, (module), __VA_ARGS__); \
  } while (0)
