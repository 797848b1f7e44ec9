// callback_support.cc - notifications and parameter reads for the callbacks.
#include "events/callback_support.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/libmc.h"
#include "store/operations.h"

namespace cms::events {

void NotifyNow(int event) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger(event);
  mc_ipc_close();
}

void NotifyArg(int event, int arg) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger_arg(event, arg);
  mc_ipc_close();
}

void NotifyDelay(int event, int delay_ms) {
  if (mc_ipc_flag() == 0) return;
  mc_trigger_delay(event, delay_ms);
  mc_ipc_close();
}

std::string UserValue(const char* name, size_t capacity) {
  // GetParamValue answers in a shared buffer: copy before the next read.
  const char* v = store::GetParamValue(name, store::kModeGetUser);
  if (v == nullptr) return {};
  return std::string(v, strnlen(v, capacity));
}

bool UserValueIs(const char* name, std::string_view text) {
  const char* v = store::GetParamValue(name, store::kModeGetUser);
  return v != nullptr && text == v;
}

int DecimalValue(const char* text) {
  if (text == nullptr) return 0;
  const long n = strtol(text, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

std::string_view SubjectName(const void* subject) {
  if (subject == nullptr) return {};
  const auto* record = static_cast<const store::ParamRecord*>(subject);
  return std::string_view(record->name,
                          strnlen(record->name, sizeof record->name));
}

}  // namespace cms::events
