// The WebDAV daemon: Apache httpd with mod_dav and mpm-itk, run for one root.
//
// Owns its generated files under the root (var/lib/kivo/webdav/: httpd.conf,
// the password file, the listing folder, the lock database, a self-signed
// certificate; var/run/kivo/: pid, ports, runtime files; var/log/kivo/:
// webdav-*.log) and the one Apache process tree it starts, whose pid and
// command line it checks before it signals anything. It never writes the
// files it reads its settings from (webdav_config.h), nor the system's own
// Apache configuration.

#ifndef KIVO_PLATFORM_WEBDAV_DAEMON_H_
#define KIVO_PLATFORM_WEBDAV_DAEMON_H_

#include <sys/types.h>

#include <vector>

#include "platform/webdav_config.h"

namespace kivo {

// Daemon control. Each returns 0 or -1 (logged, Apache's own words included)
// and tells the CalDAV side afterwards. Start on a running daemon reloads it;
// restart and reload with neither variant enabled stop it; reload of a
// stopped daemon does nothing.
int WebDAVDaemonStart();
int WebDAVDaemonStop();
int WebDAVDaemonRestart();
int WebDAVDaemonReload();

// The pid of this root's running daemon, or 0; its ports as last started.
pid_t WebDAVDaemonPid();
std::vector<int> WebDAVDaemonPorts();

}  // namespace kivo

#endif  // KIVO_PLATFORM_WEBDAV_DAEMON_H_
