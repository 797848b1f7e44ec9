// cmd_queue.h - values handed from one client to another, filed under names
// and taken back oldest first.
#pragma once

#include <cstddef>

#include "store/param_record.h"

namespace cms::core {

// At most this many values wait at once, over all names; a push beyond it is
// refused. With values cut to 799 characters and names to 63, a full queue
// holds about 4 MiB.
inline constexpr size_t kCmdQueueLimit = 4096;

// Creates the empty queue (start-up).
void initCmdList();

// Takes ownership of a malloc'd element (its userValue from emalloc) and
// files it as the newest of its name; 0, with the element freed, when the
// queue is full or memory ran out.
int pushCmdElement(store::ParamRecord* element);
// The oldest element named `name` (exact comparison), or null.
store::ParamRecord* getLastCmdElement(const char* name);
// Removes and frees the oldest element named `name`; nothing when none.
void popCmdElement(const char* name);

// Queues `value` (cut to 799 characters; the empty text as the empty-value
// marker) under `name` and marks the XCFGtemp.conf entry dirty. 1 when
// queued; 0 when the queue is full or memory ran out.
int PushCmdValue(const char* name, const char* value);
// Takes the oldest value queued under `name`. The text lives in a shared
// buffer until the next pop; null when nothing is queued or the value taken
// was empty.
char* PopCmdValue(const char* name);

// Values queued, over all names.
size_t CmdQueueSize();

// For tests: frees every element and its value.
void ResetCmdList();

}  // namespace cms::core
