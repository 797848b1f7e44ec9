// cmd_queue.cc - the command-value queue: first in, first out per name.
#include "core/cmd_queue.h"

#include <cstdlib>
#include <cstring>

#include "conffiles/field_file.h"
#include "store/file_tables.h"

namespace cms::core {

support::list_t CmdList;

namespace {

using store::ParamRecord;

char popCmdBuffer[store::kValueSize];

ParamRecord* At(int pos) {
  return static_cast<ParamRecord*>(support::list_get_at(&CmdList, pos));
}

// Position of the oldest element of `name`, or -1. Newer elements sit at
// lower positions, so the search runs from the end.
int FindOldest(const char* name) {
  for (int i = static_cast<int>(support::list_size(&CmdList)) - 1; i >= 0;
       --i) {
    if (strcmp(At(i)->name, name) == 0) return i;
  }
  return -1;
}

}  // namespace

void initCmdList() { support::list_init(&CmdList); }

void pushCmdElement(ParamRecord* element) {
  if (support::list_prepend(&CmdList, element) != 1) {
    // The list could not take it; it is still ours to free.
    conffiles::efree(element->userValue);
    free(element);
  }
}

ParamRecord* getLastCmdElement(const char* name) {
  const int pos = FindOldest(name);
  return pos < 0 ? nullptr : At(pos);
}

void popCmdElement(const char* name) {
  const int pos = FindOldest(name);
  if (pos >= 0) support::list_delete_at(&CmdList, pos);
}

int PushCmdValue(const char* name, const char* value) {
  if (name == nullptr) name = "";
  if (value == nullptr) value = "";
  auto* element = static_cast<ParamRecord*>(calloc(1, sizeof(ParamRecord)));
  if (element == nullptr) return 0;
  const char* text = value[0] == '\0' ? store::kEmptyValueMarker : value;
  strncpy(element->name, name, store::kMaxNameLength);
  element->ispLocation = -1;
  element->userLocation =
      store::LocationAdd(store::kTempUserFile, store::kUserTable);
  // A full table leaves the element without a file; nothing is marked then.
  if (element->userLocation >= 0) store::UFL[element->userLocation].dirty = 1;
  const size_t len = strlen(text);
  element->userValue = static_cast<char*>(conffiles::emalloc(len + 1));
  if (element->userValue == nullptr) {
    // Acknowledging a value that was not kept would lose it silently.
    free(element);
    return 0;
  }
  memcpy(element->userValue, text, len + 1);
  element->userChanged = 1;
  pushCmdElement(element);
  return 1;
}

char* PopCmdValue(const char* name) {
  memset(popCmdBuffer, 0, sizeof popCmdBuffer);
  if (name == nullptr) return nullptr;
  ParamRecord* element = getLastCmdElement(name);
  if (element == nullptr) return nullptr;
  char* result = nullptr;
  if (element->userValue != nullptr &&
      strcmp(element->userValue, store::kEmptyValueMarker) != 0) {
    strncpy(popCmdBuffer, element->userValue, store::kMaxValueLength);
    result = popCmdBuffer;
  }
  // An empty queued value is consumed all the same.
  conffiles::efree(element->userValue);
  element->userValue = nullptr;
  popCmdElement(name);
  return result;
}

void ResetCmdList() {
  for (int i = 0; i < static_cast<int>(support::list_size(&CmdList)); ++i) {
    conffiles::efree(At(i)->userValue);
  }
  // Without the copy flag clear leaves the elements alone; delete frees them.
  while (support::list_size(&CmdList) > 0) {
    support::list_delete_at(&CmdList,
                            static_cast<int>(support::list_size(&CmdList)) - 1);
  }
  memset(popCmdBuffer, 0, sizeof popCmdBuffer);
}

}  // namespace cms::core
