// Where the WebDAV daemon's life meets the CalDAV daemon's. The WebDAV
// daemon's configuration carries the CalDAV proxy section while CalDAV is
// switched on, and the platform's service operations call
// AfterWebDAVDaemonChange after every start, stop, restart or reload of the
// WebDAV daemon, so that the CalDAV daemon runs exactly while CalDAV is
// switched on and the WebDAV daemon runs.

#ifndef KIVO_PLATFORM_DAEMON_HOOKS_H_
#define KIVO_PLATFORM_DAEMON_HOOKS_H_

#include <string>

namespace platform {

// Apache directives, valid at server level, that route `/caldav/` and
// `/.well-known/caldav` to the CalDAV daemon; "" while CalDAV is off.
std::string CalDAVProxySection();

// `webdav_running`: whether the WebDAV daemon runs after the operation.
// When the CalDAV daemon had to start on another port than the one the
// running WebDAV daemon's configuration proxies to, reloads the WebDAV
// daemon once. False with a message in *error when the CalDAV daemon could
// not be put in the state it belongs in.
bool AfterWebDAVDaemonChange(bool webdav_running, std::string* error);

}  // namespace platform

#endif  // KIVO_PLATFORM_DAEMON_HOOKS_H_
