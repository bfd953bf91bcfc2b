#include "daemons/systemd_units.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "base/last_error.h"
#include "base/process.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "systemd_units";

// systemd's own test for "booted with systemd" (sd_booted(3)).
constexpr char kBootedMark[] = "/run/systemd/system";
constexpr const char* kUnitDirs[] = {"/etc/systemd/system", "/lib/systemd/system",
                                     "/usr/lib/systemd/system"};
constexpr const char* kSystemctls[] = {"/usr/bin/systemctl", "/bin/systemctl"};

bool IsDir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string SystemctlPath() {
  for (const char* path : kSystemctls) {
    if (IsFile(path)) return path;
  }
  return kSystemctls[0];
}

// systemctl ARGS...; its output when `output` is given.
bool Systemctl(std::vector<std::string> args, std::string* output = nullptr) {
  args.insert(args.begin(), SystemctlPath());
  std::string text;
  if (base::RunCaptured(args, &text) == 0) {
    if (output != nullptr) *output = text;
    return true;
  }
  std::string command;
  for (const std::string& arg : args) command += (command.empty() ? "" : " ") + arg;
  KIVO_LOG(LOG_ERR, "%s failed: %s", command.c_str(), text.c_str());
  base::SetLastError(EIO);
  errno = EIO;
  return false;
}

}  // namespace

bool SupervisedBySystemd(const char* unit) {
  // A test build's root may be changed at run time; it never is the system's.
#ifdef KIVO_ROOT_FROM_ENV
  constexpr bool kTestBuild = true;
#else
  constexpr bool kTestBuild = false;
#endif
  const std::string root = Root();
  if (kTestBuild || !(root.empty() || root == "/") || !IsDir(kBootedMark)) return false;
  for (const char* dir : kUnitDirs) {
    if (IsFile(std::string(dir) + "/" + unit)) return true;
  }
  return false;
}

pid_t StartDaemonProcess(const char* unit, const std::vector<std::string>& argv,
                         const std::string& log_path) {
  if (!SupervisedBySystemd(unit)) {
    const pid_t pid = base::SpawnDetached(argv, log_path);  // logs its own failure
    return pid > 0 ? pid : 0;
  }
  // Enabled while it should run, so that it comes back at boot. The unit
  // file itself does not change, so the manager needs no reload.
  std::string text;
  if (!Systemctl({"enable", "--now", "--no-reload", unit}) ||
      !Systemctl({"show", "--property=MainPID", "--value", unit}, &text)) {
    return 0;
  }
  const long pid = strtol(text.c_str(), nullptr, 10);
  if (pid <= 0) {
    base::SetLastError(ESRCH);
    KIVO_LOG(LOG_WARNING, "%s started, but has no main process", unit);
    return 0;
  }
  return static_cast<pid_t>(pid);
}

bool SignalDaemon(const char* unit, pid_t pid, int signal) {
  if (!SupervisedBySystemd(unit)) {
    if (pid <= 0) {  // kill() would reach a whole process group
      errno = ESRCH;
      return false;
    }
    if (kill(pid, signal) == 0) return true;
    const int error = errno;
    base::SetLastError(error);
    errno = error;
    return false;
  }
  // A stop also covers a daemon that systemd is about to start again after
  // a crash; it returns once the daemon is gone.
  if (signal == SIGTERM || signal == SIGKILL) {
    return Systemctl({"disable", "--now", "--no-reload", unit});
  }
  return Systemctl({"reload", unit});
}

}  // namespace daemons
}  // namespace kivo
