// Whether systemd runs one of the platform's daemons, and the few calls the
// platform makes to it then.
//
// The package installs one unit per daemon (kivo-webdav.service,
// kivo-caldav.service). In the system's own root on a machine booted with
// systemd the platform starts, stops and reloads a daemon through its unit,
// so that systemd restarts a daemon that crashed and starts it again at
// boot; it still writes the daemon's configuration itself before each of
// these, and still judges the daemon by its pid file and ports. Anywhere
// else (a development or test root, a machine without systemd, a system
// without the package's units) the platform runs the process itself.
//
// Thread-compatible: each call runs systemctl to completion. Errors as
// everywhere in daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_SYSTEMD_UNITS_H_
#define KIVO_DAEMONS_SYSTEMD_UNITS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivo {
namespace daemons {

constexpr char kWebDAVUnit[] = "kivo-webdav.service";
constexpr char kCalDAVUnit[] = "kivo-caldav.service";

// True when systemd runs `unit`'s daemon: the system's root, a build whose
// root is compiled in, systemd as the machine's init, the unit installed.
bool SupervisedBySystemd(const char* unit);

// Starts the daemon `unit` runs: `systemctl enable --now` when supervised
// (so it comes back at boot), otherwise `argv` detached with its output
// appended to `log_path` (SpawnDetached). The daemon's pid, or 0.
pid_t StartDaemonProcess(const char* unit, const std::vector<std::string>& argv,
                         const std::string& log_path);

// Stops (`signal` SIGTERM or SIGKILL: `systemctl disable --now`, which
// waits) or reloads (any other signal: `systemctl reload`, the unit sending
// that same signal) the daemon `unit` runs; unsupervised, sends `signal` to
// `pid`. False with errno set (a failed systemctl logged).
bool SignalDaemon(const char* unit, pid_t pid, int signal);

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_SYSTEMD_UNITS_H_
