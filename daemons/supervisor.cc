#include "daemons/supervisor.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/process.h"
#include "daemons/systemd_units.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "supervisor";

// Above every pid the kernel hands out (PID_MAX_LIMIT).
constexpr long kPidLimit = 4194304;

}  // namespace

std::string Supervisor::PidPath() const { return RootedPath(spec_.pid_file); }
std::string Supervisor::ConfigPath() const { return RootedPath(spec_.config_file); }

bool Supervisor::Supervised() const { return SupervisedBySystemd(spec_.unit); }

pid_t Supervisor::PidFromFile() const {
  std::string text;
  bool missing = false;  // no file is a stopped daemon, not an error
  if (!base::ReadWholeFile(PidPath(), &text, &missing) || missing) return 0;
  const long pid = strtol(text.c_str(), nullptr, 10);
  return pid > 0 && pid < kPidLimit ? static_cast<pid_t>(pid) : 0;
}

bool Supervisor::IsOurs(pid_t pid) const {
  return pid > 0 && base::ProcessAlive(pid) && base::CommandLineHas(pid, ConfigPath());
}

pid_t Supervisor::RunningPid() const {
  const pid_t pid = PidFromFile();
  return IsOurs(pid) ? pid : 0;
}

bool Supervisor::WritePidFile(pid_t pid) const {
  return base::ReplaceFile(PidPath(), std::to_string(pid) + "\n", 0644);
}

bool Supervisor::RemovePidFile() const {
  if (unlink(PidPath().c_str()) == 0 || errno == ENOENT) return true;
  base::SetLastError(errno);
  KIVO_LOG(LOG_ERR, "cannot remove %s: %s", PidPath().c_str(), strerror(errno));
  return false;
}

bool Supervisor::Signal(pid_t pid, int signal) const {
  return SignalDaemon(spec_.unit, pid, signal);
}

bool Supervisor::Stop(pid_t pid) const {
  if (pid <= 0 && !Supervised()) return true;
  // The daemon was started in a session of its own, so its process group
  // holds it and its children alone: a child its parent left behind, as
  // after a SIGKILL, goes with the group.
  const pid_t group = pid > 0 ? getpgid(pid) : -1;
  const auto gone = [&] { return !Alive(pid); };
  if (!Signal(pid, SIGTERM) && errno != ESRCH) {
    KIVO_LOG(LOG_ERR, "cannot stop the %s (pid %d): %s", spec_.name, static_cast<int>(pid),
             strerror(errno));
  }
  if (!WaitUntil(0, spec_.stop_grace_millis, gone)) {
    KIVO_LOG(LOG_WARNING, "the %s (pid %d) ignored SIGTERM; killing it", spec_.name,
             static_cast<int>(pid));
    Signal(pid, SIGKILL);
    WaitUntil(0, spec_.stop_grace_millis, gone);
  }
  if (group > 1 && group != getpgrp()) kill(-group, SIGKILL);
  if (Alive(pid)) {
    base::SetLastError(ETIMEDOUT);
    KIVO_LOG(LOG_ERR, "the %s (pid %d) does not end", spec_.name, static_cast<int>(pid));
    return false;
  }
  return true;
}

bool Supervisor::Alive(pid_t pid) { return base::ProcessAlive(pid); }

void Supervisor::Pause() { base::SleepMillis(kPollMillis); }

bool AllListening(const std::string& address, const std::vector<int>& ports, bool listening) {
  for (int port : ports) {
    if (base::PortListening(address, port) != listening) return false;
  }
  return true;
}

bool MakeDaemonDir(const std::string& path, mode_t mode) {
  if (!base::MakeParentDirs(path)) return false;
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "mkdir(%s) failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  if (chmod(path.c_str(), mode) != 0) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "chmod(%s) failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

}  // namespace daemons
}  // namespace kivo
