// startup.h - the store's start-up order: everything between an empty
// process and a store that answers requests with its callbacks attached.
#pragma once

namespace cms::core {

// Reads the configuration tree below the root into the store and makes it
// ready, in the one order that works: the file for parameters without a
// file of their own, the empty list, command queue and file tables, the
// removal of copies a power loss cut short, the tree (its findings logged
// as warnings), the boot-loader and device values, the hook table and the
// callbacks by name and by file, and the write-back counters. The caller
// holds nothing; no request may be served before it returns.
void StartStore();

}  // namespace cms::core
