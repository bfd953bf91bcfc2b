// The last platform error of the calling thread.
//
// Operations that fail record an error number (errno of the failing step, or
// an errno-like code of our own) so that a caller can ask KLIBCErrGet() why
// the last call failed. The record is per thread: the host serves calls on
// several threads at once.

#ifndef KIVO_BASE_LAST_ERROR_H_
#define KIVO_BASE_LAST_ERROR_H_

namespace kivo::base {

// Records `error` as the calling thread's last platform error.
void SetLastError(int error);

// The calling thread's last recorded error (0: none yet).
int LastError();

// Runs `body`; an exception escaping it (allocation failure, a JSON value of
// an unexpected type) is recorded and turned into `failure`, because the
// platform's callers expect results, never exceptions.
template <typename T, typename Body>
T Guarded(T failure, Body body) noexcept;

}  // namespace kivo::base

#include "base/last_error_inl.h"

#endif  // KIVO_BASE_LAST_ERROR_H_
