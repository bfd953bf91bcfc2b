// Diagnostics of every C++ room (module, base, platform, daemons, host): one
// syslog(3) line per event, "<unit>:<line> <message>", at the priority that
// says what the event means to an operator:
//   LOG_ERR      a failure that loses a change or refuses service
//   LOG_WARNING  a refused or suspicious request, a file found unsafe
//   LOG_NOTICE   a change made (settings set, a calendar made or removed)
//   LOG_INFO     the rest an operator may want (a fallback taken)
//   LOG_DEBUG    detail for the developer
// Each source file names its unit in kLogUnit. syslog(3) is thread-safe; the
// host opens it with LOG_PERROR, so that its lines show on stderr too.

#ifndef KIVO_LOG_H_
#define KIVO_LOG_H_

#include <syslog.h>

#define KIVO_LOG(level, fmt, ...) KIVO_LOG_AT(level, kLogUnit, __LINE__, fmt, ##__VA_ARGS__)

// For a shared helper that logs on behalf of its caller: the caller's unit
// and line, so that the line points into the file that asked.
#define KIVO_LOG_AT(level, unit, line, fmt, ...) \
  syslog(level, "%s:%d " fmt, unit, line, ##__VA_ARGS__)

#endif  // KIVO_LOG_H_
