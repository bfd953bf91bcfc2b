// The CalDAV daemon behind the WebDAV daemon's proxy. As libkivo loads,
// this unit registers an observer with the WebDAV daemon
// (webdav_observer.h): the WebDAV daemon's configuration carries the CalDAV
// proxy section while CalDAV is switched on, and after every start, stop,
// restart or reload of the WebDAV daemon AfterWebDAVDaemonChange runs, so
// that the CalDAV daemon runs exactly while CalDAV is switched on and the
// WebDAV daemon runs. The WebDAV side never names the CalDAV side.
//
// Errors as everywhere in daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_CALDAV_CALDAV_PROXY_H_
#define KIVO_DAEMONS_CALDAV_CALDAV_PROXY_H_

#include <string>

namespace kivo {
namespace daemons {

// Apache directives, valid at server level, that route `/caldav/` and
// `/.well-known/caldav` to the CalDAV daemon; "" while CalDAV is off.
std::string CalDAVProxySection();

// `webdav_running`: whether the WebDAV daemon runs after the operation.
// When the CalDAV daemon had to start on another port than the one the
// running WebDAV daemon's configuration proxies to, reloads the WebDAV
// daemon once. False when the CalDAV daemon could not be put in the state
// it belongs in.
bool AfterWebDAVDaemonChange(bool webdav_running);

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_CALDAV_CALDAV_PROXY_H_
