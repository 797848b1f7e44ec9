// cmd_queue.h - values handed from one client to another, filed under names
// and taken back oldest first.
#pragma once

#include "store/param_record.h"
#include "support/list.h"

namespace cms::core {

// Elements are malloc'd ParamRecords that belong to the list; the newest sits
// at position 0. Touched only with ParamListLock held.
extern support::list_t CmdList;

// Creates the empty queue (start-up).
void initCmdList();

// Takes ownership of a malloc'd element and files it as the newest.
void pushCmdElement(store::ParamRecord* element);
// The oldest element named `name` (exact comparison), or null.
store::ParamRecord* getLastCmdElement(const char* name);
// Removes and frees the oldest element named `name`; nothing when none.
void popCmdElement(const char* name);

// Queues `value` under `name` (the empty text as the empty-value marker) and
// marks the XCFGtemp.conf entry dirty. 1 when queued; 0 only when memory ran
// out.
int PushCmdValue(const char* name, const char* value);
// Takes the oldest value queued under `name`. The text lives in a shared
// buffer until the next pop; null when nothing is queued or the value taken
// was empty.
char* PopCmdValue(const char* name);

// For tests: frees every element and its value.
void ResetCmdList();

}  // namespace cms::core
