// write_back.h - rewrites every dirty configuration file.
#pragma once

namespace cms::store {

// Rewrites the files marked dirty in UFL and IFL and runs the phase-1
// parameter callbacks and the file callbacks. Caller holds ParamListLock.
// The result is the number of files copied into place (a rebuilt file whose
// content did not change is not copied); it is not a status.
int writeParamToFile();

// True once after a writeParamToFile that had to leave a dirty file for later
// because it could not be opened for lack of descriptors or memory; the
// caller arranges another write-back soon. Caller holds ParamListLock.
bool TakeDeferredWrite();

}  // namespace cms::store
