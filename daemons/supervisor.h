// The supervisor: how the platform runs one daemon of a root, whichever it
// is. It owns the daemon's pid file and the lock that serialises the
// daemon's operations across processes, recognises the daemon by its command
// line (its configuration file's path, which only this root's daemon names,
// so that a reused pid is never taken for it), stops it with grace (SIGTERM,
// a wait, SIGKILL) and waits until it is ready. Where systemd runs the
// daemon (systemd_units.h), its signals go through the unit.
//
// The daemons room (daemons/) answers errors one way: a bool says whether a
// call did what it says (a pid, port or count of 0 where a number is
// answered); a failure is logged once, where it is found (KIVO_LOG), and its
// errno, or an errno-like code of ours, recorded with SetLastError.
//
// Thread-compatible: a Supervisor holds constants only; the lock serialises
// the operations of all threads and processes on one root.

#ifndef KIVO_DAEMONS_SUPERVISOR_H_
#define KIVO_DAEMONS_SUPERVISOR_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/last_error.h"
#include "base/root_files.h"
#include "kivo/kivo_paths.h"

namespace kivo {
namespace daemons {

// What the supervisor knows of one daemon. Paths are the system's; the
// root goes in front of them at every use (it may change between calls).
struct DaemonSpec {
  const char* name;         // for log lines: "WebDAV daemon"
  const char* unit;         // its systemd unit
  const char* pid_file;     // the daemon's pid, as the daemon or we wrote it
  const char* lock_file;    // held for the whole of each operation
  const char* config_file;  // an argument of the daemon's command line
  int stop_grace_millis;    // waited after SIGTERM, and again after SIGKILL
};

class Supervisor {
 public:
  explicit constexpr Supervisor(const DaemonSpec& spec) : spec_(spec) {}

  std::string PidPath() const;
  std::string ConfigPath() const;

  // Whether systemd runs the daemon under its unit.
  bool Supervised() const;

  // The pid the pid file names, or 0 (no file, not a pid).
  pid_t PidFromFile() const;

  // True when `pid` runs (zombies do not count) with the daemon's
  // configuration on its command line.
  bool IsOurs(pid_t pid) const;

  // The pid file's process while it is ours, else 0.
  pid_t RunningPid() const;

  bool WritePidFile(pid_t pid) const;
  bool RemovePidFile() const;  // a missing file is removed already

  // Sends `signal` to the daemon, through its unit when supervised
  // (SignalDaemon). False with errno set.
  bool Signal(pid_t pid, int signal) const;

  // Stops `pid` (0: what systemd runs under the unit, if anything): SIGTERM,
  // up to the grace for it to end, then SIGKILL and up to the grace again.
  // What it left in its process group goes too. True once it is gone.
  bool Stop(pid_t pid) const;

  // Polls `ready` until it holds, for up to `millis`. False when it never
  // did, or as soon as `pid` (when > 0) has ended.
  template <typename Ready>
  bool WaitUntil(pid_t pid, int millis, Ready ready) const;

  // Runs `body` (answering bool) with the daemon's lock held: one operation
  // at a time per root, so that two starts never race for the daemon's ports
  // and pid file. An exception escaping `body` is recorded, and a failure.
  template <typename Body>
  bool Locked(Body body) const;

 private:
  static constexpr int kPollMillis = 20;

  static bool Alive(pid_t pid);
  static void Pause();

  DaemonSpec spec_;
};

// True when each of `ports` is listened on (`listening`), or none is,
// where a connection to `address` ("" for loopback) would arrive. Read from
// the kernel's tables (PortListening): a daemon awaited this way never meets
// the probes as clients.
bool AllListening(const std::string& address, const std::vector<int>& ports, bool listening);

// Makes the folder `path` (and, 0755, the folders above it) and gives it
// `mode`, whatever it had before.
bool MakeDaemonDir(const std::string& path, mode_t mode);

template <typename Ready>
bool Supervisor::WaitUntil(pid_t pid, int millis, Ready ready) const {
  for (int waited = 0; waited < millis; waited += kPollMillis) {
    if (ready()) return true;
    if (pid > 0 && !Alive(pid)) return false;
    Pause();
  }
  return false;
}

template <typename Body>
bool Supervisor::Locked(Body body) const {
  base::FileLock lock(RootedPath(spec_.lock_file));  // logs its own failure
  if (!lock.locked()) return false;
  return base::Guarded(false, body);
}

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_SUPERVISOR_H_
