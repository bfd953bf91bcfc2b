#include "daemons/radicale/caldav_daemon.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/fd.h"
#include "base/journal.h"
#include "base/json_file.h"
#include "base/last_error.h"
#include "base/private_log.h"
#include "base/process.h"
#include "base/random_text.h"
#include "base/root_files.h"
#include "daemons/supervisor.h"
#include "daemons/systemd_units.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

#ifndef KIVO_CALDAV_PLUGIN_DIR
#define KIVO_CALDAV_PLUGIN_DIR ""
#endif

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "caldav_daemon";

constexpr char kStateDir[] = "/var/lib/kivo/caldav";
constexpr char kConfigPath[] = "/var/lib/kivo/caldav/radicale.conf";
constexpr char kPortPath[] = "/var/lib/kivo/caldav/port";
constexpr char kDoorTokenPath[] = "/var/lib/kivo/caldav/door-token";
constexpr size_t kDoorTokenBytes = 32;
constexpr char kIdsPath[] = SZF_CALDAV_IDS;
constexpr char kCardDAVIdsPath[] = SZF_CARDDAV_IDS;
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
// The daemon ends within 3 s of SIGTERM (daemons/radicale/plugins/kivo_server.py gives
// the requests under way 2.5 s); SIGKILL is for one that hangs.
constexpr int kStopWaitMs = 5000;

// Starts and stops of one root are serialised across processes.
constexpr Supervisor kSupervisor({"CalDAV daemon", kCalDAVUnit, kPidPath, kLockPath, kConfigPath,
                                  kStopWaitMs});

std::string Rooted(const char* path) { return RootedPath(path); }

// Logs `message` and records `error` as the thread's last platform error.
bool Fail(int error, const std::string& message) {
  base::SetLastError(error);
  KIVO_LOG(LOG_ERR, "%s", message.c_str());
  return false;
}

int ReadPortFile() {
  std::string text;
  bool missing = false;  // no file yet is the daemon's normal state, not an error
  if (!base::ReadWholeFile(Rooted(kPortPath), &text, &missing) || missing) return 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value > 0 && value < 65536 ? static_cast<int>(value) : 0;
}

bool WritePortFile(int port) {
  return base::ReplaceFile(Rooted(kPortPath), std::to_string(port) + "\n", 0644);
}

// Binds 127.0.0.1:port (0: any) and answers the port bound, or 0.
int BindLoopback(int port) {
  const base::Fd socket_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = socket_fd.get();
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
  return bound;
}

// Whether the token file is one to keep: root's, the daemon's group's (or
// root's where there is no such account), 0640, of the hex text it was
// made with.
bool DoorTokenUsable(const std::string& path, gid_t group) {
  const base::Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
      st.st_gid != group || (st.st_mode & 07777) != 0640) {
    return false;
  }
  char text[2 * kDoorTokenBytes + 2];
  const ssize_t got = read(fd.get(), text, sizeof text);
  if (got != static_cast<ssize_t>(2 * kDoorTokenBytes + 1) || text[got - 1] != '\n') return false;
  return std::strspn(text, "0123456789abcdef") == 2 * kDoorTokenBytes;
}

// Called with the lock held.
bool EnsureDoorToken() {
  const std::string path = Rooted(kDoorTokenPath);
  const struct passwd* account = getpwnam(kAccount);
  const gid_t group = account != nullptr ? account->pw_gid : 0;
  if (DoorTokenUsable(path, group)) return true;
  const std::string token = base::RandomHex(kDoorTokenBytes);
  if (token.empty()) return Fail(errno, "no random source for the CalDAV door's token");
  base::ReplaceOptions options;
  options.new_mode = 0640;
  options.fresh = true;
  // Made root's 0640 and only then given the daemon's group: never
  // readable by anyone else on the way.
  if (!MakeDaemonDir(Rooted(kStateDir), 0755) || !base::ReplaceFile(path, token + "\n", options)) {
    KIVO_LOG(LOG_ERR, "cannot write the CalDAV door's token %s", path.c_str());
    return false;
  }
  if (chown(path.c_str(), 0, group) != 0) {
    return Fail(errno, "cannot give " + path + " to the CalDAV daemon's group: " + strerror(errno));
  }
  return true;
}

std::string PluginDir() {
  // Installed beside the program; a build tree keeps it where CMake put it.
  const std::string beside = base::BesideProgram(std::string("radicale/") + kPluginFile);
  return beside.empty() ? KIVO_CALDAV_PLUGIN_DIR : beside.substr(0, beside.find_last_of('/'));
}

std::string ConfigText(int port) {
  const std::string root = Root();
  return "# Written by the platform at every start of the CalDAV daemon.\n"
         "[server]\n"
         "hosts = 127.0.0.1:" +
         std::to_string(port) +
         "\n"
         "max_connections = 32\n"
         "\n[auth]\n"
         "type = kivo_auth\n"
         "realm = CalDAV\n"
         "delay = 1\n"
         "kivo_door_token = " +
         root + kDoorTokenPath +
         "\n"
         "\n[rights]\n"
         "type = kivo_rights\n"
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

base::DetachedCommand DaemonCommand(const std::string& plugin_dir) {
  base::DetachedCommand command;
  command.args = {kSetpriv,
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
  command.env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "PYTHONDONTWRITEBYTECODE=1",
                 "PYTHONPATH=" + plugin_dir};
  command.at_root = true;
  return command;
}

bool Record(const char* op, pid_t pid, int port) {
  Json::Value record(Json::objectValue);
  record["op"] = op;
  record["service"] = "caldav";
  record["pid"] = static_cast<int>(pid);
  record["port"] = port;
  return base::Journal(record);
}

// Called with the lock held.
int EnsurePort(pid_t running_pid) {
  int port = ReadPortFile();
  if (port > 0 && (running_pid > 0 || BindLoopback(port) == port)) return port;
  port = BindLoopback(0);
  if (port <= 0) {
    Fail(errno, std::string("no free loopback port for the CalDAV daemon: ") + strerror(errno));
    return 0;
  }
  if (!WritePortFile(port)) {
    KIVO_LOG(LOG_ERR, "cannot record the CalDAV daemon's port in %s", Rooted(kPortPath).c_str());
    return 0;
  }
  return port;
}

bool StartLocked() {
  if (kSupervisor.RunningPid() > 0) return true;
  const int port = EnsurePort(0);
  if (port == 0) return false;
  const struct passwd* account = getpwnam(kAccount);
  if (account == nullptr) {
    return Fail(ENOENT, std::string("no system account '") + kAccount +
                            "' for the CalDAV daemon (Debian's radicale package makes it)");
  }
  const std::string plugin_dir = PluginDir();
  struct stat st;
  if (plugin_dir.empty() || stat((plugin_dir + "/" + kPluginFile).c_str(), &st) != 0) {
    return Fail(ENOENT, "the CalDAV plug-in " + std::string(kPluginFile) + " is not installed");
  }
  if (!MakeDaemonDir(Rooted(kStateDir), 0755) || !MakeDaemonDir(Rooted(kCollectionsDir), 0700) ||
      !EnsureDoorToken() || !base::ReplaceFile(Rooted(kConfigPath), ConfigText(port), 0644)) {
    KIVO_LOG(LOG_ERR, "cannot write the CalDAV daemon's configuration under %s",
             Rooted(kStateDir).c_str());
    return false;
  }
  const std::string log_path = Rooted(kLogPath);
  if (!base::MakeParentDirs(log_path)) return Fail(errno, "cannot make " + log_path);
  const base::Fd log_fd(base::OpenPrivateLog(log_path));
  if (!log_fd.valid()) return Fail(errno, "cannot open " + log_path + ": " + strerror(errno));
  const base::DetachedCommand command = DaemonCommand(plugin_dir);
  // Under systemd the unit runs the same command (debian/kivo-caldav.service).
  const pid_t pid = kSupervisor.Supervised()
                        ? StartDaemonProcess(kCalDAVUnit, command.args, log_path)
                        : base::StartDetached(command, log_fd.get());
  if (pid <= 0)
    return Fail(errno, std::string("cannot start the CalDAV daemon: ") + strerror(errno));
  const bool up = kSupervisor.WaitUntil(pid, kStartWaitMs,
                                        [&] { return AllListening("127.0.0.1", {port}, true); });
  if (!up || !kSupervisor.IsOurs(pid)) {
    if (base::ProcessAlive(pid)) kSupervisor.Stop(pid);
    return Fail(ETIMEDOUT, "the CalDAV daemon did not come up on 127.0.0.1:" +
                               std::to_string(port) + "; see " + log_path);
  }
  if (!kSupervisor.WritePidFile(pid)) {
    kSupervisor.Stop(pid);
    KIVO_LOG(LOG_ERR, "cannot record the CalDAV daemon's pid in %s", kSupervisor.PidPath().c_str());
    return false;
  }
  if (!Record("caldav.start", pid, port)) {
    KIVO_LOG(LOG_ERR, "cannot journal the CalDAV start");
    return false;
  }
  return true;
}

bool StopLocked() {
  const pid_t pid = kSupervisor.RunningPid();
  if (pid > 0) {
    if (!kSupervisor.Stop(pid)) return false;
    if (!Record("caldav.stop", pid, ReadPortFile())) {
      KIVO_LOG(LOG_ERR, "cannot journal the CalDAV stop");
      return false;
    }
  } else if (kSupervisor.Supervised()) {
    kSupervisor.Stop(0);  // between a crash and systemd's restart
  }
  return kSupervisor.RemovePidFile();
}

}  // namespace

namespace {

bool ReadUrlNames(const char* ids_path, CalDAVUrlNames* names) {
  names->clear();
  Json::Value ids;
  bool missing = false;
  if (!base::ReadJsonFile(Rooted(ids_path), &ids, &missing) || !ids.isObject()) return false;
  for (auto it = ids.begin(); it != ids.end(); ++it) {
    unsigned long long dev = 0, ino = 0;
    char end = 0;
    const std::string key = it.name();
    if (!it->isString() || sscanf(key.c_str(), "%llu:%llu%c", &dev, &ino, &end) != 2 ||
        key != std::to_string(dev) + ":" + std::to_string(ino)) {
      continue;
    }
    (*names)[{static_cast<dev_t>(dev), static_cast<ino_t>(ino)}] = it->asString();
  }
  return true;
}

}  // namespace

bool ReadCalDAVUrlNames(CalDAVUrlNames* names) { return ReadUrlNames(kIdsPath, names); }

bool ReadCardDAVUrlNames(CalDAVUrlNames* names) { return ReadUrlNames(kCardDAVIdsPath, names); }

CalDAVDaemonState CalDAVDaemonStatus() {
  CalDAVDaemonState state;
  state.pid = kSupervisor.RunningPid();
  state.running = state.pid > 0;
  state.port = ReadPortFile();
  return state;
}

bool CalDAVSwitchedOn() {
  KivoConf conf;
  return std::strcmp(conf.Info("runCalDav", ""), "yes") == 0;
}

bool CardDAVSwitchedOn() {
  KivoConf conf;
  return std::strcmp(conf.Info("runCardDav", ""), "yes") == 0;
}

bool CalDAVDaemonWanted() { return CalDAVSwitchedOn() || CardDAVSwitchedOn(); }

int CalDAVDaemonPort() {
  int port = 0;
  kSupervisor.Locked([&] {
    port = EnsurePort(kSupervisor.RunningPid());
    return port > 0;
  });
  return port;
}

std::string CalDAVDoorTokenFile() {
  const bool made = kSupervisor.Locked([] { return EnsureDoorToken(); });
  return made ? Rooted(kDoorTokenPath) : "";
}

bool StartCalDAVDaemon() {
  return kSupervisor.Locked([] { return StartLocked(); });
}

bool StopCalDAVDaemon() {
  return kSupervisor.Locked([] { return StopLocked(); });
}

}  // namespace daemons
}  // namespace kivo
