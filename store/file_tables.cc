// file_tables.cc - user-side and ISP-side configuration file tables.
#include "store/file_tables.h"

#include <cstring>
#include <initializer_list>

namespace cms::store {

ConfigLocation UFL[kFileTableSize];
ConfigLocation IFL[kFileTableSize];

void initialConfigLocationArray() {
  for (ConfigLocation* table : {UFL, IFL}) {
    for (int i = 0; i < kFileTableSize; ++i) {
      memset(table[i].path, 0, sizeof table[i].path);
      strcpy(table[i].path, kFreeEntry);
      table[i].dirty = 0;
      table[i].callback = nullptr;
    }
  }
}

ConfigLocation* FileTable(int table) {
  if (table == kUserTable) return UFL;
  if (table == kIspTable) return IFL;
  return nullptr;
}

int LocationAdd(const char* path, int table) {
  ConfigLocation* t = FileTable(table);
  if (t == nullptr || path == nullptr || strlen(path) > kMaxNameLength) {
    return -1;
  }
  for (int i = 0; i < kFileTableSize; ++i) {
    if (strncmp(t[i].path, path, kNameSize) == 0) return i;
  }
  for (int i = 0; i < kFileTableSize; ++i) {
    if (strcmp(t[i].path, kFreeEntry) == 0) {
      memset(t[i].path, 0, sizeof t[i].path);
      strncpy(t[i].path, path, kMaxNameLength);
      return i;
    }
  }
  return -1;
}

}  // namespace cms::store
