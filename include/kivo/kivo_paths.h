// Where the system's fixed files are.
//
// Every fixed path is written as the system's own absolute path and taken
// through RootedPath(), which puts the build's root (KIVO_ROOT, empty in a
// production build) in front. Development and test builds use their own root
// so that they never touch the real system; test builds may also take the
// root from the environment variable KIVO_ROOT, one fresh root per test.
//
// This is the one list of them: the build makes the CalDAV daemon's
// kivo_paths.py from the `#define SZF_NAME "/path"` lines below
// (daemons/radicale/CMakeLists.txt), so keep each such path on one line.

#ifndef KIVO_PATHS_H_
#define KIVO_PATHS_H_

#include <cstdlib>
#include <string>

#ifndef KIVO_ROOT
#define KIVO_ROOT ""
#endif

// The system configuration, `key="value"` lines (reader: base/kivo_conf.h).
#define SZF_KIVOINFO_CONF "/etc/kivoinfo.conf"
// The services' run settings and states (reader: base/service_states.h).
#define SZF_SERVICES_JSON "/var/lib/kivo/services.json"
// The share table and the reserved ports.
#define SZF_SHARES_JSON "/etc/kivo/shares.json"
#define SZF_SHARE_ACCESS "/etc/kivo/share-access.json"
#define SZF_PORTS_JSON "/etc/kivo/ports.json"
// The accounts.
#define SZF_PASSWD "/etc/passwd"
#define SZF_GROUP "/etc/group"
#define SZF_SHADOW "/etc/shadow"
// The certificate and key the web API and the WebDAV daemon serve.
#define SZF_TLS_CERT "/etc/kivo/tls/server.crt"
#define SZF_TLS_KEY "/etc/kivo/tls/server.key"
// The platform's action journal.
#define SZF_JOURNAL "/var/log/kivo/platform.jsonl"
// The names the CalDAV daemon's plug-ins keep for calendar folders
// (reader: daemons/radicale/caldav_daemon.h).
#define SZF_CALDAV_IDS "/var/lib/kivo/caldav/ids.json"
// The calendar registry.
#define SZF_CALENDAR_INFO "/usr/kivo/etc/calendar.info"
// Template of a calendar folder's WebDAV state.
#define SZF_STATE_TEMPLATE "/usr/kivo/etc.defaults/.state_for_dir.pag"
// The address-book registry, laid out as the calendar registry is.
#define SZF_ADDRESSBOOK_INFO "/usr/kivo/etc/addressbook.info"

namespace kivo {

// The root as text: the environment's or the build's, never null.
inline const char* RootText() {
#ifdef KIVO_ROOT_FROM_ENV
  const char* env = std::getenv("KIVO_ROOT");
  if (env != nullptr && env[0] != '\0') return env;
#endif
  return KIVO_ROOT;
}

inline std::string Root() { return RootText(); }

inline std::string RootedPath(const char* system_path) { return Root() + system_path; }

// The rooted path of one fixed file asked on every call, made again only
// when the root changes (test builds take the root from the environment, and
// tests move it). Not thread-safe: keep one per thread. The answer lives
// until the next Get.
class KeptRootedPath {
 public:
  explicit KeptRootedPath(const char* system_path) : system_path_(system_path) {}

  // The path under `root` (RootText(), or as the caller has looked it up).
  const std::string& Get(const char* root) {
    if (path_.empty() || root_ != root) {
      root_ = root;
      path_ = root_ + system_path_;
    }
    return path_;
  }

 private:
  const char* system_path_;
  std::string root_;
  std::string path_;
};

}  // namespace kivo

#endif  // KIVO_PATHS_H_
