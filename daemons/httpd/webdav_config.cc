#include "daemons/httpd/webdav_config.h"

#include <ctype.h>
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "base/json_file.h"
#include "base/kivo_conf.h"
#include "base/last_error.h"
#include "base/process.h"
#include "base/root_files.h"
#include "base/service_states.h"
#include "base/share_table.h"
#include "daemons/apache/kivo_login_brake.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "webdav_config";
constexpr char kModuleDir[] = "/usr/lib/apache2/modules";

// Below the root.
constexpr char kConfDir[] = "/var/lib/kivo/webdav";
constexpr char kRunDir[] = "/var/run/kivo";
constexpr char kLogDir[] = "/var/log/kivo";

constexpr uid_t kNobody = 65534;

// Connections that have not logged in yet and are slow about it (two
// seconds), per client address and per client network (/24, /64): what
// slow or guessing clients hold. Fresh ones may be four times as many (a
// burst of clients starting); past that a connection is closed at once. The
// connections of users who logged in do not count, so an office behind one
// address is served whatever its number of users.
// In all, fewer than the worker threads (kThreads): at that bound a
// newcomer from a network holding a few already is refused, and one from
// elsewhere makes the oldest give way, so slow clients from however many
// networks never hold the threads the others' requests need.
constexpr int kPendingPerAddress = 32;
constexpr int kPendingPerNetwork = 48;
constexpr int kPendingTotal = 128;

// One process of worker threads serves every connection (kept-alive ones
// idle without a thread); a second process slot lets a graceful restart's
// new process start while the old one finishes its requests. A request in
// flight holds a thread: past kThreads at once, new requests wait in the
// listen backlog.
constexpr int kThreads = 192;
constexpr int kProcessSlots = 4;

// The first path segments the CalDAV daemon's proxy takes (caldav_proxy.cc).
constexpr char kCalDAVPathName[] = "caldav";
constexpr char kCardDAVPathName[] = "carddav";

// The modules the configuration uses, in load order.
const char* const kModules[][2] = {
    {"mpm_event_module", "mod_mpm_event.so"},
    {"authz_core_module", "mod_authz_core.so"},
    {"authz_user_module", "mod_authz_user.so"},
    {"authn_core_module", "mod_authn_core.so"},
    {"reqtimeout_module", "mod_reqtimeout.so"},
    {"alias_module", "mod_alias.so"},
    {"mime_module", "mod_mime.so"},
    {"autoindex_module", "mod_autoindex.so"},
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

// Whether the address books' proxy (caldav_proxy.cc) takes the URL path
// of the share `name`, as the calendars' takes "caldav".
bool ProxiedPathName(const std::string& name, const std::string& proxy_text) {
  return name == kCardDAVPathName &&
         proxy_text.find(std::string("ProxyPass /") + kCardDAVPathName + "/ ") != std::string::npos;
}

bool ReadShares(WebDAVSettings* settings) {
  base::ShareTable shares;
  const base::ShareTableRead read = base::ReadShareTable(&shares);
  if (read == base::ShareTableRead::kUnreadable) return false;
  for (const auto& [name, dir] : shares) {
    if (!UsableShareName(name) || !QuotableText(dir)) {
      KIVO_LOG(LOG_WARNING, "share [%s] is not served over WebDAV: unusable name or folder",
               name.c_str());
      continue;
    }
    // The calendars' path wins over a share of that name (the proxy maps
    // URLs before aliases do); say so rather than serve it half.
    if (name == kCalDAVPathName && !settings->extra_server_text.empty()) {
      KIVO_LOG(LOG_WARNING, "share [%s] is not served over WebDAV while CalDAV is on",
               name.c_str());
      continue;
    }
    if (ProxiedPathName(name, settings->extra_server_text)) {
      KIVO_LOG(LOG_WARNING, "share [%s] is not served over WebDAV while CardDAV is on",
               name.c_str());
      continue;
    }
    settings->shares.push_back({name, dir});
  }
  return true;
}

// The guest account of etc/passwd, who anonymous requests run as. Every
// other account's identity is mod_kivo_dav's to find, in the root's
// account files as they are at each login: an account made or changed
// later needs no new configuration.
bool ReadGuest(WebDAVSettings* settings) {
  FILE* file = base::OpenAccountFile(RootedPath(SZF_PASSWD));
  if (file == nullptr) {
    base::SetLastError(errno);
    KIVO_LOG(LOG_ERR, "cannot read the accounts: %s", strerror(errno));
    return false;
  }
  std::vector<char> buffer(16384);
  struct passwd entry, *found = nullptr;
  settings->guest = {kGuestAccount, kNobody, kNobody};
  for (;;) {
    const int rc = fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) {
      buffer.resize(buffer.size() * 2);  // a long line: the reader rewinds to its start
      continue;
    }
    if (rc != 0 || found == nullptr) break;
    if (strcmp(found->pw_name, kGuestAccount) == 0) {
      // The first line naming it counts, as for every other reader.
      settings->guest = {found->pw_name, found->pw_uid, found->pw_gid};
      break;
    }
  }
  fclose(file);
  return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Who a request runs as: mod_kivo_dav (daemons/apache/) checks the login
// and has the worker thread act as the verified account, with its uid and
// groups as the root's files give them at that login, for that request
// alone: no account is named here. A request without a verified login runs
// at the process's idle identity (the User of the configuration): nobody,
// refused by mod_kivo_dav's authentication, or, with anonymous login on,
// guest, who reads.
std::string AccessBlock(const WebDAVSettings& s) {
  std::ostringstream out;
  // A browser opening a folder's address gets a plain listing of what the
  // account may see there (mod_kivo_dav judges the folder as the user).
  // mod_kivo_dav refuses a symbolic link anywhere in a request's path, in
  // one lookup as the user (Apache's own check, without FollowSymLinks,
  // costs an lstat per path component per request).
  out << "  KivoDavCheck On\n"
      << "  Options Indexes FollowSymLinks\n"
      << "  IndexOptions Charset=UTF-8 NameWidth=* SuppressDescription\n";
  if (s.anonymous) {
    out << "  Require all granted\n";
    return out.str();
  }
  out << "  AuthType Basic\n"
      << "  AuthName \"Kivo WebDAV\"\n"
      << "  Require valid-user\n";
  return out.str();
}

std::string ListenLine(const WebDAVSettings& s, int port, bool tls) {
  std::string address = s.listen_address.empty() ? "" : s.listen_address + ":";
  return "Listen " + address + std::to_string(port) + (tls ? " https" : "") + "\n";
}

}  // namespace

std::string WebDAVConfDir() { return RootedPath(kConfDir); }
std::string WebDAVConfPath() { return RootedPath(kWebDAVConfFile); }
std::string WebDAVPrivateDir() { return WebDAVConfDir() + "/private"; }
std::string WebDAVListingDir() { return WebDAVConfDir() + "/listing"; }
std::string WebDAVLockDir() { return WebDAVConfDir() + "/lock"; }
std::string WebDAVPidPath() { return RootedPath(kWebDAVPidFile); }
std::string WebDAVRuntimeDir() { return RootedPath(kRunDir) + "/webdav"; }
std::string WebDAVErrorLogPath() { return RootedPath(kLogDir) + "/webdav-error.log"; }
std::string WebDAVAccessLogPath() { return RootedPath(kLogDir) + "/webdav-access.log"; }

bool ReadWebDAVSettings(WebDAVSettings* s) {
  s->root = Root();
  if (!QuotableText(s->root)) {
    base::SetLastError(EINVAL);
    KIVO_LOG(LOG_ERR, "the root %s cannot appear in an Apache configuration", s->root.c_str());
    return false;
  }
#ifdef KIVO_ROOT_FROM_ENV
  // Test builds keep their daemons on loopback,
  const char* address = getenv("KIVO_WEBDAV_ADDRESS");
  if (address != nullptr) s->listen_address = address;
  // and may ask for few threads, for many accounts to share each.
  const char* threads = getenv("KIVO_WEBDAV_THREADS");
  if (threads != nullptr) s->threads = atoi(threads);
  // and may have a kept connection's login checked anew sooner than a
  // minute, for tests of long use that do not take minutes.
  const char* recheck = getenv("KIVO_WEBDAV_LOGIN_RECHECK");
  if (recheck != nullptr) s->login_recheck = atoi(recheck);
#endif
  KivoConf conf;
  s->http_port = base::ServedPort(&conf, base::kHttpPort);
  s->https_port = base::ServedPort(&conf, base::kHttpsPort);
  s->anonymous = strcmp(conf.Info("webdavanonymouslogin", ""), "yes") == 0;
  s->depth_infinity = strcmp(conf.Info("webdavdepthinfinity", ""), "yes") == 0;
  Json::Value states;
  bool missing = false;
  if (!base::ReadServiceStates(&states, &missing)) return false;
  s->http = base::ServiceRunning(states, "webdav-httpd-pure");
  s->https = base::ServiceRunning(states, "webdav-httpd-ssl");
  return ReadShares(s) && ReadGuest(s);
}

std::string WebDAVModulePath() {
  // Installed beside the program; a build tree keeps it where CMake put it.
  const std::string beside = kivo::base::BesideProgram("mod_kivo_dav.so");
  return beside.empty() ? KIVO_DAV_MODULE_PATH : beside;
}

std::string WebDAVConfigText(const WebDAVSettings& s) {
  std::ostringstream out;
  const int threads = s.threads > 0 ? s.threads : kThreads;
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  out << "# Written by libkivo at every start, restart and reload of webdav-httpd;\n"
      << "# edits are lost.\n"
      << "ServerRoot " << Quoted(WebDAVConfDir()) << "\n"
      << "ServerName " << (QuotableText(host) && host[0] ? host : "localhost") << "\n"
      << "PidFile " << Quoted(WebDAVPidPath()) << "\n"
      << "DefaultRuntimeDir " << Quoted(WebDAVRuntimeDir()) << "\n"
      << "Mutex file:" << WebDAVRuntimeDir() << " default\n"
      << "ErrorLog " << Quoted(WebDAVErrorLogPath()) << "\n"
      << "LogLevel warn\n";
  for (const auto& module : kModules) {
    out << "LoadModule " << module[0] << " " << kModuleDir << "/" << module[1] << "\n";
  }
  out << "LoadModule kivo_dav_module " << Quoted(WebDAVModulePath()) << "\n";
  if (s.https) out << "LoadModule ssl_module " << kModuleDir << "/mod_ssl.so\n";
  out << "LogFormat \"%h %u %t \\\"%r\\\" %>s %b\" kivo\n"
      << "CustomLog " << Quoted(WebDAVAccessLogPath()) << " kivo\n"
      << "TypesConfig /etc/mime.types\n"
      // The worker threads idle as the User below, between requests and
      // for a request without a login: nobody, who owns nothing, or guest
      // while anonymous login is on.
      << "User #" << (s.anonymous ? s.guest.uid : kNobody) << "\nGroup #"
      << (s.anonymous ? s.guest.gid : kNobody)
      << "\n"
      // A kept-alive connection's requests ride on its login; another
      // login on it is checked anew (mod_kivo_dav).
      << "KeepAlive On\nKeepAliveTimeout 5\nMaxKeepAliveRequests 1000\n"
      // Slow clients get deadlines for their headers and bodies and a
      // bounded share of the threads.
      << "StartServers 1\nServerLimit " << kProcessSlots << "\nThreadLimit " << threads
      << "\nThreadsPerChild " << threads << "\nMaxRequestWorkers " << threads
      << "\nMinSpareThreads 1\nMaxSpareThreads " << threads
      << "\n"
      // Kept-alive and half-read connections wait without a thread: the
      // process keeps accepting well past its threads, so that the
      // module's own bounds, not a closed accept queue, decide who waits.
      << "AsyncRequestWorkerFactor 16\n"
      // A flood's connections wait for accept with the owner's rather
      // than having SYNs dropped (a second lost each).
      << "ListenBacklog 4096\n"
      << "Timeout 30\nRequestReadTimeout handshake=5 header=5-10,MinRate=500 "
         "body=20,MinRate=500\n"
      << "TraceEnable Off\nServerTokens Prod\nServerSignature Off\n"
      << "KivoDavRoot " << Quoted(s.root.empty() ? "/" : s.root) << "\n"
      << "KivoDavAnonymous " << (s.anonymous ? "On" : "Off")
      << "\n"
      // No size limit of the daemon's own (Apache's default is 1 GiB): a
      // file is as large as the volume lets its owner write.
      << "LimitRequestBody 0\n"

      << "KivoDavPendingConnections " << kPendingPerAddress << " " << kPendingPerNetwork << " "
      << kPendingTotal << "\n"
      << "KivoDavCalendarRegistry " << Quoted(RootedPath(SZF_CALENDAR_INFO)) << "\n"
      << "KivoDavAddressBookRegistry " << Quoted(RootedPath(SZF_ADDRESSBOOK_INFO)) << "\n"
      << "KivoDavLoginBrake " << Quoted(RootedPath(KB_STATE_PATH)) << "\n";
  if (s.login_recheck >= 0) out << "KivoDavLoginRecheck " << s.login_recheck << "\n";
  if (s.http) out << ListenLine(s, s.http_port, false);
  if (s.https && !(s.http && s.https_port == s.http_port)) {
    out << ListenLine(s, s.https_port, true);
  }
  const std::string lock_db = s.lock_db.empty() ? WebDAVLockDir() + "/DavLock" : s.lock_db;
  out << "DavLockDB " << Quoted(lock_db) << "\n"
      << "KivoDavLockDB " << Quoted(lock_db) << "\n"
      << "DavDepthInfinity " << (s.depth_infinity ? "On" : "Off") << "\n"
      << "DocumentRoot " << Quoted(WebDAVListingDir()) << "\n"
      << "<Directory />\n  Options FollowSymLinks\n  AllowOverride None\n  Require all denied\n"
      << "</Directory>\n";
  if (!s.extra_server_text.empty()) {
    // It names the paths it proxies to mod_kivo_dav itself, whose logins
    // the daemon behind takes.
    out << s.extra_server_text << "\n";
  }
  // mod_kivo_dav's provider: mod_dav_fs with its lock database behind a
  // gate that answers "no lock" without opening it while none exists, and
  // no property database looked for where no state folder is.
  const char* const dav = "  Dav kivo\n";
  out << "<Directory " << Quoted(WebDAVListingDir()) << ">\n"
      << dav << AccessBlock(s) << "</Directory>\n";
  for (const auto& share : s.shares) {
    out << "Alias " << Quoted("/" + share.name) << " " << Quoted(share.dir) << "\n"
        << "<Directory " << Quoted(share.dir) << ">\n"
        << dav << AccessBlock(s) << "</Directory>\n";
  }
  if (s.https) {
    out << "<VirtualHost *:" << s.https_port << ">\n"
        << "  SSLEngine on\n"
        // Said again where a request is answered: no virtual host echoes
        // a request back (its credentials with it).
        << "  TraceEnable Off\n"
        << "  SSLCertificateFile " << Quoted(s.cert) << "\n"
        << "  SSLCertificateKeyFile " << Quoted(s.key) << "\n"
        << "</VirtualHost>\n";
  }
  return out.str();
}

}  // namespace daemons
}  // namespace kivo
