// loader.h - reads the configuration tree under /mnt/jffs2/conf at start.
#pragma once

namespace cms::store {

// Loads every selected file of the tree into ParamList, recording files in
// UFL/IFL. Returns 1.
int initParamFile();

}  // namespace cms::store
