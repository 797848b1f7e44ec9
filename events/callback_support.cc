// callback_support.cc - parameter reads for the device-behaviour callbacks.
#include "events/callback_support.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "store/operations.h"

namespace cms::events {

std::string UserValue(const char* name, size_t capacity) {
  // GetParamValue answers in a shared buffer: copy before the next read.
  const char* v = store::GetParamValue(name, store::kModeGetUser);
  if (v == nullptr) return {};
  return std::string(v, strnlen(v, capacity));
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
