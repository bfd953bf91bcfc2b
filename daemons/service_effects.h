// What the platform's service operations do beyond their record in
// services.json and the journal: the WebDAV daemon (webdav/) and the CalDAV
// daemon behind it (caldav/, put in step here after every operation on the
// WebDAV daemon), the WebDAV daemon's DNS-SD
// announcement files and the announcement daemon (avahi_files.h). The
// firewall reload (firewall.h) is KIVOFwRuleHup's.
//
// Each effect runs before its record is written, so the journal tells what
// has happened. Test builds run the effects only when KIVO_DAEMONS is "on",
// so suites that only look at the records start no daemon. Errors as
// everywhere in daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_SERVICE_EFFECTS_H_
#define KIVO_DAEMONS_SERVICE_EFFECTS_H_

#include <string>

namespace kivo {
namespace daemons {

enum class ServiceOp { kStart, kStop, kRestart, kReload };

// False in a test build unless KIVO_DAEMONS is "on".
bool EffectsWanted();

// Whether this process has left an effect on the WebDAV daemon undone (a
// start, stop, restart or reload) because effects are not wanted: the
// settings changed, and a daemon of this root never heard of it.
bool DaemonEffectsSkipped();

// `op` on the WebDAV daemon, then the CalDAV daemon put where it belongs:
// running exactly while the WebDAV daemon runs and CalDAV is switched on,
// on the port the WebDAV daemon proxies to (reloading the WebDAV daemon
// once when it had to move). Every operation on the WebDAV daemon goes
// through here. The result is the WebDAV daemon's; the CalDAV daemon's
// failures are logged.
bool WebDAVDaemonEffect(ServiceOp op);

// The second half of WebDAVDaemonEffect: `webdav_running` says whether the
// WebDAV daemon runs now. False, logged, when the CalDAV daemon could not be
// put where it belongs.
bool CalDAVFollowsWebDAV(bool webdav_running);

// The effect of `op` on `service`. Services without an effect of their own
// have it at once.
bool ServiceEffect(const std::string& service, ServiceOp op);

// A kivoinfo.conf key was written: the behaviour switches reach a running
// daemon at once (a failed reload is logged; the write stands).
void ConfValueChanged(const std::string& key);

// Whether `op` marks `service` running in services.json. A restart or reload
// of a WebDAV variant restarts the daemon without switching the variant on.
bool MarksRunning(const std::string& service, ServiceOp op);

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_SERVICE_EFFECTS_H_
