// write_back.h - rewrites every dirty configuration file.
#pragma once

namespace cms::store {

// Rewrites the files marked dirty in UFL and IFL and runs the phase-1
// parameter callbacks and the file callbacks. Caller holds ParamListLock.
// The result is the number of files copied into place (a rebuilt file whose
// content did not change is not copied); it is not a status.
int writeParamToFile();

}  // namespace cms::store
