// file_tables.h - the two fixed tables of configuration files (user, ISP).
#pragma once

#include <cstdint>

#include "store/param_record.h"

namespace cms::store {

inline constexpr int kFileTableSize = 256;
inline constexpr int kUserTable = 1;
inline constexpr int kIspTable = 2;
inline constexpr char kFreeEntry[] = "No-Dir";
// The configuration tree: every file the store loads lies below it.
inline constexpr char kConfRoot[] = "/mnt/jffs2/conf";
// Directories of each side's files, with their final '/'.
inline constexpr char kUserDir[] = "/mnt/jffs2/conf/user/";
inline constexpr char kIspDir[] = "/mnt/jffs2/conf/isp/user/";
inline constexpr char kTempUserFile[] = "/mnt/jffs2/conf/user/XCFGtemp.conf";

struct ConfigLocation {
  char path[kNameSize];  // device path, at most 63 characters; "No-Dir" free
  int32_t dirty;
  ChangeCallback callback;
};

extern ConfigLocation UFL[kFileTableSize];
extern ConfigLocation IFL[kFileTableSize];

// Every entry: "No-Dir", not dirty, no callback.
void initialConfigLocationArray();

// Index of `path` in table 1 (UFL) or 2 (IFL), taking a free entry for a new
// path; -1 for another selector, a full table, or a path longer than 63
// characters (refused rather than matched on a prefix, so that two files can
// never share an entry).
int LocationAdd(const char* path, int table);

// The table of a selector, or null.
ConfigLocation* FileTable(int table);

}  // namespace cms::store
