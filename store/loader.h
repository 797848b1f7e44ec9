// loader.h - reads the configuration tree under /mnt/jffs2/conf at start.
#pragma once

struct stat;

namespace cms::store {

// Loads every selected file of the tree into ParamList, recording files in
// UFL/IFL. Returns 1.
int initParamFile();

// Loads one entry of the walk: `path` is a device path, `type` the walk's
// entry type (0 for a regular file). Returns 0 to go on, 1 when a selected
// file cannot be opened (the walk stops there). Outside initParamFile each
// new name is inserted and the list sorted at once.
int walkConfFile(const char* path, const struct stat* status, int type);

}  // namespace cms::store
