// log.cc - syslog with an optional copy on standard error.
#include "platform/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace cms {

std::atomic<int32_t> cms_debug_mode{0};

namespace platform {
namespace {
std::atomic<bool> g_log_stderr{false};
}  // namespace

void SetLogToStderr(bool on) { g_log_stderr.store(on); }

void LogLine(int priority, const char* text) {
  syslog(priority, "%s", text);
  if (g_log_stderr.load(std::memory_order_relaxed)) {
    const size_t len = strlen(text);
    // One fputs per line keeps lines of different threads whole.
    if (len > 0 && text[len - 1] == '\n') {
      fputs(text, stderr);
    } else {
      fprintf(stderr, "%s\n", text);
    }
  }
}

void ReportFailure(const char* call, int err, FILE* out) {
  char text[128];
  // GNU strerror_r: thread-safe, and its result may not be `text`.
  const char* why = strerror_r(err, text, sizeof text);
  // One call per line keeps lines of different threads whole.
  fprintf(out, "%s: %s\n", call, why);
  fflush(out);
}

void DebugLine(int priority, int line, const char* module, const char* fmt,
               ...) {
  char buf[1200];
  int n = snprintf(buf, sizeof buf, "[CMS_DBG](%d/%s): ", line, module);
  if (n < 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf + n, sizeof buf - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  LogLine(priority, buf);
}

}  // namespace platform
}  // namespace cms
