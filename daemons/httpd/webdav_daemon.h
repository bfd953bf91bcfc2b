// The WebDAV daemon: Apache httpd (event MPM) with mod_dav, run for one root.
//
// Owns its generated files under the root (var/lib/kivo/webdav/: httpd.conf,
// the password file, the listing folder, the lock database, a self-signed
// certificate; var/run/kivo/: pid, ports, runtime files; var/log/kivo/:
// webdav-*.log) and the one Apache process tree it starts, whose pid and
// command line its supervisor (supervisor.h) checks before it signals
// anything. It never writes the files it reads its settings from
// (webdav_config.h), nor the system's own Apache configuration. The CalDAV
// daemon behind it is put in step by service_effects.h, never from here.
//
// Errors as everywhere in daemons/ (supervisor.h). Each operation holds the
// root's WebDAV lock.

#ifndef KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_
#define KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "daemons/httpd/webdav_config.h"

namespace kivo {
namespace daemons {

// Daemon control. A failure's log carries Apache's own words. Start and
// restart of a running daemon reload it (Apache's graceful restart: no
// connection is cut, a transfer under way finishes on its old worker);
// restart and reload with neither variant enabled stop it; reload of a
// stopped daemon does nothing. `behind`: the
// server-level section of the daemons behind this one (the CalDAV proxy),
// written into the configuration as it is.
bool WebDAVDaemonStart(const std::string& behind);
bool WebDAVDaemonStop();
bool WebDAVDaemonRestart(const std::string& behind);
bool WebDAVDaemonReload(const std::string& behind);

// The pid of this root's running daemon, or 0; its ports as last started.
pid_t WebDAVDaemonPid();
std::vector<int> WebDAVDaemonPorts();

// The configuration text this root's daemon was last started or reloaded
// with; "" when none was written.
std::string WebDAVDaemonConf();

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_
