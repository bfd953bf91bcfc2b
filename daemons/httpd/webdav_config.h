// The WebDAV daemon's configuration: what it is made of (kivoinfo.conf, the
// variants' run state, shares.json, the guest account of etc/passwd)
// and the httpd.conf text made from it.
//
// Reads those files and never writes them; knows where the daemon's own
// files live below the root. Text that Apache would read differently from
// what it says (quotes, backslashes, variable references, control bytes) never
// reaches the configuration: such shares are left out, logged.
// Other daemons reached through this one add their directives, given by
// the caller of the daemon's operations. Errors as everywhere in daemons/
// (supervisor.h).

#ifndef KIVO_DAEMONS_WEBDAV_WEBDAV_CONFIG_H_
#define KIVO_DAEMONS_WEBDAV_WEBDAV_CONFIG_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivo {
namespace daemons {

// Everything the configuration is made of, read in one go. Passwords are
// not part of it, nor are the accounts: mod_kivo_dav reads etc/passwd,
// etc/group and etc/shadow at each login.
struct WebDAVSettings {
  struct Share {
    std::string name, dir;
  };
  struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
  };
  std::string root;            // kivo::Root()
  std::string listen_address;  // "" for every address
  int threads = 0;             // worker threads; 0: the daemon's own count
  int login_recheck = -1;      // seconds a kept connection's login holds; -1: the module's
  bool http = false, https = false;
  int http_port = 5005, https_port = 5006;
  bool anonymous = false, depth_infinity = false;
  std::vector<Share> shares;
  Account guest;                  // who anonymous requests run as
  std::string cert, key;          // TLS files, when https
  std::string extra_server_text;  // the CalDAV proxy section, while CalDAV is on (the caller's)
  std::string lock_db;            // the DAV lock database; "" for lock/DavLock
};

// The account anonymous requests run as; no password, no web API login.
constexpr char kGuestAccount[] = "guest";

// Reads the settings of the root. A variant counts as enabled while its
// service is "running" in services.json: the module starts a variant before
// it restarts the daemon and stores the run setting only after that.
// `settings->extra_server_text`, the caller's, is kept: a share named as
// the calendars' path is left out while it is not empty.
bool ReadWebDAVSettings(WebDAVSettings* settings);

// The httpd.conf text for `settings`.
std::string WebDAVConfigText(const WebDAVSettings& settings);

// mod_kivo_dav, the daemon's own Apache module (daemons/apache/).
std::string WebDAVModulePath();

// The configuration and the pid file, below the root.
constexpr char kWebDAVConfFile[] = "/var/lib/kivo/webdav/httpd.conf";
constexpr char kWebDAVPidFile[] = "/var/run/kivo/webdav-httpd.pid";

// Where the daemon's files are (with the root in front).
std::string WebDAVConfDir();        // var/lib/kivo/webdav
std::string WebDAVConfPath();       // .../httpd.conf
std::string WebDAVPrivateDir();     // .../private, root's alone
std::string WebDAVListingDir();     // .../listing: one empty folder per share
std::string WebDAVLockDir();        // .../lock: the DAV lock database
std::string WebDAVPidPath();        // var/run/kivo/webdav-httpd.pid
std::string WebDAVRuntimeDir();     // var/run/kivo/webdav
std::string WebDAVErrorLogPath();   // var/log/kivo/webdav-error.log
std::string WebDAVAccessLogPath();  // var/log/kivo/webdav-access.log

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_WEBDAV_WEBDAV_CONFIG_H_
