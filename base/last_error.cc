#include "base/last_error.h"

namespace kivo::base {
namespace {
thread_local int tls_last_error = 0;
}  // namespace

void SetLastError(int error) { tls_last_error = error; }

int LastError() { return tls_last_error; }

}  // namespace kivo::base
