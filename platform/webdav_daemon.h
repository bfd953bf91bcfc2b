// The WebDAV daemon: Apache httpd with mod_dav and mpm-itk, run for one root.
//
// Owns its generated files under the root (var/lib/kivo/webdav/: httpd.conf,
// the password file, the listing folder, the lock database, a self-signed
// certificate; var/run/kivo/: pid, ports, runtime files; var/log/kivo/:
// webdav-*.log) and the one Apache process tree it starts. It reads
// kivoinfo.conf, services.json, shares.json and the account files, and never
// writes them; it never touches the system's own Apache configuration.

#ifndef KIVO_PLATFORM_WEBDAV_DAEMON_H_
#define KIVO_PLATFORM_WEBDAV_DAEMON_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivo {

// Everything the configuration is made of, read in one go.
struct WebDAVSettings {
  struct Share {
    std::string name, dir;
  };
  struct Account {
    std::string name, hash;
    uid_t uid = 0;
    gid_t gid = 0;
  };
  std::string root;            // kivo::Root()
  std::string listen_address;  // "" for every address
  bool http = false, https = false;
  int http_port = 5005, https_port = 5006;
  bool anonymous = false, depth_infinity = false;
  std::vector<Share> shares;
  std::vector<Account> accounts;  // those with a usable password hash
  Account guest;                  // who anonymous requests run as
  std::string cert, key;          // TLS files, when https
  std::string extra_server_text;  // server-level directives of other daemons
};

// The account anonymous requests run as; no password, no web API login.
constexpr char kGuestAccount[] = "guest";

// Reads the settings of the root. A variant counts as enabled while its
// service is "running" in services.json: the module starts a variant before
// it restarts the daemon and stores the run setting only after that.
bool ReadWebDAVSettings(WebDAVSettings* settings);

// The httpd.conf text for `settings`.
std::string WebDAVConfigText(const WebDAVSettings& settings);

// The password file text ("name:hash" lines) for `settings`.
std::string WebDAVPasswordText(const WebDAVSettings& settings);

// Daemon control. Each returns 0 or -1 (logged, Apache's own words included)
// and tells the CalDAV side afterwards. Start on a running daemon reloads it;
// restart and reload with neither variant enabled stop it; reload of a
// stopped daemon does nothing.
int WebDAVDaemonStart();
int WebDAVDaemonStop();
int WebDAVDaemonRestart();
int WebDAVDaemonReload();

// The pid of this root's running daemon, or 0; its ports as last started.
pid_t WebDAVDaemonPid();
std::vector<int> WebDAVDaemonPorts();

}  // namespace kivo

#endif  // KIVO_PLATFORM_WEBDAV_DAEMON_H_
