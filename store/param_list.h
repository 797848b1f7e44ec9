// param_list.h - the sorted parameter list and its lock.
#pragma once

#include <cstdint>

#include "store/param_record.h"
#include "support/list.h"

namespace cms::store {

// All records, unique names, ascending strcmp order whenever a lookup runs.
// The list keeps its own copy of every record handed to addElement.
extern support::list_t ParamList;
// Common-library mutex handle; -1 until initParamList creates it.
extern int32_t ParamListLock;

void initParamList();
// The stored record named `name`, or null. Looked up by hash, so it holds
// between an append and the sort that follows.
ParamRecord* seekElement(const char* name);
// Appends a copy; callers sort right after.
int addElement(const ParamRecord* record);
// Adds a copy for a name not yet in the list, without a sort: lookups find
// it at once, and it takes its place in name order when a walk over
// positions begins (CheckListLength, sortParamList). 1, or -1 when memory ran
// out.
int insertElement(const ParamRecord* record);
int sortParamList();
// The number of records. Records added by insertElement take their places
// first, so a walk that reads the length before each list_get_at sees every
// record in name order.
int CheckListLength();
// 1 when a record of that name was removed (its value texts are not freed).
int DeleteFromList(const ParamRecord* record);

// For tests: frees every record and its values and empties the list; the
// lock handle is kept.
void ResetParamList();

// RAII holder of ParamListLock.
class ParamListGuard {
 public:
  ParamListGuard();
  ~ParamListGuard();
  ParamListGuard(const ParamListGuard&) = delete;
  ParamListGuard& operator=(const ParamListGuard&) = delete;
};

}  // namespace cms::store
