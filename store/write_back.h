// write_back.h - rewrites every dirty configuration file.
#pragma once

namespace cms::store {

// Rewrites the files marked dirty in UFL and IFL and runs the phase-1
// parameter callbacks and the file callbacks. Caller holds ParamListLock.
// The result carries no status.
int writeParamToFile();

}  // namespace cms::store
