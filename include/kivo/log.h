// Diagnostics of the module: one syslog(3) line at error priority per event,
// "<unit>:<line> <message>". Each source file names its unit in kLogUnit.

#ifndef KIVO_LOG_H_
#define KIVO_LOG_H_

#include <syslog.h>

#define KIVO_LOG(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, kLogUnit, __LINE__, ##__VA_ARGS__)

#endif  // KIVO_LOG_H_
