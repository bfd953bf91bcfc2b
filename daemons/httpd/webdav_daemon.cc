#include "daemons/httpd/webdav_daemon.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "base/fd.h"
#include "base/last_error.h"
#include "base/private_log.h"
#include "base/process.h"
#include "base/random_text.h"
#include "base/root_files.h"
#include "daemons/apache/kivo_login_brake.h"
#include "daemons/supervisor.h"
#include "daemons/systemd_units.h"
#include "kivo/kivo_paths.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "webdav_daemon";

constexpr char kApache[] = "/usr/sbin/apache2";

// Below the root.
constexpr char kRunDir[] = "/var/run/kivo";
constexpr char kLogDir[] = "/var/log/kivo";
constexpr char kHostCert[] = SZF_TLS_CERT;
constexpr char kHostKey[] = SZF_TLS_KEY;

// Apache's notice (event MPM) once a (re)start has read its configuration.
constexpr char kResumedNotice[] = "AH00489:";

constexpr int kWaitMillis = 10000;
constexpr int kPollMillis = 20;
constexpr int kOldWorkersMillis = 2000;

// The lock beside the pid file serialises the operations of one root.
constexpr Supervisor kSupervisor({"WebDAV daemon", kWebDAVUnit, kWebDAVPidFile,
                                  "/var/run/kivo/.webdav-httpd.pid.lock", kWebDAVConfFile,
                                  kWaitMillis});

std::string PortsPath() { return RootedPath(kRunDir) + "/webdav-httpd.ports"; }
std::string OutputLogPath() { return RootedPath(kLogDir) + "/webdav-httpd.out"; }

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The host's certificate when it has one, else ours, made on first need.
bool EnsureCertificate(WebDAVSettings* settings) {
  if (FileExists(RootedPath(kHostCert)) && FileExists(RootedPath(kHostKey))) {
    settings->cert = RootedPath(kHostCert);
    settings->key = RootedPath(kHostKey);
    return true;
  }
  settings->cert = WebDAVConfDir() + "/tls/server.crt";
  settings->key = WebDAVConfDir() + "/tls/server.key";
  if (FileExists(settings->cert) && FileExists(settings->key)) return true;
  if (!base::MakeParentDirs(settings->cert)) return false;
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  const mode_t old_mask = umask(077);  // the key is root's alone from its first byte
  std::string output;
  int rc = base::RunCaptured(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3650", "-subj",
       std::string("/CN=") + host, "-keyout", settings->key, "-out", settings->cert},
      &output);
  umask(old_mask);
  if (rc != 0) {
    KIVO_LOG(LOG_ERR, "cannot make a certificate for WebDAV over TLS: %s", output.c_str());
    return false;
  }
  chmod(settings->cert.c_str(), 0644);
  return true;
}

// The lock database's place. Every served account's requests open it for
// writing, so mod_kivo_dav makes it (in the format this Apache's mod_dav_fs
// opens) 0666 at every start; what keeps it from the accounts' own
// programs is its folder, root's and closed to listing (0711), and a name
// drawn once per root and kept in the root-only private folder and in the
// root-only httpd.conf. Anything else in the folder (older databases) goes.
bool PrepareLockDatabase(WebDAVSettings* s) {
  const std::string dir = WebDAVLockDir(), name_file = WebDAVPrivateDir() + "/lock-name";
  if (!MakeDaemonDir(dir, 0711)) return false;
  if (chown(dir.c_str(), 0, 0) != 0) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot prepare the lock folder %s: %s", dir.c_str(), strerror(errno));
    return false;
  }
  std::string name;
  bool missing = false;
  if (!base::ReadWholeFile(name_file, &name, &missing)) return false;
  if (name.size() != 32 || name.find_first_not_of("0123456789abcdef") != std::string::npos) {
    name = base::RandomHex(16);
    if (name.empty()) {
      base::SetLastError(errno);
      KIVO_LOG(LOG_ERR, "cannot draw the lock database's name: %s", strerror(errno));
      return false;
    }
    if (!base::ReplaceFile(name_file, name, 0600)) return false;
  }
  const std::string file = "DavLock-" + name;
  s->lock_db = dir + "/" + file;
  if (DIR* entries = opendir(dir.c_str())) {
    while (struct dirent* entry = readdir(entries)) {
      const std::string other = entry->d_name;
      if (other != "." && other != ".." && other != file) unlink((dir + "/" + other).c_str());
    }
    closedir(entries);
  }
  return true;
}

// The root listing: one empty, read-only folder per share.
bool PrepareListing(const WebDAVSettings& s) {
  std::string listing = WebDAVListingDir();
  if (!MakeDaemonDir(listing, 0555)) return false;
  std::vector<std::string> wanted;
  for (const auto& share : s.shares) wanted.push_back(share.name);
  if (DIR* dir = opendir(listing.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) {
        rmdir((listing + "/" + name).c_str());  // only ever an empty folder of ours
      }
    }
    closedir(dir);
  }
  for (const auto& name : wanted) {
    if (!MakeDaemonDir(listing + "/" + name, 0555)) return false;
  }
  return true;
}

bool WriteGeneratedFiles(WebDAVSettings* s) {
  if (!base::MakeParentDirs(WebDAVConfPath()) || !MakeDaemonDir(WebDAVConfDir(), 0755) ||
      !MakeDaemonDir(WebDAVPrivateDir(), 0700) || !base::MakeParentDirs(WebDAVPidPath()) ||
      !MakeDaemonDir(WebDAVRuntimeDir(), 0755) || !base::MakeParentDirs(WebDAVErrorLogPath()) ||
      !base::MakeParentDirs(RootedPath(KB_STATE_PATH)) || !PrepareLockDatabase(s) ||
      !PrepareListing(*s)) {
    return false;
  }
  // Apache and systemd open the logs for appending, keeping owner and mode;
  // the logs name every user's paths.
  for (const std::string& log : {WebDAVErrorLogPath(), WebDAVAccessLogPath(), OutputLogPath()}) {
    if (!base::MakePrivateLog(log)) {
      KIVO_LOG(LOG_ERR, "cannot make the log %s root's and the administrators' only: %s",
               log.c_str(), strerror(errno));
      return false;
    }
  }
  if (s->https && !EnsureCertificate(s)) return false;
  // The password file of older versions: mod_kivo_dav reads etc/shadow.
  unlink((WebDAVPrivateDir() + "/passwords").c_str());
  // ReplaceFile keeps the mode of the file it replaces: set it each time.
  return base::ReplaceFile(WebDAVConfPath(), WebDAVConfigText(*s), 0600) &&
         chmod(WebDAVConfPath().c_str(), 0600) == 0;
}

std::vector<int> PortsOf(const WebDAVSettings& s) {
  std::vector<int> ports;
  if (s.http) ports.push_back(s.http_port);
  if (s.https && std::find(ports.begin(), ports.end(), s.https_port) == ports.end()) {
    ports.push_back(s.https_port);
  }
  return ports;
}

void LogLines(const std::string& prefix, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) KIVO_LOG(LOG_ERR, "%s%s", prefix.c_str(), line.c_str());
  }
}

off_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// What a log gained after `offset`; the log only grows, and reading from the
// offset keeps a poll cheap however long it is.
std::string TextSince(const std::string& path, off_t offset) {
  std::string text;
  const base::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return text;
  char buffer[8192];
  ssize_t n;
  while ((n = pread(fd.get(), buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

bool ConfigAccepted() {
  std::string output;
  int rc = base::RunCaptured({kApache, "-t", "-f", WebDAVConfPath()}, &output);
  if (rc == 0) return true;
  KIVO_LOG(LOG_ERR, "apache2 refused the WebDAV configuration %s", WebDAVConfPath().c_str());
  LogLines("apache2: ", output);
  return false;
}

bool WritePorts(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) text += std::to_string(port) + "\n";
  return base::ReplaceFile(PortsPath(), text, 0644);
}

// The settings from the files, with `behind`: the server-level section of
// the daemons behind this one.
bool Settings(WebDAVSettings* s, const std::string& behind = "") {
  s->extra_server_text = behind;
  return base::Guarded(false, [&] { return ReadWebDAVSettings(s); });
}

bool StopDaemon() {
  const pid_t pid = WebDAVDaemonPid();
  const std::vector<int> ports = WebDAVDaemonPorts();
  if (!kSupervisor.Stop(pid)) return false;
  WebDAVSettings s;
  Settings(&s);
  if (!kSupervisor.WaitUntil(0, kWaitMillis,
                             [&] { return AllListening(s.listen_address, ports, false); })) {
    base::SetLastError(EADDRINUSE);
    KIVO_LOG(LOG_ERR, "the WebDAV ports stay taken after the daemon stopped");
    return false;
  }
  unlink(WebDAVPidPath().c_str());
  unlink(PortsPath().c_str());
  return true;
}

bool StartDaemon(WebDAVSettings* s) {
  std::vector<int> ports = PortsOf(*s);
  if (ports.empty()) return true;  // nothing to serve: the daemon stays down
  if (!WriteGeneratedFiles(s) || !ConfigAccepted()) return false;
  unlink(WebDAVPidPath().c_str());
  off_t error_offset = SizeOf(WebDAVErrorLogPath()), output_offset = SizeOf(OutputLogPath());
  pid_t pid = StartDaemonProcess(kWebDAVUnit, {kApache, "-f", WebDAVConfPath(), "-DFOREGROUND"},
                                 OutputLogPath());
  if (pid <= 0) return false;
  // Apache writes its pid file once it has read its configuration.
  bool up = kSupervisor.WaitUntil(pid, kWaitMillis, [&] {
    return kSupervisor.PidFromFile() == pid && AllListening(s->listen_address, ports, true);
  });
  if (!up) {
    if (base::ProcessAlive(pid)) kSupervisor.Signal(pid, SIGTERM);
    base::SetLastError(ETIMEDOUT);
    KIVO_LOG(LOG_ERR, "the WebDAV daemon did not start");
    LogLines("apache2: ", TextSince(OutputLogPath(), output_offset));
    LogLines("apache2: ", TextSince(WebDAVErrorLogPath(), error_offset));
    return false;
  }
  return WritePorts(ports);
}

// Clock ticks since boot, the unit of a process's start time in /proc.
unsigned long long TicksSinceBoot() {
  double seconds = 0;
  FILE* file = fopen("/proc/uptime", "re");
  if (file != nullptr) {
    if (fscanf(file, "%lf", &seconds) != 1) seconds = 0;
    fclose(file);
  }
  return static_cast<unsigned long long>(seconds * sysconf(_SC_CLK_TCK));
}

// Children of `parent` started before `ticks` (since boot).
int OldWorkers(pid_t parent, unsigned long long ticks) {
  int old = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::string text;
    bool missing = false;
    if (!base::ReadWholeFile(std::string("/proc/") + entry->d_name + "/stat", &text, &missing))
      continue;
    // Fields after the command's closing parenthesis: state ppid ... (starttime is the 22nd).
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long ppid = 0;
    unsigned long long start = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
      if (i == 4) ppid = atol(field.c_str());
      if (i == 22) start = strtoull(field.c_str(), nullptr, 10);
    }
    if (ppid == parent && start < ticks) ++old;
  }
  closedir(proc);
  return old;
}

bool ReloadDaemon(pid_t pid, WebDAVSettings* s) {
  std::vector<int> ports = PortsOf(*s), old_ports = WebDAVDaemonPorts(), gone;
  if (ports.empty()) return StopDaemon();
  for (int port : old_ports) {
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) gone.push_back(port);
  }
  if (!WriteGeneratedFiles(s) || !ConfigAccepted()) return false;
  off_t error_offset = SizeOf(WebDAVErrorLogPath());
  const unsigned long long signalled = TicksSinceBoot();
  if (!kSupervisor.Signal(pid, SIGUSR1)) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot signal the WebDAV daemon %d: %s", static_cast<int>(pid),
             strerror(errno));
    return false;
  }
  // The listeners stay open across a graceful restart, so they cannot tell
  // when it is done. Apache signals its children to stop listening, reads the
  // new configuration, and then logs its "resuming" notice (logged at every
  // level): from that line on, no request meets the old configuration.
  bool up = kSupervisor.WaitUntil(pid, kWaitMillis, [&] {
    return AllListening(s->listen_address, ports, true) &&
           AllListening(s->listen_address, gone, false) &&
           TextSince(WebDAVErrorLogPath(), error_offset).find(kResumedNotice) != std::string::npos;
  });
  // A worker of the old configuration that was idle may still take one
  // connection before it exits; they are gone within moments. Workers busy
  // with a transfer finish it and take no other: they are not waited for.
  for (int waited = 0; up && waited < kOldWorkersMillis && OldWorkers(pid, signalled) > 0;
       waited += kPollMillis) {
    base::SleepMillis(kPollMillis);
  }
  if (!up) {
    base::SetLastError(ETIMEDOUT);
    KIVO_LOG(LOG_ERR, "the WebDAV daemon did not come back from its reload");
    LogLines("apache2: ", TextSince(WebDAVErrorLogPath(), error_offset));
    return false;
  }
  return WritePorts(ports);
}

}  // namespace

pid_t WebDAVDaemonPid() { return kSupervisor.RunningPid(); }

std::string WebDAVDaemonConf() {
  std::string text;
  bool missing = false;
  if (!base::ReadWholeFile(WebDAVConfPath(), &text, &missing)) return "";
  return text;
}

std::vector<int> WebDAVDaemonPorts() {
  std::string text;
  std::vector<int> ports;
  bool missing = false;
  if (!base::ReadWholeFile(PortsPath(), &text, &missing)) return ports;
  std::istringstream in(text);
  int port;
  while (in >> port) ports.push_back(port);
  return ports;
}

bool WebDAVDaemonStart(const std::string& behind) {
  return kSupervisor.Locked([&] {
    WebDAVSettings s;
    if (!Settings(&s, behind)) return false;
    pid_t pid = WebDAVDaemonPid();
    return pid > 0 ? ReloadDaemon(pid, &s) : StartDaemon(&s);
  });
}

bool WebDAVDaemonStop() {
  return kSupervisor.Locked([] { return StopDaemon(); });
}

// Graceful, as a reload: every setting (a variant switched on or off, TLS,
// the CalDAV proxy) is one Apache re-reads without dropping a connection,
// and a transfer under way finishes on the old configuration's worker.
bool WebDAVDaemonRestart(const std::string& behind) {
  return kSupervisor.Locked([&] {
    WebDAVSettings s;
    if (!Settings(&s, behind)) return false;
    const pid_t pid = WebDAVDaemonPid();
    return pid > 0 ? ReloadDaemon(pid, &s) : StartDaemon(&s);
  });
}

bool WebDAVDaemonReload(const std::string& behind) {
  return kSupervisor.Locked([&] {
    pid_t pid = WebDAVDaemonPid();
    if (pid == 0) return true;
    WebDAVSettings s;
    return Settings(&s, behind) && ReloadDaemon(pid, &s);
  });
}

}  // namespace daemons
}  // namespace kivo
