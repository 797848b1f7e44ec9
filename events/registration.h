// registration.h - attaches change callbacks to parameter and file names.
#pragma once

#include "store/param_record.h"

namespace cms::events {

// 1 when `name` is in the list and its slot now holds `callback`.
int RegParamCallback(const char* name, store::ChangeCallback callback);
// table 1 = UFL, 2 = IFL; matched by base name. 1 when an entry was found.
int RegFileCallback(const char* file_name, store::ChangeCallback callback,
                    int table);
// Replay the fixed tables; always 1.
int initParamEventReg();
int initFileEventReg();

}  // namespace cms::events
