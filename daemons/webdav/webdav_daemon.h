// The WebDAV daemon: Apache httpd (event MPM) with mod_dav, run for one root.
//
// Owns its generated files under the root (var/lib/kivo/webdav/: httpd.conf,
// the password file, the listing folder, the lock database, a self-signed
// certificate; var/run/kivo/: pid, ports, runtime files; var/log/kivo/:
// webdav-*.log) and the one Apache process tree it starts, whose pid and
// command line its supervisor (supervisor.h) checks before it signals
// anything. It never writes the files it reads its settings from
// (webdav_config.h), nor the system's own Apache configuration. The daemons
// reached through it follow it as observers (webdav_observer.h).
//
// Errors as everywhere in daemons/ (supervisor.h). Each operation holds the
// root's WebDAV lock; observers are told after it is released.

#ifndef KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_
#define KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_

#include <sys/types.h>

#include <vector>

#include "daemons/webdav/webdav_config.h"

namespace kivo {
namespace daemons {

// Daemon control. A failure's log carries Apache's own words; the
// observers are told afterwards either way. Start on a running daemon
// reloads it; restart and reload with neither variant enabled stop it;
// reload of a stopped daemon does nothing.
bool WebDAVDaemonStart();
bool WebDAVDaemonStop();
bool WebDAVDaemonRestart();
bool WebDAVDaemonReload();

// The pid of this root's running daemon, or 0; its ports as last started.
pid_t WebDAVDaemonPid();
std::vector<int> WebDAVDaemonPorts();

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_WEBDAV_WEBDAV_DAEMON_H_
