#include "platform/last_error.h"

#include "kivo/kivo_platform.h"

namespace kivo {
namespace {
thread_local int tls_last_error = 0;
}  // namespace

void SetLastError(int error) { tls_last_error = error; }

}  // namespace kivo

extern "C" int KLIBCErrGet(void) { return kivo::tls_last_error; }
