// write_back.h - rewrites every dirty configuration file.
#pragma once

namespace cms::store {

// Rewrites the files marked dirty in UFL and IFL and runs the phase-1
// parameter callbacks and the file callbacks. Caller holds ParamListLock.
// The result is the number of files copied into place (a rebuilt file whose
// content did not change is not copied); it is not a status.
int writeParamToFile();

// A file whose read or write failed (full or read-only file system, no
// descriptors) stays dirty and its records stay marked. TakeDeferredWrite is
// true once when the retry of such a file is due: a back-off from 50 ms
// doubling to 5 s, so that a file that keeps failing costs no busy loop; the
// caller arranges another write-back then. Caller holds ParamListLock.
bool TakeDeferredWrite();

// Forgets a scheduled retry and the files known to fail (for tests).
void ResetWriteBackRetry();

}  // namespace cms::store
