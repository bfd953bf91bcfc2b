// What the platform's service operations do beyond their record in
// services.json and the journal: the WebDAV daemon (webdav/), its DNS-SD
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
