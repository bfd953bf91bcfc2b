// The CalDAV daemon: Radicale from the distribution with the registry
// plug-ins (daemons/radicale/plugins), serving calendars and address books, run by the platform as
// its own daemon under the root and reached only through the WebDAV daemon's proxy.
//
// It listens on one loopback port, recorded under the root so that the
// WebDAV daemon's configuration can name it before the daemon starts. It
// runs as the system account "radicale" with CAP_SETUID and CAP_SETGID
// alone (why each is needed: daemons/radicale/plugins/kivo_identity.py), in a session
// of its own, detached from the process that started it. The account reads
// its configuration and the plug-ins itself, so the root and the program's
// folder must be searchable by it.
//
// Owns, under the root: var/lib/kivo/caldav/ (radicale.conf, port,
// door-token, the plug-in's ids.json, Radicale's own collections/ folder),
// var/lib/kivo/carddav/ (made by the plug-ins for the address books' ids.json),
// var/run/kivo/caldav.pid and caldav.lock, var/log/kivo/caldav.log. Never
// touches a calendar folder or the registry; never signals a process its
// supervisor (supervisor.h) cannot recognise as the daemon of this root.
// When it runs is the WebDAV daemon's life's to say (caldav_proxy.h).
//
// Errors as everywhere in daemons/ (supervisor.h); the details of a start
// that failed are in var/log/kivo/caldav.log.

#ifndef KIVO_DAEMONS_CALDAV_CALDAV_DAEMON_H_
#define KIVO_DAEMONS_CALDAV_CALDAV_DAEMON_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>

namespace kivo {
namespace daemons {

struct CalDAVDaemonState {
  bool running = false;
  pid_t pid = 0;  // 0 unless running
  int port = 0;   // the recorded port; 0 when none was ever recorded
};

// Whether CalDAV is switched on ("runCalDav" in kivoinfo.conf).
bool CalDAVSwitchedOn();

// Whether CardDAV is switched on ("runCardDav" in kivoinfo.conf): the same
// daemon serves the address books.
bool CardDAVSwitchedOn();

// The one rule of when the daemon belongs running: while CalDAV or CardDAV
// is switched on and the WebDAV daemon runs.
bool CalDAVDaemonWanted();

// What `kivo-webapi services` shows.
CalDAVDaemonState CalDAVDaemonStatus();

// The names the daemon's plug-ins keep for calendar folders in their URLs
// (their ids.json), by the folder's device and inode. False when the file
// cannot be read or holds no object (none named yet).
using CalDAVUrlNames = std::map<std::pair<dev_t, ino_t>, std::string>;
bool ReadCalDAVUrlNames(CalDAVUrlNames* names);

// The same for the address-book folders (var/lib/kivo/carddav/ids.json).
bool ReadCardDAVUrlNames(CalDAVUrlNames* names);

// The port the daemon listens on, or will: the recorded one while it is
// free or the daemon's own; otherwise a free loopback port, recorded. 0 when
// none could be had.
int CalDAVDaemonPort();

// The file of the secret the WebDAV daemon's proxy hands each verified
// login on with, below the root: root's, readable by the daemon's group,
// made when missing or unfit (random, 32 bytes as hex) and otherwise kept,
// so that a daemon that runs on and a proxy configured anew agree. "" when
// it cannot be made.
std::string CalDAVDoorTokenFile();

// Writes the configuration and starts the daemon unless it runs; returns
// once it listens.
bool StartCalDAVDaemon();

// Stops the daemon if it runs (SIGTERM, then SIGKILL after 5 s) and removes
// its pid file. Used by the switch and by `--stop-all`.
bool StopCalDAVDaemon();

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_CALDAV_CALDAV_DAEMON_H_
