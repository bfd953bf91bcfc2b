// The CalDAV daemon behind the WebDAV daemon's proxy: the section the WebDAV
// daemon's configuration carries while CalDAV is switched on, and the step
// that puts the CalDAV daemon where it belongs after the WebDAV daemon
// changed. service_effects.h calls it after every operation on the WebDAV
// daemon, so that the CalDAV daemon runs exactly while CalDAV is switched on
// and the WebDAV daemon runs. Nothing here calls the WebDAV daemon.
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

// The port a WebDAV daemon configuration text (`webdav_conf`) proxies
// /caldav/ to; 0 when it carries no proxy section.
int ProxiedCalDAVPort(const std::string& webdav_conf);

// `webdav_running`: whether the WebDAV daemon runs after the operation.
// Starts or stops the CalDAV daemon; false when it could not be put in the
// state it belongs in.
bool AfterWebDAVDaemonChange(bool webdav_running);

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_CALDAV_CALDAV_PROXY_H_
