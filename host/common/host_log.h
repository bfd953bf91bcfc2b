// Diagnostics of the host program: one line on stderr per event, prefixed
// with the program's name. The module's own lines go to syslog, which the
// program opens with LOG_PERROR so that they show on stderr as well.

#ifndef KIVO_HOST_HOST_LOG_H_
#define KIVO_HOST_HOST_LOG_H_

#include <cstdio>

#define HOST_LOG(fmt, ...) std::fprintf(stderr, "kivo-webapi: " fmt "\n", ##__VA_ARGS__)

#endif  // KIVO_HOST_HOST_LOG_H_
