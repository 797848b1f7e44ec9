// param_list.cc - the sorted parameter list, its lookup and its lock.
#include "store/param_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "files/field_file.h"
#include "platform/libcmc.h"

namespace cms::store {

support::list_t ParamList;
int32_t ParamListLock = -1;

namespace {

int mycomparator(const void* a, const void* b) {
  return strcmp(static_cast<const ParamRecord*>(a)->name,
                static_cast<const ParamRecord*>(b)->name);
}

int ParamSeekFunction(const void* record, const void* key) {
  if (record == nullptr) return 0;
  return strcmp(static_cast<const ParamRecord*>(record)->name,
                static_cast<const char*>(key)) == 0
             ? 1
             : 0;
}

size_t mymeter(const void*) { return sizeof(ParamRecord); }

// Every stored record by name, beside the sorted list: a lookup then costs
// the same however long the list is, where a binary search over records
// scattered in memory grew slower with each new name. Keys view the stored
// records' names, so an entry goes before its record does.
// Never destroyed, like ParamList itself: exit handlers registered before
// its first use may still reset the list.
std::unordered_map<std::string_view, ParamRecord*>& Index() {
  static auto& index = *new std::unordered_map<std::string_view, ParamRecord*>;
  return index;
}

// Indexes the record just stored at `pos`; on failure takes it out again.
int IndexStored(int pos) {
  auto* stored = static_cast<ParamRecord*>(support::list_get_at(&ParamList, pos));
  try {
    Index().emplace(stored->name, stored);
  } catch (const std::bad_alloc&) {
    support::list_delete_at(&ParamList, pos);
    return -1;
  }
  return 1;
}

ParamRecord* At(int pos) {
  return static_cast<ParamRecord*>(support::list_get_at(&ParamList, pos));
}

// Records added by insertElement and not yet in ParamList's order; they are
// in the index, so lookups find them meanwhile.
std::vector<ParamRecord*>& Pending() {
  static auto& pending = *new std::vector<ParamRecord*>;
  return pending;
}

// Brings the pending records into the list at their places. Cannot fail:
// insertElement reserved the room, and the merge falls back to a slower
// way without a buffer.
void FoldPending() {
  std::vector<ParamRecord*>& pending = Pending();
  if (pending.empty()) return;
  auto by_name = [](const void* a, const void* b) {
    return strcmp(static_cast<const ParamRecord*>(a)->name,
                  static_cast<const ParamRecord*>(b)->name) < 0;
  };
  std::sort(pending.begin(), pending.end(), by_name);
  std::vector<void*>& items = ParamList.items;
  const size_t sorted = items.size();
  items.insert(items.end(), pending.begin(), pending.end());
  std::inplace_merge(items.begin(), items.begin() + static_cast<long>(sorted),
                     items.end(), by_name);
  pending.clear();
}

}  // namespace

void initParamList() {
  support::list_init(&ParamList);
  Index().clear();
  Pending().clear();
  support::list_attributes_seeker(&ParamList, ParamSeekFunction);
  support::list_attributes_comparator(&ParamList, mycomparator);
  support::list_attributes_copy(&ParamList, mymeter, 1);
  if (ParamListLock == -1) ParamListLock = CM_MutexCreate();
}

ParamRecord* seekElement(const char* key) {
  const auto& index = Index();
  const auto it = index.find(key);
  return it == index.end() ? nullptr : it->second;
}

int addElement(const ParamRecord* record) {
  // Pending records go first, while the list is still in order.
  FoldPending();
  const int rc = support::list_append(&ParamList, record);
  if (rc != 1) return rc;
  return IndexStored(static_cast<int>(support::list_size(&ParamList)) - 1);
}

int insertElement(const ParamRecord* record) {
  // Kept aside in arrival order and folded into the sorted list when a walk
  // over positions begins: a sort, or even a shift of the whole list, per
  // new name made each add cost more as the list grew.
  std::vector<ParamRecord*>& pending = Pending();
  std::vector<void*>& items = ParamList.items;
  auto* stored = static_cast<ParamRecord*>(malloc(sizeof(ParamRecord)));
  if (stored == nullptr) return -1;
  memcpy(stored, record, sizeof(ParamRecord));
  try {
    // Room for the fold now, so that it cannot fail later.
    const size_t needed = items.size() + pending.size() + 1;
    if (items.capacity() < needed) items.reserve(2 * needed);
    pending.push_back(stored);
    try {
      Index().emplace(stored->name, stored);
    } catch (...) {
      pending.pop_back();
      throw;
    }
  } catch (const std::bad_alloc&) {
    free(stored);
    return -1;
  }
  return 1;
}

int sortParamList() {
  FoldPending();
  return support::list_sort(&ParamList, -1);
}

int CheckListLength() {
  FoldPending();
  return static_cast<int>(support::list_size(&ParamList));
}

int DeleteFromList(const ParamRecord* record) {
  FoldPending();
  const auto it = Index().find(record->name);
  if (it == Index().end()) return 0;
  std::vector<void*>& items = ParamList.items;
  const auto at = std::find(items.begin(), items.end(), it->second);
  Index().erase(it);
  support::list_delete_at(&ParamList, static_cast<int>(at - items.begin()));
  return 1;
}

void ResetParamList() {
  for (int i = 0; i < CheckListLength(); ++i) {
    ParamRecord* r = At(i);
    files::efree(r->userValue);
    files::efree(r->ispValue);
  }
  Index().clear();
  support::list_clear(&ParamList);
}

ParamListGuard::ParamListGuard() { CM_MutexWait(ParamListLock); }
ParamListGuard::~ParamListGuard() { CM_MutexRelease(ParamListLock); }

}  // namespace cms::store
