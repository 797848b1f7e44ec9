// callback_support.h - pieces shared by the callbacks that act on the device:
// user-side values read as bounded text or as numbers, and the parameter name
// a callback runs for. (Notifications and ParamIs: notify_callbacks.h.)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "store/param_record.h"

namespace cms::events {

// The user-side value of `name` as an owned copy, cut to `capacity`
// characters; empty when the parameter is missing, has no user-side value or
// holds the empty-value marker.
std::string UserValue(const char* name,
                      size_t capacity = store::kMaxValueLength);

// Decimal conversion as device code reads status numbers: leading blanks and
// a sign are accepted, text that is not a number reads as 0, values beyond
// the range of int are clamped. Null reads as 0.
int DecimalValue(const char* text);

// The name of the parameter a callback runs for (its record starts with the
// name); empty for a null subject.
std::string_view SubjectName(const void* subject);

}  // namespace cms::events
