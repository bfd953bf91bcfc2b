// Inline part of last_error.h.

#ifndef KIVO_BASE_LAST_ERROR_INL_H_
#define KIVO_BASE_LAST_ERROR_INL_H_

#include <errno.h>

#include <exception>
#include <new>

#include "kivo/log.h"

namespace kivo::base {

template <typename T, typename Body>
T Guarded(T failure, Body body) noexcept {
  static constexpr char kLogUnit[] = "libkivo";
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(ENOMEM);
    KIVO_LOG(LOG_ERR, "out of memory");
  } catch (const std::exception& e) {
    SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "unexpected failure: %s", e.what());
  } catch (...) {
    SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "unexpected failure");
  }
  return failure;
}

}  // namespace kivo::base

#endif  // KIVO_BASE_LAST_ERROR_INL_H_
