#include "platform/webdav_daemon.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <shadow.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "module/kivo_paths.h"
#include "module/kivo_platform.h"
#include "module/log.h"
#include "platform/daemon_hooks.h"
#include "platform/json_file.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "platform/root_files.h"

namespace kivo {
namespace {

constexpr char kLogUnit[] = "webdav_daemon";

constexpr char kApache[] = "/usr/sbin/apache2";
constexpr char kModuleDir[] = "/usr/lib/apache2/modules";

// Below the root.
constexpr char kConfDir[] = "/var/lib/kivo/webdav";
constexpr char kRunDir[] = "/var/run/kivo";
constexpr char kLogDir[] = "/var/log/kivo";
constexpr char kHostCert[] = "/etc/kivo/tls/server.crt";
constexpr char kHostKey[] = "/etc/kivo/tls/server.key";

constexpr uid_t kNobody = 65534;
constexpr int kWaitMillis = 10000;
constexpr int kPollMillis = 20;

std::string ConfDir() { return RootedPath(kConfDir); }
std::string ConfPath() { return ConfDir() + "/httpd.conf"; }
std::string PasswordPath() { return ConfDir() + "/private/passwords"; }
std::string PidPath() { return RootedPath(kRunDir) + "/webdav-httpd.pid"; }
std::string PortsPath() { return RootedPath(kRunDir) + "/webdav-httpd.ports"; }
std::string RuntimeDir() { return RootedPath(kRunDir) + "/webdav"; }
std::string ErrorLogPath() { return RootedPath(kLogDir) + "/webdav-error.log"; }
std::string OutputLogPath() { return RootedPath(kLogDir) + "/webdav-httpd.out"; }

// The modules the configuration uses, in load order.
const char* const kModules[][2] = {
    {"mpm_prefork_module", "mod_mpm_prefork.so"},
    {"mpm_itk_module", "mpm_itk.so"},
    {"authz_core_module", "mod_authz_core.so"},
    {"authz_user_module", "mod_authz_user.so"},
    {"authn_core_module", "mod_authn_core.so"},
    {"authn_file_module", "mod_authn_file.so"},
    {"socache_shmcb_module", "mod_socache_shmcb.so"},
    {"authn_socache_module", "mod_authn_socache.so"},
    {"auth_basic_module", "mod_auth_basic.so"},
    {"alias_module", "mod_alias.so"},
    {"mime_module", "mod_mime.so"},
    {"dav_module", "mod_dav.so"},
    {"dav_fs_module", "mod_dav_fs.so"},
    {"dav_lock_module", "mod_dav_lock.so"},
};

// Text that goes into a quoted directive argument unchanged: no quote,
// backslash, variable reference or control byte that Apache would read
// differently.
bool QuotableText(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '$') return false;
  }
  return true;
}

// Share names become the first path segment of URLs.
bool UsableShareName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.size() > 64) return false;
  for (unsigned char c : name) {
    if (!isalnum(c) && strchr(" ._-+@()", c) == nullptr) return false;
  }
  return true;
}

// Login names as the host accepts them; they appear in regular expressions.
bool UsableAccountName(const std::string& name) {
  if (name.empty() || name.size() > 32 || !(islower(name[0]) || name[0] == '_')) return false;
  for (unsigned char c : name) {
    if (!islower(c) && !isdigit(c) && strchr("_.-", c) == nullptr) return false;
  }
  return true;
}

int PortOf(KivoConf* conf, const char* key, int fallback) {
  std::string text = conf->Info(key, "");
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  int port = atoi(text.c_str());
  return port >= 1 && port <= 65535 ? port : fallback;
}

bool Running(const Json::Value& states, const char* service) {
  const Json::Value& entry = states[service];
  return entry.isObject() && entry["running"].isBool() && entry["running"].asBool();
}

bool ReadShares(WebDAVSettings* settings) {
  Json::Value shares;
  bool missing = false;
  if (!ReadJsonFile(RootedPath("/etc/kivo/shares.json"), &shares, &missing)) return false;
  if (missing || !shares.isObject()) return true;
  for (const std::string& name : shares.getMemberNames()) {
    const Json::Value& dir = shares[name];
    if (!dir.isString() || dir.asString().empty() || dir.asString()[0] != '/' ||
        !UsableShareName(name) || !QuotableText(dir.asString())) {
      KIVO_LOG("share [%s] is not served over WebDAV: unusable name or folder", name.c_str());
      continue;
    }
    settings->shares.push_back({name, dir.asString()});
  }
  return true;
}

// Accounts of etc/passwd with their etc/shadow hashes.
bool ReadAccounts(WebDAVSettings* settings) {
  std::vector<WebDAVSettings::Account> accounts;
  FILE* file = fopen(RootedPath("/etc/passwd").c_str(), "re");
  if (file == nullptr) {
    SetLastError(errno);
    KIVO_LOG("cannot read the accounts: %s", strerror(errno));
    return false;
  }
  std::vector<char> buffer(16384);
  struct passwd entry, *found = nullptr;
  while (fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    accounts.push_back({found->pw_name, "", found->pw_uid, found->pw_gid});
  }
  fclose(file);
  file = fopen(RootedPath("/etc/shadow").c_str(), "re");
  if (file != nullptr) {
    struct spwd shadow_entry, *shadow_found = nullptr;
    while (fgetspent_r(file, &shadow_entry, buffer.data(), buffer.size(), &shadow_found) == 0 &&
           shadow_found) {
      for (auto& account : accounts) {
        if (account.name == shadow_found->sp_namp && account.hash.empty() &&
            shadow_found->sp_pwdp != nullptr) {
          account.hash = shadow_found->sp_pwdp;
        }
      }
    }
    fclose(file);
  }
  settings->guest = {kGuestAccount, "", kNobody, kNobody};
  for (const auto& account : accounts) {
    if (account.name == kGuestAccount) {
      settings->guest = account;
      settings->guest.hash.clear();
      continue;
    }
    // Only crypt(3) hashes: locked ("!"), disabled ("*") and empty ones admit nobody.
    if (account.uid == 0 || account.hash.empty() || account.hash[0] != '$' ||
        !UsableAccountName(account.name) || account.hash.find(':') != std::string::npos) {
      continue;
    }
    settings->accounts.push_back(account);
  }
  return true;
}

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
  settings->cert = ConfDir() + "/tls/server.crt";
  settings->key = ConfDir() + "/tls/server.key";
  if (FileExists(settings->cert) && FileExists(settings->key)) return true;
  if (!MakeParentDirs(settings->cert)) return false;
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  const mode_t old_mask = umask(077);  // the key is root's alone from its first byte
  std::string output;
  int rc =
      RunCaptured({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3650", "-subj",
                   std::string("/CN=") + host, "-keyout", settings->key, "-out", settings->cert},
                  &output);
  umask(old_mask);
  if (rc != 0) {
    KIVO_LOG("cannot make a certificate for WebDAV over TLS: %s", output.c_str());
    return false;
  }
  chmod(settings->cert.c_str(), 0644);
  return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string RegexEscaped(const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '.') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// Who a request runs as, and who may make it. mpm-itk switches the process
// to the identity of this block in its post_perdir_config hook, which Apache
// runs BEFORE authentication, and the switch cannot be undone. Were the
// password file read by that authentication, it would have to be readable by
// every user. So the identity is picked by the name the request claims, and
// only after a subrequest to /.kivo-auth/NAME/ has authenticated exactly
// that name while the process is still root: the subrequest reads the
// root-only password file and leaves the hash in the shared authn cache,
// which is all the request's own authentication (as the user) consults. A
// request whose claim does not match runs as nobody and, finding no cached
// hash, is refused. Subrequests (mod_dav's per-member checks, a MOVE's
// destination) come after their request was authenticated and must keep its
// identity: mpm-itk closes the connection when a subrequest asks for another.
std::string AccessBlock(const WebDAVSettings& s) {
  std::ostringstream out;
  if (s.anonymous) {
    out << "  AssignUserID #" << s.guest.uid << " #" << s.guest.gid << "\n"
        << "  Require all granted\n";
    return out.str();
  }
  out << "  AuthType Basic\n"
      << "  AuthName \"Kivo WebDAV\"\n"
      << "  AuthBasicProvider socache\n"
      << "  AuthnCacheProvideFor file\n"
      << "  AuthnCacheContext kivo-webdav\n"
      << "  Require valid-user\n";
  const char* keyword = "If";
  for (const auto& account : s.accounts) {
    out << "  <" << keyword
        << " \"%{HTTP:Authorization} =~ m#^Basic +([A-Za-z0-9+/=]+)$#i && unbase64($1) =~ m#^"
        << RegexEscaped(account.name) << ":# && (%{IS_SUBREQ} == 'true' || -A '/.kivo-auth/"
        << account.name << "/')\">\n"
        << "    AssignUserID #" << account.uid << " #" << account.gid << "\n"
        << "  </" << keyword << ">\n";
    keyword = "ElseIf";
  }
  if (s.accounts.empty()) {
    out << "  AssignUserID #" << kNobody << " #" << kNobody << "\n";
  } else {
    out << "  <Else>\n    AssignUserID #" << kNobody << " #" << kNobody << "\n  </Else>\n";
  }
  return out.str();
}

std::string AuthLocations(const WebDAVSettings& s) {
  if (s.anonymous) return "";
  std::ostringstream out;
  out << "Alias \"/.kivo-auth\" " << Quoted(ConfDir() + "/private/none") << "\n"
      << "<Location \"/.kivo-auth/\">\n"
      << "  AssignUserID #0 #0\n"
      << "  AuthType Basic\n"
      << "  AuthName \"Kivo WebDAV\"\n"
      << "  AuthBasicProvider socache file\n"
      << "  AuthUserFile " << Quoted(PasswordPath()) << "\n"
      << "  AuthnCacheProvideFor file\n"
      << "  AuthnCacheContext kivo-webdav\n"
      << "  Require all denied\n"
      << "</Location>\n";
  for (const auto& account : s.accounts) {
    out << "<Location \"/.kivo-auth/" << account.name << "/\">\n"
        << "  <RequireAll>\n"
        << "    Require expr %{IS_SUBREQ} == 'true'\n"
        << "    Require user " << account.name << "\n"
        << "  </RequireAll>\n"
        << "</Location>\n";
  }
  return out.str();
}

std::string ListenLine(const WebDAVSettings& s, int port, bool tls) {
  std::string address = s.listen_address.empty() ? "" : s.listen_address + ":";
  return "Listen " + address + std::to_string(port) + (tls ? " https" : "") + "\n";
}

std::string ListingDir() { return ConfDir() + "/listing"; }
std::string LockDir() { return ConfDir() + "/lock"; }

bool MakeDir(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    SetLastError(errno);
    KIVO_LOG("mkdir(%s) failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  if (chmod(path.c_str(), mode) != 0) {
    SetLastError(errno);
    KIVO_LOG("chmod(%s) failed: %s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// The lock database is opened by whichever user a request runs as.
bool PrepareLockDatabase() {
  if (!MakeDir(LockDir(), 01777)) return false;
  for (const char* suffix : {".dir", ".pag"}) {
    std::string path = LockDir() + "/DavLock" + suffix;
    FILE* file = fopen(path.c_str(), "ae");
    if (file == nullptr || fclose(file) != 0 || chmod(path.c_str(), 0666) != 0) {
      SetLastError(errno);
      KIVO_LOG("cannot prepare the lock database %s: %s", path.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

// The root listing: one empty, read-only folder per share.
bool PrepareListing(const WebDAVSettings& s) {
  std::string listing = ListingDir();
  if (!MakeDir(listing, 0555)) return false;
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
    if (!MakeDir(listing + "/" + name, 0555)) return false;
  }
  return true;
}

bool WriteGeneratedFiles(WebDAVSettings* s) {
  if (!MakeParentDirs(ConfPath()) || !MakeDir(ConfDir(), 0755) ||
      !MakeDir(ConfDir() + "/private", 0700) || !MakeParentDirs(PidPath()) ||
      !MakeDir(RuntimeDir(), 0755) || !MakeParentDirs(ErrorLogPath()) || !PrepareLockDatabase() ||
      !PrepareListing(*s)) {
    return false;
  }
  if (s->https && !EnsureCertificate(s)) return false;
  // ReplaceFile keeps the mode of the file it replaces; the first one is 0600.
  return ReplaceFile(PasswordPath(), WebDAVPasswordText(*s), 0600) &&
         chmod(PasswordPath().c_str(), 0600) == 0 &&
         ReplaceFile(ConfPath(), WebDAVConfigText(*s), 0644);
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
    if (!line.empty()) KIVO_LOG("%s%s", prefix.c_str(), line.c_str());
  }
}

off_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string TextSince(const std::string& path, off_t offset) {
  std::string content;
  if (!ReadWholeFile(path, &content, nullptr)) return "";
  return static_cast<off_t>(content.size()) > offset ? content.substr(offset) : "";
}

bool ConfigAccepted() {
  std::string output;
  int rc = RunCaptured({kApache, "-t", "-f", ConfPath()}, &output);
  if (rc == 0) return true;
  KIVO_LOG("apache2 refused the WebDAV configuration %s", ConfPath().c_str());
  LogLines("apache2: ", output);
  return false;
}

pid_t PidFromFile() {
  std::string text;
  bool missing = false;
  if (!ReadWholeFile(PidPath(), &text, &missing) || missing) return 0;
  long pid = strtol(text.c_str(), nullptr, 10);
  return pid > 0 && pid < (1L << 30) ? static_cast<pid_t>(pid) : 0;
}

bool WritePorts(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) text += std::to_string(port) + "\n";
  return ReplaceFile(PortsPath(), text, 0644);
}

bool Settings(WebDAVSettings* s) {
  return Guarded(false, [&] { return ReadWebDAVSettings(s); });
}

// Waits until `ready` holds, giving up when the daemon is gone.
template <typename Ready>
bool WaitFor(pid_t pid, Ready ready) {
  for (int waited = 0; waited < kWaitMillis; waited += kPollMillis) {
    if (ready()) return true;
    if (pid > 0 && !ProcessAlive(pid)) return false;
    SleepMillis(kPollMillis);
  }
  return false;
}

bool AllAccept(const std::string& address, const std::vector<int>& ports, bool accept) {
  for (int port : ports) {
    if (PortAccepts(address, port) != accept) return false;
  }
  return true;
}

int StopDaemon() {
  pid_t pid = WebDAVDaemonPid();
  std::vector<int> ports = WebDAVDaemonPorts();
  if (pid > 0) {
    kill(pid, SIGTERM);
    if (!WaitFor(0, [&] { return !ProcessAlive(pid); })) {
      KIVO_LOG("webdav daemon %d ignored SIGTERM; killing it", static_cast<int>(pid));
      kill(pid, SIGKILL);
      WaitFor(0, [&] { return !ProcessAlive(pid); });
    }
  }
  WebDAVSettings s;
  Settings(&s);
  if (!WaitFor(0, [&] { return AllAccept(s.listen_address, ports, false); })) {
    KIVO_LOG("the WebDAV ports stay taken after the daemon stopped");
    return -1;
  }
  unlink(PidPath().c_str());
  unlink(PortsPath().c_str());
  return 0;
}

int StartDaemon(WebDAVSettings* s) {
  std::vector<int> ports = PortsOf(*s);
  if (ports.empty()) return 0;  // nothing to serve: the daemon stays down
  if (!WriteGeneratedFiles(s) || !ConfigAccepted()) return -1;
  unlink(PidPath().c_str());
  off_t error_offset = SizeOf(ErrorLogPath()), output_offset = SizeOf(OutputLogPath());
  pid_t pid = SpawnDetached({kApache, "-f", ConfPath(), "-DFOREGROUND"}, OutputLogPath());
  if (pid < 0) return -1;
  bool up = WaitFor(
      pid, [&] { return PidFromFile() == pid && AllAccept(s->listen_address, ports, true); });
  if (!up) {
    if (ProcessAlive(pid)) kill(pid, SIGTERM);
    KIVO_LOG("the WebDAV daemon did not start");
    LogLines("apache2: ", TextSince(OutputLogPath(), output_offset));
    LogLines("apache2: ", TextSince(ErrorLogPath(), error_offset));
    return -1;
  }
  return WritePorts(ports) ? 0 : -1;
}

int ReloadDaemon(pid_t pid, WebDAVSettings* s) {
  std::vector<int> ports = PortsOf(*s), old_ports = WebDAVDaemonPorts(), gone;
  if (ports.empty()) return StopDaemon();
  for (int port : old_ports) {
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) gone.push_back(port);
  }
  if (!WriteGeneratedFiles(s) || !ConfigAccepted()) return -1;
  off_t error_offset = SizeOf(ErrorLogPath());
  if (kill(pid, SIGUSR1) != 0) {
    SetLastError(errno);
    KIVO_LOG("cannot signal the WebDAV daemon %d: %s", static_cast<int>(pid), strerror(errno));
    return -1;
  }
  bool up = WaitFor(pid, [&] {
    return AllAccept(s->listen_address, ports, true) && AllAccept(s->listen_address, gone, false);
  });
  if (!up) {
    KIVO_LOG("the WebDAV daemon did not come back from its reload");
    LogLines("apache2: ", TextSince(ErrorLogPath(), error_offset));
    return -1;
  }
  return WritePorts(ports) ? 0 : -1;
}

// One operation at a time per root: two calls starting the daemon at once
// would otherwise race for its ports and its pid file.
template <typename Op>
int Serialized(Op op) {
  FileLock lock(LockPathFor(PidPath()));
  if (!lock.locked()) return -1;
  return Guarded(-1, op);
}

// Tells the CalDAV side; its failure is logged and does not fail ours.
int Finish(int rc) {
  std::string error;
  bool running = WebDAVDaemonPid() > 0;
  if (!platform::AfterWebDAVDaemonChange(running, &error)) {
    KIVO_LOG("CalDAV daemon after a WebDAV daemon change: %s", error.c_str());
  }
  return rc;
}

}  // namespace

bool ReadWebDAVSettings(WebDAVSettings* s) {
  s->root = Root();
  if (!QuotableText(s->root)) {
    SetLastError(EINVAL);
    KIVO_LOG("the root %s cannot appear in an Apache configuration", s->root.c_str());
    return false;
  }
#ifdef KIVO_ROOT_FROM_ENV
  // Test builds keep their daemons on loopback.
  const char* address = getenv("KIVO_WEBDAV_ADDRESS");
  if (address != nullptr) s->listen_address = address;
#endif
  KivoConf conf;
  s->http_port = PortOf(&conf, "WebDavPort", 5005);
  s->https_port = PortOf(&conf, "secure_WebDavPort", 5006);
  s->anonymous = strcmp(conf.Info("webdavanonymouslogin", ""), "yes") == 0;
  s->depth_infinity = strcmp(conf.Info("webdavdepthinfinity", ""), "yes") == 0;
  Json::Value states;
  bool missing = false;
  if (!ReadJsonFile(RootedPath("/var/lib/kivo/services.json"), &states, &missing)) return false;
  s->http = states.isObject() && Running(states, "webdav-httpd-pure");
  s->https = states.isObject() && Running(states, "webdav-httpd-ssl");
  s->extra_server_text = platform::CalDAVProxySection();
  return ReadShares(s) && ReadAccounts(s);
}

std::string WebDAVPasswordText(const WebDAVSettings& s) {
  std::string text;
  for (const auto& account : s.accounts) text += account.name + ":" + account.hash + "\n";
  return text;
}

std::string WebDAVConfigText(const WebDAVSettings& s) {
  std::ostringstream out;
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  out << "# Written by libkivo at every start, restart and reload of webdav-httpd;\n"
      << "# edits are lost.\n"
      << "ServerRoot " << Quoted(ConfDir()) << "\n"
      << "ServerName " << (QuotableText(host) && host[0] ? host : "localhost") << "\n"
      << "PidFile " << Quoted(PidPath()) << "\n"
      << "DefaultRuntimeDir " << Quoted(RuntimeDir()) << "\n"
      << "Mutex file:" << RuntimeDir() << " default\n"
      << "ErrorLog " << Quoted(ErrorLogPath()) << "\n"
      << "LogLevel warn\n";
  for (const auto& module : kModules) {
    out << "LoadModule " << module[0] << " " << kModuleDir << "/" << module[1] << "\n";
  }
  if (s.https) out << "LoadModule ssl_module " << kModuleDir << "/mod_ssl.so\n";
  out << "LogFormat \"%h %u %t \\\"%r\\\" %>s %b\" kivo\n"
      << "CustomLog " << Quoted(RootedPath(kLogDir) + "/webdav-access.log") << " kivo\n"
      << "TypesConfig /etc/mime.types\n"
      // Until a request has picked its identity the process is root; nothing
      // is served as the User below, which owns nothing.
      << "User #" << kNobody << "\nGroup #" << kNobody << "\n"
      << "EnableCapabilities Off\n"
      << "LimitUIDRange 0 2147483647\nLimitGIDRange 0 2147483647\n"
      // One identity per connection: mpm-itk cannot switch back.
      << "KeepAlive Off\n"
      << "StartServers 2\nMinSpareServers 1\nMaxSpareServers 4\nMaxRequestWorkers 64\n"
      << "Timeout 60\nTraceEnable Off\nServerTokens Prod\nServerSignature Off\n";
  if (s.http) out << ListenLine(s, s.http_port, false);
  if (s.https && !(s.http && s.https_port == s.http_port)) {
    out << ListenLine(s, s.https_port, true);
  }
  out << "DavLockDB " << Quoted(LockDir() + "/DavLock") << "\n"
      << "DavDepthInfinity " << (s.depth_infinity ? "On" : "Off") << "\n"
      << "AuthnCacheSOCache " << Quoted("shmcb:" + RuntimeDir() + "/authn(512000)") << "\n"
      << "DocumentRoot " << Quoted(ListingDir()) << "\n"
      << "<Directory />\n  Options None\n  AllowOverride None\n  Require all denied\n"
      << "</Directory>\n";
  if (!s.extra_server_text.empty()) out << s.extra_server_text << "\n";
  out << AuthLocations(s);
  out << "<Directory " << Quoted(ListingDir()) << ">\n  Dav On\n"
      << AccessBlock(s) << "</Directory>\n";
  for (const auto& share : s.shares) {
    out << "Alias " << Quoted("/" + share.name) << " " << Quoted(share.dir) << "\n"
        << "<Directory " << Quoted(share.dir) << ">\n  Dav On\n"
        << AccessBlock(s) << "</Directory>\n";
  }
  if (s.https) {
    out << "<VirtualHost *:" << s.https_port << ">\n"
        << "  SSLEngine on\n"
        << "  SSLCertificateFile " << Quoted(s.cert) << "\n"
        << "  SSLCertificateKeyFile " << Quoted(s.key) << "\n"
        << "</VirtualHost>\n";
  }
  return out.str();
}

pid_t WebDAVDaemonPid() {
  pid_t pid = PidFromFile();
  return pid > 0 && ProcessAlive(pid) && CommandLineHas(pid, ConfPath()) ? pid : 0;
}

std::vector<int> WebDAVDaemonPorts() {
  std::string text;
  std::vector<int> ports;
  bool missing = false;
  if (!ReadWholeFile(PortsPath(), &text, &missing)) return ports;
  std::istringstream in(text);
  int port;
  while (in >> port) ports.push_back(port);
  return ports;
}

int WebDAVDaemonStart() {
  return Finish(Serialized([] {
    WebDAVSettings s;
    if (!Settings(&s)) return -1;
    pid_t pid = WebDAVDaemonPid();
    return pid > 0 ? ReloadDaemon(pid, &s) : StartDaemon(&s);
  }));
}

int WebDAVDaemonStop() {
  return Finish(Serialized([] { return StopDaemon(); }));
}

int WebDAVDaemonRestart() {
  return Finish(Serialized([] {
    WebDAVSettings s;
    if (!Settings(&s) || StopDaemon() != 0) return -1;
    return StartDaemon(&s);
  }));
}

int WebDAVDaemonReload() {
  return Finish(Serialized([] {
    pid_t pid = WebDAVDaemonPid();
    if (pid == 0) return 0;
    WebDAVSettings s;
    if (!Settings(&s)) return -1;
    return ReloadDaemon(pid, &s);
  }));
}

}  // namespace kivo
