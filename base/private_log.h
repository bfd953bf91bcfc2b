// Log files that only root and the administrators read.
//
// Every log the platform and its daemons write names users' paths, private
// homes included, so each is root's, of the group "administrators" (the
// root's etc/group; root's own group when there is none) and 0640, whoever
// made it first and whatever mode an older version left. Callers open a log
// through OpenPrivateLog, or call it once on a file another program (Apache)
// then opens for appending, which keeps owner and mode.
//
// Threading: no state; safe from any thread.

#ifndef KIVO_BASE_PRIVATE_LOG_H_
#define KIVO_BASE_PRIVATE_LOG_H_

#include <string>

namespace kivo::base {

// Opens `path` (made when missing) for appending, as described above: a
// descriptor, or -1 (errno tells) when it cannot be made private or is no
// regular file (a link is never followed). Logs nothing: the caller says
// which log failed.
int OpenPrivateLog(const std::string& path);

// OpenPrivateLog and close: true when `path` is a private log now.
bool MakePrivateLog(const std::string& path);

}  // namespace kivo::base

#endif  // KIVO_BASE_PRIVATE_LOG_H_
