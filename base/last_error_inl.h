// Inline part of last_error.h.

#ifndef KIVO_BASE_LAST_ERROR_INL_H_
#define KIVO_BASE_LAST_ERROR_INL_H_

#include <errno.h>
#include <syslog.h>

#include <exception>
#include <new>

namespace kivo::base {

template <typename T, typename Body>
T Guarded(T failure, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(ENOMEM);
    syslog(LOG_ERR, "%s:%d out of memory", "libkivo", __LINE__);
  } catch (const std::exception& e) {
    SetLastError(EINVAL);
    syslog(LOG_ERR, "%s:%d unexpected failure: %s", "libkivo", __LINE__, e.what());
  } catch (...) {
    SetLastError(EINVAL);
    syslog(LOG_ERR, "%s:%d unexpected failure", "libkivo", __LINE__);
  }
  return failure;
}

}  // namespace kivo::base

#endif  // KIVO_BASE_LAST_ERROR_INL_H_
