// The host's former diagnostics macro, now a line of kivo/log.h at error
// priority under the unit "kivo-webapi". New code uses KIVO_LOG with a level.

#ifndef KIVO_HOST_HOST_LOG_H_
#define KIVO_HOST_HOST_LOG_H_

#include "kivo/log.h"

#define HOST_LOG(fmt, ...) KIVO_LOG_AT(LOG_ERR, "kivo-webapi", __LINE__, fmt, ##__VA_ARGS__)

#endif  // KIVO_HOST_HOST_LOG_H_
