// param_list.cc - the sorted parameter list, its lookup and its lock.
#include "store/param_list.h"

#include <cstdlib>
#include <cstring>

#include "conffiles/field_file.h"
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

ParamRecord* At(int pos) {
  return static_cast<ParamRecord*>(support::list_get_at(&ParamList, pos));
}

}  // namespace

void initParamList() {
  support::list_init(&ParamList);
  support::list_attributes_seeker(&ParamList, ParamSeekFunction);
  support::list_attributes_comparator(&ParamList, mycomparator);
  support::list_attributes_copy(&ParamList, mymeter, 1);
  if (ParamListLock == -1) ParamListLock = CM_MutexCreate();
}

ParamRecord* seekElement(const char* key) {
  const int count = static_cast<int>(support::list_size(&ParamList));
  int lo = 0;
  int hi = count - 1;
  if (hi > 0) {
    do {
      const int mid = (lo + hi) / 2;
      ParamRecord* r = At(mid);
      const int c = strcmp(r->name, key);
      if (c == 0) return r;
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    } while (lo < hi);
  }
  ParamRecord* r = At(lo);
  if (r == nullptr) return nullptr;
  return strcmp(r->name, key) == 0 ? r : nullptr;
}

int addElement(const ParamRecord* record) {
  return support::list_append(&ParamList, record);
}

int sortParamList() { return support::list_sort(&ParamList, -1); }

int CheckListLength() {
  return static_cast<int>(support::list_size(&ParamList));
}

int DeleteFromList(const ParamRecord* record) {
  for (int i = CheckListLength() - 1; i >= 0; --i) {
    if (strcmp(At(i)->name, record->name) == 0) {
      support::list_delete_at(&ParamList, i);
      return 1;
    }
  }
  return 0;
}

void ResetParamList() {
  for (int i = 0; i < CheckListLength(); ++i) {
    ParamRecord* r = At(i);
    conffiles::efree(r->userValue);
    conffiles::efree(r->ispValue);
  }
  support::list_clear(&ParamList);
}

ParamListGuard::ParamListGuard() { CM_MutexWait(ParamListLock); }
ParamListGuard::~ParamListGuard() { CM_MutexRelease(ParamListLock); }

}  // namespace cms::store
