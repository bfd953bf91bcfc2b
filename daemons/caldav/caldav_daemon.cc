#include "platform/caldav_daemon.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kivo/kivo_paths.h"
#include "kivo/log.h"
#include "platform/journal.h"
#include "platform/process.h"
#include "platform/root_files.h"
#include "platform/systemd_units.h"

#ifndef KIVO_CALDAV_PLUGIN_DIR
#define KIVO_CALDAV_PLUGIN_DIR ""
#endif

namespace platform {
namespace {

constexpr char kLogUnit[] = "caldav_daemon";

constexpr char kStateDir[] = "/var/lib/kivo/caldav";
constexpr char kConfigPath[] = "/var/lib/kivo/caldav/radicale.conf";
constexpr char kPortPath[] = "/var/lib/kivo/caldav/port";
constexpr char kCollectionsDir[] = "/var/lib/kivo/caldav/collections";
constexpr char kPidPath[] = "/var/run/kivo/caldav.pid";
constexpr char kLockPath[] = "/var/run/kivo/caldav.lock";
constexpr char kLogPath[] = "/var/log/kivo/caldav.log";

// Debian's interpreter (the one Radicale is installed for), and the tool
// that drops to the daemon's account with only the two capabilities.
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kSetpriv[] = "/usr/bin/setpriv";
constexpr char kAccount[] = "radicale";
constexpr char kPluginFile[] = "kivo_storage.py";

constexpr int kStartWaitMs = 10000;
// The daemon ends within 3 s of SIGTERM (daemons/caldav/radicale/kivo_server.py gives
// the requests under way 2.5 s); SIGKILL is for one that hangs.
constexpr int kStopWaitMs = 5000;
constexpr int kPollMs = 25;

std::string Rooted(const char* path) { return kivo::RootedPath(path); }

bool Fail(std::string* error, const std::string& message) {
  KIVO_LOG("%s", message.c_str());
  if (error != nullptr) *error = message;
  return false;
}

int ReadNumberFile(const char* path) {
  std::string text;
  bool missing = false;  // no file yet is the daemon's normal state, not an error
  if (!kivo::ReadWholeFile(Rooted(path), &text, &missing) || missing) return 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value > 0 && value < 4194304 ? static_cast<int>(value) : 0;
}

bool WriteNumberFile(const char* path, long value) {
  return kivo::MakeParentDirs(Rooted(path)) &&
         kivo::ReplaceFile(Rooted(path), std::to_string(value) + "\n", 0644);
}

// A live (not zombie) process whose command line names this root's
// configuration: the daemon, not a process that reuses its old pid.
bool IsOurDaemon(pid_t pid) {
  return kivo::ProcessAlive(pid) && kivo::CommandLineHas(pid, Rooted(kConfigPath));
}

// Binds 127.0.0.1:port (0: any) and answers the port bound, or 0.
int BindLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int bound = 0;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    bound = ntohs(addr.sin_port);
  }
  close(fd);
  return bound;
}

std::string PluginDir() {
  // Installed beside the program; a build tree keeps it where CMake put it.
  const std::string beside = kivo::BesideProgram(std::string("radicale/") + kPluginFile);
  return beside.empty() ? KIVO_CALDAV_PLUGIN_DIR : beside.substr(0, beside.find_last_of('/'));
}

std::string ConfigText(int port) {
  const std::string root = kivo::Root();
  return "# Written by the platform at every start of the CalDAV daemon.\n"
         "[server]\n"
         "hosts = 127.0.0.1:" +
         std::to_string(port) +
         "\n"
         "max_connections = 32\n"
         "\n[auth]\n"
         "type = kivo_storage\n"
         "realm = CalDAV\n"
         "delay = 1\n"
         "\n[rights]\n"
         "type = kivo_storage\n"
         "\n[storage]\n"
         "type = kivo_storage\n"
         "filesystem_folder = " +
         root + kCollectionsDir +
         "\n"
         "kivo_root = " +
         (root.empty() ? "/" : root) +
         "\n"
         "kivo_state = " +
         root + kStateDir +
         "\n"
         "\n[web]\n"
         "type = none\n"
         "\n[logging]\n"
         "level = warning\n"
         "mask_passwords = True\n";
}

bool MakeDir(const std::string& path, mode_t mode) {
  if (!kivo::MakeParentDirs(path + "/.")) return false;
  return chmod(path.c_str(), mode) == 0;
}

// The child's arguments and environment, built before fork: after it only
// async-signal-safe calls are allowed.
struct Launch {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<char*> argv;
  std::vector<char*> envp;

  void Seal() {
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
  }
};

Launch BuildLaunch(const std::string& plugin_dir) {
  Launch launch;
  launch.args = {kSetpriv,
                 std::string("--reuid=") + kAccount,
                 std::string("--regid=") + kAccount,
                 "--clear-groups",
                 "--inh-caps=-all,+setuid,+setgid",
                 "--ambient-caps=-all,+setuid,+setgid",
                 "--bounding-set=-all,+setuid,+setgid",
                 "--no-new-privs",
                 "--",
                 kPython,
                 "-m",
                 "kivo_server",
                 "--config",
                 Rooted(kConfigPath)};
  launch.env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "PYTHONDONTWRITEBYTECODE=1",
                "PYTHONPATH=" + plugin_dir};
  launch.Seal();
  return launch;
}

// Starts the daemon detached (its own session, reparented to init) and
// answers its pid, or -1.
pid_t Spawn(Launch* launch, int log_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return -1;
  }
  if (child == 0) {
    setsid();
    const pid_t daemon = fork();
    if (daemon != 0) {
      ssize_t ignored = write(pipe_fds[1], &daemon, sizeof(daemon));
      (void)ignored;
      _exit(daemon > 0 ? 0 : 1);
    }
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(log_fd, 1) < 0 || dup2(log_fd, 2) < 0) {
      _exit(126);
    }
    umask(022);
    if (chdir("/") != 0) _exit(126);
    close_range(3, ~0U, 0);
    kivo::UseDefaultScheduling();
    execve(kSetpriv, launch->argv.data(), launch->envp.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  pid_t daemon = -1;
  if (read(pipe_fds[0], &daemon, sizeof(daemon)) != static_cast<ssize_t>(sizeof(daemon))) {
    daemon = -1;
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return daemon;
}

bool WaitGone(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += kPollMs) {
    if (!kivo::ProcessAlive(pid)) return true;
    kivo::SleepMillis(kPollMs);
  }
  return !kivo::ProcessAlive(pid);
}

bool Stop(pid_t pid, std::string* error) {
  if (kivo::SignalDaemon(kivo::kCalDAVUnit, pid, SIGTERM) != 0 && errno != ESRCH) {
    return Fail(error, "cannot stop the CalDAV daemon (pid " + std::to_string(pid) +
                           "): " + strerror(errno));
  }
  if (!WaitGone(pid, kStopWaitMs)) {
    KIVO_LOG("CalDAV daemon (pid %d) ignored SIGTERM; killing it", static_cast<int>(pid));
    kivo::SignalDaemon(kivo::kCalDAVUnit, pid, SIGKILL);
    if (!WaitGone(pid, kStopWaitMs)) {
      return Fail(error, "the CalDAV daemon (pid " + std::to_string(pid) + ") does not end");
    }
  }
  return true;
}

bool WaitReady(pid_t pid, int port) {
  for (int waited = 0; waited < kStartWaitMs; waited += kPollMs) {
    if (!kivo::ProcessAlive(pid)) return false;
    if (kivo::PortAccepts("127.0.0.1", port)) return true;
    kivo::SleepMillis(kPollMs);
  }
  return false;
}

bool Record(const char* op, pid_t pid, int port) {
  Json::Value record(Json::objectValue);
  record["op"] = op;
  record["service"] = "caldav";
  record["pid"] = static_cast<int>(pid);
  record["port"] = port;
  return kivo::Journal(record);
}

// Called with the lock held.
int EnsurePort(pid_t running_pid, std::string* error) {
  int port = ReadNumberFile(kPortPath);
  if (port > 0 && (running_pid > 0 || BindLoopback(port) == port)) return port;
  port = BindLoopback(0);
  if (port <= 0) {
    Fail(error, std::string("no free loopback port for the CalDAV daemon: ") + strerror(errno));
    return 0;
  }
  if (!WriteNumberFile(kPortPath, port)) {
    Fail(error, "cannot record the CalDAV daemon's port in " + Rooted(kPortPath));
    return 0;
  }
  return port;
}

pid_t RunningPid() {
  const pid_t pid = ReadNumberFile(kPidPath);
  return IsOurDaemon(pid) ? pid : 0;
}

bool StartLocked(std::string* error) {
  if (RunningPid() > 0) return true;
  const int port = EnsurePort(0, error);
  if (port == 0) return false;
  const struct passwd* account = getpwnam(kAccount);
  if (account == nullptr) {
    return Fail(error, std::string("no system account '") + kAccount +
                           "' for the CalDAV daemon (Debian's radicale package makes it)");
  }
  const std::string plugin_dir = PluginDir();
  struct stat st;
  if (plugin_dir.empty() || stat((plugin_dir + "/" + kPluginFile).c_str(), &st) != 0) {
    return Fail(error, "the CalDAV plug-in " + std::string(kPluginFile) + " is not installed");
  }
  if (!MakeDir(Rooted(kStateDir), 0755) || !MakeDir(Rooted(kCollectionsDir), 0700) ||
      !kivo::ReplaceFile(Rooted(kConfigPath), ConfigText(port), 0644)) {
    return Fail(error, "cannot write the CalDAV daemon's configuration under " + Rooted(kStateDir));
  }
  const std::string log_path = Rooted(kLogPath);
  if (!kivo::MakeParentDirs(log_path)) return Fail(error, "cannot make " + log_path);
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (log_fd < 0) return Fail(error, "cannot open " + log_path + ": " + strerror(errno));
  Launch launch = BuildLaunch(plugin_dir);
  // Under systemd the unit runs the same command (debian/kivo-caldav.service).
  const pid_t pid = kivo::SupervisedBySystemd(kivo::kCalDAVUnit)
                        ? kivo::StartDaemonProcess(kivo::kCalDAVUnit, launch.args, log_path)
                        : Spawn(&launch, log_fd);
  close(log_fd);
  if (pid <= 0)
    return Fail(error, std::string("cannot start the CalDAV daemon: ") + strerror(errno));
  if (!WaitReady(pid, port) || !IsOurDaemon(pid)) {
    if (kivo::ProcessAlive(pid)) Stop(pid, nullptr);
    return Fail(error, "the CalDAV daemon did not come up on 127.0.0.1:" + std::to_string(port) +
                           "; see " + log_path);
  }
  if (!WriteNumberFile(kPidPath, pid)) {
    Stop(pid, nullptr);
    return Fail(error, "cannot record the CalDAV daemon's pid in " + Rooted(kPidPath));
  }
  return Record("caldav.start", pid, port) || Fail(error, "cannot journal the CalDAV start");
}

bool StopLocked(std::string* error) {
  const pid_t pid = ReadNumberFile(kPidPath);
  if (pid > 0 && IsOurDaemon(pid)) {
    if (!Stop(pid, error)) return false;
    if (!Record("caldav.stop", pid, ReadNumberFile(kPortPath))) {
      return Fail(error, "cannot journal the CalDAV stop");
    }
  } else if (kivo::SupervisedBySystemd(kivo::kCalDAVUnit)) {
    kivo::SignalDaemon(kivo::kCalDAVUnit, 0, SIGTERM);  // between a crash and systemd's restart
  }
  if (unlink(Rooted(kPidPath).c_str()) != 0 && errno != ENOENT) {
    return Fail(error, "cannot remove " + Rooted(kPidPath) + ": " + strerror(errno));
  }
  return true;
}

// Starts and stops of one root are serialised across processes.
template <typename Body>
bool Locked(std::string* error, Body body) {
  const std::string lock_path = Rooted(kLockPath);
  if (!kivo::MakeParentDirs(lock_path)) return Fail(error, "cannot make " + lock_path);
  kivo::FileLock lock(lock_path);
  if (!lock.locked()) return Fail(error, "cannot lock " + lock_path);
  return body();
}

}  // namespace

CalDAVDaemonState CalDAVDaemonStatus() {
  CalDAVDaemonState state;
  state.pid = RunningPid();
  state.running = state.pid > 0;
  state.port = ReadNumberFile(kPortPath);
  return state;
}

int CalDAVDaemonPort(std::string* error) {
  int port = 0;
  Locked(error, [&] {
    port = EnsurePort(RunningPid(), error);
    return port > 0;
  });
  return port;
}

bool StartCalDAVDaemon(std::string* error) {
  return Locked(error, [&] { return StartLocked(error); });
}

bool StopCalDAVDaemon(std::string* error) {
  return Locked(error, [&] { return StopLocked(error); });
}

}  // namespace platform
